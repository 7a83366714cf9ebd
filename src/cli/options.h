// The command line: the long-option table, the option values, and their
// parsing with the echo of every option as it is seen.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The option values, each absent until its option is given.
struct cli_options {
    std::optional<std::string> optAction;
    std::optional<std::string> optIP;
    std::optional<std::string> optBackupFileOut;
    std::optional<std::string> optBackupFileOutType;
    std::optional<std::string> optBackupFileIn;
    std::optional<std::string> optFirmwareFile;
    std::vector<std::int32_t> optChannels;
    std::optional<std::vector<std::string>> optChannelCsvFiles;
    std::optional<std::vector<std::string>> optBackupConfig;
    // What the run itself does (no echo of their own but the generic one).
    bool quiet = false;                  // --quiet: no option echo, no progress meter
    bool exit_status = false;            // --exit-status: the outcome decides the status
    bool no_wait = false;                // --no-wait: no pause at the end
    std::optional<std::string> report;   // --report FILE, "-" for standard output
};

// How parsing ended.
enum class parse_end {
    options,      // the options were read; the run goes on
    version,      // --version or --help was answered: the process ends at once
    bad_value,    // an option's value cannot be used: status 2, nothing done
};

struct parse_result {
    parse_end end = parse_end::options;
    bool parser_complaints = false;     // getopt refused a word (unknown, ambiguous, missing argument)
    bool list_complaints = false;       // a list option was not read whole (named on standard error)
};

// The long-option table, ended by an entry without a name.
extern const option LONG_OPTIONS[];

// Reads the flags that change how the run itself goes (--quiet, --report,
// --exit-status, --no-wait) from a copy of the command line, silently, so
// that they are known before the first option is echoed.
cli_options read_run_flags(int argc, char **argv);

// Parses the command line into `o`, echoing each option as it is seen
// (unless o.quiet), then lists the words that are no options.
parse_result parse_options(int argc, char **argv, cli_options &o);
