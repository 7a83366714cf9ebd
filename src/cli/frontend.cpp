#include "cli/frontend.h"

#include "action/action.h"
#include "base/file_put.h"
#include "base/diag.h"
#include "base/format.h"
#include "base/system.h"
#include "base/text.h"
#include "cli/options.h"
#include "cli/report_json.h"
#include "controller/transfer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

// How the dispatch of the one action went.
enum class run_end {
    ran,        // an action ran to its end (or no action was named)
    unknown,    // a name that matches no action: nothing ran
    end_run,    // the run ends at once with status 1 (a rejected CSV file)
};

// Channels and CSV files are handed over in pairs, index by index; the end of
// the shorter list, or a 0 channel, ends the pairs.
run_end dispatch_setup_channel(const cli_options &o)
{
    const bool have_channels = !o.optChannels.empty() && o.optChannels.front() != 0;
    const bool have_files = o.optChannelCsvFiles && !o.optChannelCsvFiles->empty();
    if (!o.optIP || !have_channels || !have_files) {
        missing_arguments("setup_channel");
        return run_end::ran;
    }
    const std::vector<std::string> &files = *o.optChannelCsvFiles;
    channel_pairs_unmatched(o.optChannels, files);
    for (std::size_t i = 0; i < channel_pair_count(o.optChannels, files); ++i)
        if (channel_setup(o.optIP->c_str(), static_cast<std::uint32_t>(o.optChannels[i]), files[i].c_str()) ==
            CHANNEL_SETUP_END_RUN)
            return run_end::end_run;
    return run_end::ran;
}

constexpr const char *ACTION_NAMES[] = {"get_status",    "get_backup",  "put_backup", "setup_channel",
                                       "push_firmware", "get_channel", "show_backup"};

// The action a mistyped name was most likely meant as: one that differs in
// letter case only, or by at most two letters inserted, dropped, changed or
// swapped; nothing when none does.
const char *action_meant(const std::string &typed)
{
    const char *best = nullptr;
    std::size_t best_distance = 3;
    for (const char *name : ACTION_NAMES) {
        const std::string wanted = name;
        // Optimal string alignment distance over lower-case letters.
        std::vector<std::vector<std::size_t>> d(typed.size() + 1, std::vector<std::size_t>(wanted.size() + 1));
        for (std::size_t i = 0; i <= typed.size(); ++i)
            d[i][0] = i;
        for (std::size_t j = 0; j <= wanted.size(); ++j)
            d[0][j] = j;
        for (std::size_t i = 1; i <= typed.size(); ++i)
            for (std::size_t j = 1; j <= wanted.size(); ++j) {
                const bool same = std::tolower(static_cast<unsigned char>(typed[i - 1])) == wanted[j - 1];
                d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (same ? 0 : 1)});
                if (i > 1 && j > 1 && std::tolower(static_cast<unsigned char>(typed[i - 1])) == wanted[j - 2] &&
                    std::tolower(static_cast<unsigned char>(typed[i - 2])) == wanted[j - 1])
                    d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        if (d[typed.size()][wanted.size()] < best_distance) {
            best_distance = d[typed.size()][wanted.size()];
            best = name;
        }
    }
    return best;
}

// An action name that matches none, or no --action at all: nothing is done,
// which is said, with the actions there are.
void report_no_action(const std::optional<std::string> &action)
{
    std::string names;
    for (const char *name : ACTION_NAMES)
        names += std::string(names.empty() ? "" : name == ACTION_NAMES[std::size(ACTION_NAMES) - 1] ? " and " : ", ") +
                 name;
    if (!action) {
        diag("no --action given, so nothing is done; the actions are %s", names.c_str());
        return;
    }
    const char *meant = action_meant(*action);
    diag("--action '%s' is no action, so nothing is done%s%s%s; the actions are %s", console_line(*action).c_str(),
         meant ? " (write --action " : "", meant ? meant : "", meant ? ")" : "", names.c_str());
}

run_end dispatch(const cli_options &o)
{
    if (!o.optAction) {
        report_no_action(o.optAction);
        return run_end::ran;
    }
    const std::string &action = *o.optAction;
    if (action == "get_backup")
        action_get_backup(text_or_null(o.optIP), text_or_null(o.optBackupFileOut),
                          text_or_null(o.optBackupFileOutType), o.optBackupConfig ? &*o.optBackupConfig : nullptr);
    else if (action == "put_backup")
        action_put_backup(text_or_null(o.optIP), text_or_null(o.optBackupFileIn));
    else if (action == "setup_channel")
        return dispatch_setup_channel(o);
    else if (action == "push_firmware")
        action_push_firmware(text_or_null(o.optIP), text_or_null(o.optFirmwareFile));
    else if (action == "get_status")
        action_get_status(text_or_null(o.optIP));
    else if (action == "get_channel")
        action_get_channel(text_or_null(o.optIP), text_or_null(o.optBackupFileIn), o.optChannels, o.optChannelCsvFiles);
    else if (action == "show_backup")
        action_show_backup(text_or_null(o.optBackupFileIn));
    else {
        report_no_action(o.optAction);
        return run_end::unknown;
    }
    return run_end::ran;
}

// Under --exit-status a value that was not read as typed is a usage error
// found before anything is done: what was meant cannot be guessed. Without
// it, the run goes on with what was read, as it always has.
bool usable_for_scripts(const cli_options &o, const parse_result &parsed)
{
    if (!o.exit_status)
        return true;
    bool usable = !parsed.list_complaints;
    if (o.optAction && *o.optAction == "get_backup") {
        const std::optional<std::string> complaint =
            backup_output_complaint(text_or_null(o.optBackupFileOut), text_or_null(o.optBackupFileOutType));
        if (complaint) {
            diag("%s", complaint->c_str());
            usable = false;
        }
    }
    return usable;
}

// Writes the report to its file (whole, through a temporary name) or, with
// "--report -", to the real standard output, which it has to itself (all else
// the run prints goes to standard error meanwhile). A report that cannot be
// written is said so (false).
bool write_report(const std::string &where, const stdout_on_stderr &console, const std::string &document)
{
    const int error = where == "-" ? console.write_original(document)
                                   : file_put(where, document.data(), document.size(), file_put_mode::replace);
    if (error != 0)
        diag("--report: %s: %s", where == "-" ? "standard output" : where.c_str(), error_text(error));
    return error == 0;
}

} // namespace

const option *cli_long_options() { return LONG_OPTIONS; }

cli_result cli_run(int argc, char **argv)
{
    report_frame frame;
    frame.started = std::time(nullptr);
    verbose_flag = 0;
    transfer_settings = transfer_limits{};
    run_record() = run_report{};

    cli_options o = read_run_flags(argc, argv);
    transfer_settings.progress_meter = !o.quiet;
    const stdout_on_stderr console(o.report && *o.report == "-");

    std::puts("mervo-cli");
    transfer_global_init();
    parse_result parsed = parse_options(argc, argv, o);
    if (parsed.end == parse_end::version) {
        std::fflush(stdout);
        return {0, false};
    }
    if (parsed.end == parse_end::options && !usable_for_scripts(o, parsed))
        parsed.end = parse_end::bad_value;

    run_end end = run_end::ran;
    // A value no option can take ends the run before any action: what was
    // meant cannot be guessed.
    if (parsed.end != parse_end::bad_value) {
        if (!o.quiet) {
            std::printf("optAction=%s\n", show(o.optAction));
            std::printf("optIP=%s\n", show(o.optIP));
            std::printf("optBackupFileOut=%s\n", show(o.optBackupFileOut));
            std::printf("optBackupFileOutType=%s\n", show(o.optBackupFileOutType));
        }
        end = dispatch(o);
    }

    const bool usage_error = parsed.end == parse_end::bad_value || parsed.parser_complaints ||
                             parsed.list_complaints || !o.optAction || end == run_end::unknown ||
                             run_record().missing_arguments;
    cli_result result;
    if (parsed.end == parse_end::bad_value)
        result = {2, false};
    else if (end == run_end::end_run)
        result = {1, false}; // a rejected CSV file ends the run at once: no cleanup, no wait
    else if (o.exit_status)
        result = {usage_error ? 2 : run_failed() ? 1 : 0, !o.no_wait};
    else
        result = {0, !o.no_wait};
    if (end != run_end::end_run)
        transfer_global_cleanup();
    std::fflush(stdout);

    if (o.report) {
        frame.address = o.optIP;
        frame.action = o.optAction;
        frame.ended = std::time(nullptr);
        frame.result = usage_error ? "usage error" : run_failed() || end == run_end::end_run ? "failed" : "ok";
        frame.exit_status = result.status;
        // A report that went missing fails a run whose caller reads the status.
        if (!write_report(*o.report, console, report_document(frame)) && o.exit_status &&
            result.status == 0)
            result.status = 1;
    }
    return result;
}
