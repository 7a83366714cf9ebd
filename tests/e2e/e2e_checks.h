// Shared by the end-to-end tests: many runs of the real binary at once, each
// against its own simulated controller, and what only these tests look at in
// a finished run. The expected console lines come from tests/support
// (expect.h), the archive checks from tests/zip (zip_check.h).
//
// Every mervo-cli run ends with a 2-second wait, so the runs of one test go
// side by side: the controllers are started here, in the test's own thread
// (they end with the thread that started them), and each run waits in a
// thread of its own.
#pragma once

#include "expect.h"
#include "files.h"
#include "run.h"
#include "sim.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

// Identity the controllers of these tests report.
inline const controller_identity ID{"VESTRA-4", "1.3.0", "V4-E2E-0007", "02:00:5e:10:00:07"};

// A controller with that identity, and `faults` ("TARGET=MODE" each).
sim_options controller(const std::vector<std::string> &faults = {});

// What a finished run left: the binary's output and status, and the
// controller itself (still running, for its log, what it stores and serves).
struct finished_run {
    run_result run;
    std::unique_ptr<controller_sim> sim;  // null for "no controller at all"
    std::unique_ptr<refusing_port> down;  // set for "no controller at all"
    std::string address;                  // what --ip was given
    std::unique_ptr<temp_dir> scratch;    // the run's own files (output directory...)

    std::string base() const { return "http://" + address; }
    // The action's part of standard output: what follows the front end's
    // echo of the option values.
    std::string action_output() const;
    // Standard error without libcurl's progress meter: one entry per line.
    std::vector<std::string> failure_lines() const;
    // The configurations the controller stored, in order.
    std::vector<std::string> stored_configs() const;
    // How many restore / upgrade requests reached the controller.
    std::size_t restore_requests() const;
    std::size_t upgrade_requests() const;
    // The body the controller sends for the last request whose query
    // contains `query_part`, that request asked again by curl: what the tool
    // had to show as the controller's answer. The controller logs (and acts
    // on) that request too: look at what it received before.
    std::string answer_to(const std::string &query_part) const;
};

// One run to make: the controller's options (or none at all) and the
// arguments for mervo-cli given its --ip value and a scratch directory.
using argument_maker = std::function<std::vector<std::string>(const std::string &address, const temp_dir &scratch)>;
struct planned_run {
    std::string label;
    sim_options options;
    bool no_controller = false;
    std::vector<std::string> wrapper; // a program (and its options) that runs mervo-cli, e.g. prlimit
    argument_maker arguments;         // this run's own, instead of the plan's
};

// Makes every run, all at once, and returns them in plan order.
std::vector<finished_run> run_all(const std::vector<planned_run> &plan, const argument_maker &arguments = {},
                                  int timeout_seconds = 120);

// ---- Expected output ----

// The "fetching" line of a configuration, and its "received" line with the
// byte count the controller logged for its (last) answer.
std::string config_fetching(const finished_run &r, const std::string &name);
std::string config_received(const finished_run &r, const std::string &name);
// Everything a configuration that arrives intact prints, up to its "OK".
std::string config_fetched(const finished_run &r, const std::string &name);
// libcurl's failure line as the tool prints it (without the line end).
std::string curl_failure(const std::string &reason);

// The one zip archive get_backup left in `directory`, named after the
// controller: holding exactly `names` as the controller serves them
// (zip_check's expect_backup_zip), or no entry at all.
void expect_backup_zip(const finished_run &r, const std::string &directory, const std::vector<std::string> &names);

} // namespace e2e
