#include "cli/frontend.h"

#include "action/action.h"
#include "base/diag.h"
#include "base/format.h"
#include "cli/list_options.h"
#include "controller/transfer.h"

#include <getopt.h>
#include <strings.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char *CLI_VERSION = MERVO_VERSION;
constexpr const char *SHORT_OPTIONS = "abc:d:012";

// Parser results of the options that have no short form.
enum : int {
    OPT_CONNECT_TIMEOUT = 0x100,
    OPT_TIMEOUT,
    OPT_TFTP_BLKSIZE,
};

// The longest wait an option may ask for: a day.
constexpr double MAX_WAIT_SECONDS = 86400;

// Table order matters: it decides the generic echo and prefix matching.
const struct option LONG_OPTIONS[] = {
    {"version", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"verbose", no_argument, &verbose_flag, 1},
    {"action", required_argument, nullptr, 'a'},
    {"channel", required_argument, nullptr, 'c'},
    {"channelcsvfile", required_argument, nullptr, 'f'},
    {"ip", required_argument, nullptr, 'i'},
    {"backupfileout", required_argument, nullptr, 'o'},
    {"backupfileouttype", required_argument, nullptr, 't'},
    {"backupconfig", required_argument, nullptr, 'g'},
    {"backupfilein", required_argument, nullptr, 'j'},
    {"firmwarefile", required_argument, nullptr, 'u'},
    {"delete", required_argument, nullptr, 0},
    {"verbose", no_argument, nullptr, 0},
    {"create", required_argument, nullptr, 'c'},
    {"file", required_argument, nullptr, 0},
    // Added later: each new name starts with letters that selected no option
    // before, so every abbreviation that worked keeps its meaning.
    {"connect-timeout", required_argument, nullptr, OPT_CONNECT_TIMEOUT},
    {"timeout", required_argument, nullptr, OPT_TIMEOUT},
    {"tftp-blksize", required_argument, nullptr, OPT_TFTP_BLKSIZE},
    {nullptr, 0, nullptr, 0},
};

const char *const HELP_LINES[] = {
    "Help",
    "version\t\tShow the command version.",
    "help\t\tShow the command help.",
    "action\t\tsetup_channel|get_backup|put_backup|push_firmware|get_channel|show_backup.",
    "ip\t\tIP address of the controller.",
    "channel\t\tChannel number (1-4).",
    "channelcsvfile\tChannel CSV file path.",
    "firmwarefile\tFirmware binary file path.",
};

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
};

// A number of seconds from 0.001 to a day, or nothing.
std::optional<double> seconds_value(const char *argument)
{
    if (!argument || !*argument)
        return std::nullopt;
    char *end = nullptr;
    const double value = std::strtod(argument, &end);
    if (*end != '\0' || !(value >= 0.001 && value <= MAX_WAIT_SECONDS))
        return std::nullopt;
    return value;
}

// The controller's address as typed, without a leading "http://" (the tool
// adds the scheme itself where it needs one).
const char *address_of(const char *argument)
{
    constexpr char SCHEME[] = "http://";
    if (argument && strncasecmp(argument, SCHEME, sizeof SCHEME - 1) == 0)
        return argument + sizeof SCHEME - 1;
    return argument;
}

// A text option keeps an independent copy of its argument; a later occurrence replaces it.
void store_text(std::optional<std::string> &value, const char *argument)
{
    std::string copy;
    if (format_alloc(copy, "%s", show(argument)) >= 0)
        value = std::move(copy);
}

// The echo of a long option that has no echo of its own.
void echo_option(const struct option &long_option)
{
    std::printf("option %s", long_option.name);
    if (optarg)
        std::printf(" with arg %s", optarg);
    std::printf("\n");
}

// The argument of --tftp-blksize: decimal digits, TFTP_BLKSIZE_MIN to
// TFTP_BLKSIZE_MAX; nothing for anything else.
std::optional<long> parse_tftp_blksize(const char *text)
{
    if (!text || !*text || std::strlen(text) > 9)
        return std::nullopt;
    long value = 0;
    for (const char *digit = text; *digit; ++digit) {
        if (*digit < '0' || *digit > '9')
            return std::nullopt;
        value = value * 10 + (*digit - '0');
    }
    if (value < TFTP_BLKSIZE_MIN || value > TFTP_BLKSIZE_MAX)
        return std::nullopt;
    return value;
}

void print_help()
{
    for (const char *line : HELP_LINES)
        std::printf("%s\n", line);
}

// Channels and CSV files are handed over in pairs, index by index; the end of
// the shorter list, or a 0 channel, ends the pairs.
// False when a pair ended the run (a CSV file the tokeniser rejected).
bool dispatch_setup_channel(const cli_options &o)
{
    const bool have_channels = !o.optChannels.empty() && o.optChannels.front() != 0;
    const bool have_files = o.optChannelCsvFiles && !o.optChannelCsvFiles->empty();
    if (!o.optIP || !have_channels || !have_files) {
        std::fputs("Missing arguments for action setup_channel.", stdout);
        return true;
    }
    const std::vector<std::string> &files = *o.optChannelCsvFiles;
    for (std::size_t i = 0; i < o.optChannels.size() && i < files.size() && o.optChannels[i] != 0; ++i)
        if (channel_setup(o.optIP->c_str(), static_cast<std::uint32_t>(o.optChannels[i]), files[i].c_str()) ==
            CHANNEL_SETUP_END_RUN)
            return false;
    return true;
}

// False when the action ended the run early.
bool dispatch(const cli_options &o)
{
    if (!o.optAction)
        return true;
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
    return true;
}

} // namespace

const option *cli_long_options() { return LONG_OPTIONS; }

cli_result cli_run(int argc, char **argv)
{
    std::puts("mervo-cli");
    transfer_global_init();

    cli_options o;
    verbose_flag = 0;
    transfer_settings = transfer_limits{};
    bool usage_error = false;
    optind = 0; // full re-initialisation of the parser (also re-reads POSIXLY_CORRECT)
    int digit_optind = 0;

    for (;;) {
        int this_option_optind = optind ? optind : 1;
        int option_index = 0;
        int c = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, &option_index);
        if (c == -1)
            break;

        switch (c) {
        case 0:
            echo_option(LONG_OPTIONS[option_index]);
            break;
        case OPT_TFTP_BLKSIZE: {
            echo_option(LONG_OPTIONS[option_index]);
            const std::optional<long> blksize = parse_tftp_blksize(optarg);
            if (!blksize) {
                usage_error = true;
                diag("--tftp-blksize: '%s' is not a block size from %ld to %ld", show(optarg), TFTP_BLKSIZE_MIN,
                     TFTP_BLKSIZE_MAX);
            } else {
                transfer_settings.tftp_blksize = *blksize;
            }
            break;
        }
        case 'v':
            std::printf("Version %s\n", CLI_VERSION);
            std::fflush(stdout);
            return {0, false};
        case 'h':
            print_help();
            std::fflush(stdout);
            return {0, false};
        case 'a':
            // -a takes no argument: it stores the rendering of an absent text.
            std::printf("ACTION=%s\n", show(optarg));
            store_text(o.optAction, optarg);
            break;
        case 'c':
            std::printf("CHANNEL=%s\n", show(optarg));
            list_read_channels(optarg, o.optChannels);
            break;
        case 'f':
            std::printf("CHANNELCSVFILE=%s\n", show(optarg));
            std::printf("optarg=#%s#", show(optarg));
            list_read_texts(optarg, o.optChannelCsvFiles);
            break;
        case 'i':
            std::printf("IP=%s\n", show(optarg));
            store_text(o.optIP, address_of(optarg));
            break;
        case 'o':
            std::printf("BackupFileOut%s\n", show(optarg));
            store_text(o.optBackupFileOut, optarg);
            break;
        case 't':
            std::printf("BackupFileOutType%s\n", show(optarg));
            store_text(o.optBackupFileOutType, optarg);
            break;
        case 'g':
            std::printf("BackupConfig%s\n", show(optarg));
            list_read_texts(optarg, o.optBackupConfig);
            break;
        case 'j':
            std::printf("BackupFileIn%s\n", show(optarg));
            store_text(o.optBackupFileIn, optarg);
            break;
        case 'u':
            std::printf("FIRMWAREFILE=%s\n", show(optarg));
            store_text(o.optFirmwareFile, optarg);
            break;
        case OPT_CONNECT_TIMEOUT:
        case OPT_TIMEOUT: {
            echo_option(LONG_OPTIONS[option_index]);
            const std::optional<double> seconds = seconds_value(optarg);
            if (!seconds) {
                usage_error = true;
                diag("--%s: '%s' is not a number of seconds from 0.001 to %.0f", LONG_OPTIONS[option_index].name,
                     show(optarg), MAX_WAIT_SECONDS);
            } else if (c == OPT_CONNECT_TIMEOUT) {
                transfer_settings.connect_timeout_ms = static_cast<long>(std::ceil(*seconds * 1000));
            } else {
                transfer_settings.stall_seconds = static_cast<long>(std::ceil(*seconds));
            }
            break;
        }
        case '0':
        case '1':
        case '2':
            if (digit_optind != 0 && digit_optind != this_option_optind)
                std::printf("digits occur in two different argv-elements.\n");
            digit_optind = this_option_optind;
            std::printf("option %c\n", c);
            break;
        default:
            std::printf("?? getopt returned character code 0%o ??\n", static_cast<unsigned>(c));
            break;
        }
    }

    if (optind < argc) {
        std::printf("non-option ARGV-elements: ");
        while (optind < argc)
            std::printf("%s ", argv[optind++]);
        std::printf("\n");
    }

    // A value no option can take ends the run before any action: what was
    // meant cannot be guessed.
    if (usage_error) {
        std::fflush(stdout);
        return {2, false};
    }

    std::printf("optAction=%s\n", show(o.optAction));
    std::printf("optIP=%s\n", show(o.optIP));
    std::printf("optBackupFileOut=%s\n", show(o.optBackupFileOut));
    std::printf("optBackupFileOutType=%s\n", show(o.optBackupFileOutType));

    if (!dispatch(o)) {
        // A rejected CSV file ends the run at once: no cleanup, no wait.
        std::fflush(stdout);
        return {1, false};
    }

    transfer_global_cleanup();
    std::fflush(stdout);
    return {0, true};
}
