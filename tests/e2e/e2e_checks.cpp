#include "e2e_checks.h"

#include "zip_check.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>

namespace e2e {

namespace {

// Runs at once at most: the runs mostly wait, but each is a process.
constexpr std::size_t RUNS_AT_ONCE = 8;

const std::string STATUS_PATH = "/api/v100/status.ssi";

bool progress_meter_line(const std::string &line)
{
    // The meter's heading and its rows start with blanks or digits; the
    // tool's own lines never do.
    return line.empty() || line[0] == ' ' || (line[0] >= '0' && line[0] <= '9');
}

} // namespace

sim_options controller(const std::vector<std::string> &faults)
{
    sim_options options = ID.options();
    options.faults = faults;
    return options;
}

std::string finished_run::action_output() const
{
    const std::string marker = "\noptBackupFileOutType=";
    const std::size_t at = run.out.find(marker);
    if (at == std::string::npos)
        return "(no front-end lines in: " + run.out + ")";
    const std::size_t end = run.out.find('\n', at + 1);
    return end == std::string::npos ? std::string() : run.out.substr(end + 1);
}

std::vector<std::string> finished_run::failure_lines() const
{
    std::vector<std::string> lines;
    std::string line;
    for (char c : run.err + "\n") {
        if (c != '\n' && c != '\r') {
            line += c;
            continue;
        }
        if (!progress_meter_line(line))
            lines.push_back(line);
        line.clear();
    }
    return lines;
}

std::vector<std::string> finished_run::stored_configs() const
{
    std::vector<std::string> names;
    for (const sim_event &e : sim->events("config_stored"))
        names.push_back(e.get("config"));
    return names;
}

std::size_t finished_run::restore_requests() const { return sim->requests(STATUS_PATH, "action=restoreconfig").size(); }
std::size_t finished_run::upgrade_requests() const { return sim->requests(STATUS_PATH, "action=firmwareupgrade").size(); }

std::string finished_run::answer_to(const std::string &query_part) const
{
    const std::vector<sim_event> asked = sim->requests(STATUS_PATH, query_part);
    if (asked.empty())
        return "(no request with " + query_part + ")";
    return run_program("curl", {"-s", base() + STATUS_PATH + "?" + asked.back().get("query")}).out;
}

std::vector<finished_run> run_all(const std::vector<planned_run> &plan, const argument_maker &arguments,
                                  int timeout_seconds)
{
    std::vector<finished_run> runs(plan.size());
    for (std::size_t first = 0; first < plan.size(); first += RUNS_AT_ONCE) {
        const std::size_t last = std::min(plan.size(), first + RUNS_AT_ONCE);
        std::vector<std::future<void>> waiting;
        for (std::size_t i = first; i < last; ++i) {
            finished_run &r = runs[i];
            r.scratch = std::make_unique<temp_dir>();
            if (plan[i].no_controller) {
                r.down = std::make_unique<refusing_port>();
                r.address = r.down->address();
            } else {
                r.sim = std::make_unique<controller_sim>(plan[i].options);
                r.address = r.sim->address();
            }
            const std::vector<std::string> args = (plan[i].arguments ? plan[i].arguments : arguments)(r.address, *r.scratch);
            const std::vector<std::string> &wrapper = plan[i].wrapper;
            waiting.push_back(std::async(std::launch::async, [&r, &wrapper, args, timeout_seconds] {
                if (wrapper.empty()) {
                    r.run = run_cli(args, run_options().timeout(timeout_seconds));
                } else {
                    std::vector<std::string> wrapped(wrapper.begin() + 1, wrapper.end());
                    wrapped.push_back(MERVO_CLI_PATH);
                    wrapped.insert(wrapped.end(), args.begin(), args.end());
                    r.run = run_program(wrapper.front(), wrapped, run_options().timeout(timeout_seconds));
                }
            }));
        }
        for (std::future<void> &f : waiting)
            f.get();
    }
    return runs;
}

std::string config_fetching(const finished_run &r, const std::string &name)
{
    return fetching_line("backup", r.base() + "/api/v100/backup.ssi?config=" + name);
}

std::string config_received(const finished_run &r, const std::string &name)
{
    const std::vector<sim_event> asked = r.sim->requests("/api/v100/backup.ssi", "config=" + name);
    if (asked.empty())
        return "(no request of " + name + ")";
    return received_line("backup", std::stoul(asked.back().get("bytes")));
}

std::string config_fetched(const finished_run &r, const std::string &name)
{
    return config_listing(*r.sim, name, ID) + "OK\n";
}

std::string curl_failure(const std::string &reason) { return "curl_easy_perform() failed: " + reason; }

void expect_backup_zip(const finished_run &r, const std::string &directory, const std::vector<std::string> &names)
{
    const std::vector<std::string> files = files_in(directory);
    ASSERT_EQ(files.size(), 1u) << "one backup archive expected in " << directory;
    EXPECT_EQ(files[0].rfind("backup_" + r.address + "_", 0), 0u) << files[0];
    if (names.empty())
        expect_empty_zip(directory + "/" + files[0]);
    else
        ::expect_backup_zip(*r.sim, directory + "/" + files[0], names);
}

} // namespace e2e
