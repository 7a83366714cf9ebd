// Running programs (the real mervo-cli above all) and capturing what code
// under test prints.
//
// Every mervo-cli run ends with a 2-second wait: prefer one run that checks
// several things over several runs, and let ctest -j run tests in parallel.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct run_result {
    int status = -1;  // exit status; 128 + N when ended by signal N; -1 when it could not run or timed out
    std::string out;  // everything written to standard output
    std::string err;  // everything written to standard error
};

struct run_options {
    std::vector<std::pair<std::string, std::string>> env; // set on top of the test's environment
    std::vector<std::string> unset_env;                   // removed from it
    std::string cwd;                                      // empty: the test's working directory
    std::string input;                                    // standard input (empty: /dev/null)
    int timeout_seconds = 120;                            // then the program is killed (status -1)

    // Chainable setters: run_cli({...}, run_options().in("/tmp/x").set_env("POSIXLY_CORRECT", "1"));
    run_options &set_env(std::string name, std::string value) { env.emplace_back(std::move(name), std::move(value)); return *this; }
    run_options &unset(std::string name) { unset_env.push_back(std::move(name)); return *this; }
    run_options &in(std::string dir) { cwd = std::move(dir); return *this; }
    run_options &stdin_text(std::string text) { input = std::move(text); return *this; }
    run_options &timeout(int seconds) { timeout_seconds = seconds; return *this; }
};

// Runs the mervo-cli binary of this build (MERVO_CLI_PATH) with `args`; under
// the program that the environment variable MERVO_CLI_WRAPPER names, if set
// (e.g. "valgrind --error-exitcode=99").
run_result run_cli(const std::vector<std::string> &args, const run_options &options = {});
// Runs any program; a name without '/' is looked up in PATH (curl, tar, python3...).
run_result run_program(const std::string &program, const std::vector<std::string> &args,
                       const run_options &options = {});

// Runs `body` in this process with file descriptor 1 (and 2) sent to temporary
// files, and returns what was written there, C stdio buffers flushed around it.
struct captured_output {
    std::string out;
    std::string err;
};
std::string capture_stdout(const std::function<void()> &body);
captured_output capture_output(const std::function<void()> &body);
