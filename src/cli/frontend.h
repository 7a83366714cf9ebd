// Layer: cli, the top. The command-line front end: banner, options and their
// echo, the list-valued options, dispatch of the one action, shutdown.
//
// Uses: action, controller (the transfer library's global state and the
// --verbose flag), json (list options) and base. Used by main.cpp only.
//
// Results: cli_run gives the process's exit status and whether the 2-second
// wait applies.
#pragma once

// What the process does once the front end has returned.
struct cli_result {
    int status = 0;
    // false for --version and --help, which end the process at once
    bool wait_before_exit = true;
};

// Runs the tool on the command line. Tests call it in-process; main() adds the
// 2-second wait before the process ends.
cli_result cli_run(int argc, char **argv);

struct option;
// The long-option table, ended by an entry without a name (for the test that
// every abbreviation keeps its meaning as options are added).
const option *cli_long_options();

// Milliseconds the process waits before it ends.
constexpr unsigned CLI_EXIT_WAIT_MS = 2000;
