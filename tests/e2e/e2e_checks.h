// Shared by the end-to-end tests: many runs of the real binary at once, each
// against its own simulated controller, and what to expect of them.
//
// Every mervo-cli run ends with a 2-second wait, so the runs of one test go
// side by side: the controllers are started here, in the test's own thread
// (they end with the thread that started them), and each run waits in a
// thread of its own.
#pragma once

#include "files.h"
#include "run.h"
#include "sim.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

using bytes = std::vector<std::uint8_t>;

// Identity the controllers of these tests report.
inline const std::string SERIAL = "V4-E2E-0007";
inline const std::string MAC = "02:00:5e:10:00:07";
inline const std::string MODEL = "VESTRA-4";
inline const std::string FIRMWARE = "1.3.0";

// A controller with that identity, and `faults` ("TARGET=MODE" each).
sim_options controller(const std::vector<std::string> &faults = {}, const std::string &tftp = "on");

// What a finished run left: the binary's output and status, the controller's
// log as it stood right after the run, and the controller itself (still
// running, for what it stores and serves).
struct finished_run {
    run_result run;
    std::vector<sim_event> log;
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
    // The logged requests of `path` whose query contains `query_part`.
    std::vector<sim_event> requests(const std::string &path, const std::string &query_part = "") const;
    // The configurations the controller stored, in order ("config_stored" events).
    std::vector<std::string> stored_configs() const;
    // How many restore / upgrade requests reached the controller.
    std::size_t restore_requests() const;
    std::size_t upgrade_requests() const;
    // The body the controller sends for the last request whose query
    // contains `query_part` (that request asked again by curl): what the tool
    // had to show as the controller's answer.
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

std::string fetching(const std::string &tag, const std::string &url);
std::string pushing(const std::string &tag, const std::string &url);
std::string received(const std::string &tag, std::size_t bytes);
// The "received" line for the last logged request of `path` with `query_part`,
// from the byte count the controller logged for its answer.
std::string received_as_logged(const finished_run &r, const std::string &tag, const std::string &path,
                               const std::string &query_part = "");

// "backup\tbackup file contains: \r\n"
extern const std::string CONTAINS;
// "backup\terror status.txt file not found.\r\n"
extern const std::string NO_STATUS;
// "\tfile error %u.\r\n"
std::string file_error(int code);

// Everything a configuration that arrives intact prints, from the "fetching"
// line to its "OK": the entries of the archive the controller serves for it
// (read with libarchive), its status document and the identity lines.
std::string config_fetched(const finished_run &r, const std::string &name);
// The four identity lines a listing ends with, for a status document that
// gives this file's identity.
std::string identity_lines();
// The "fetching" line of a configuration.
std::string config_fetching(const finished_run &r, const std::string &name);

// The TFTP upload line, and the restore request's line.
std::string tftp_pushing(const finished_run &r);
std::string restore_pushing(const finished_run &r);

// libcurl's failure line as the tool prints it (without the line end).
std::string curl_failure(const std::string &reason);

// The members of a tar archive as libarchive reads them.
struct tar_entry {
    std::string name;
    bytes data;
};
std::vector<tar_entry> tar_entries(const bytes &archive);

// The one zip archive get_backup left in `directory`: sound by unzip and
// 7-Zip, holding exactly `names` (NAME.tar each) in this order, each the
// archive the controller serves, byte for byte.
void expect_backup_zip(const finished_run &r, const std::string &directory, const std::vector<std::string> &names);

} // namespace e2e
