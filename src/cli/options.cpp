#include "cli/options.h"

#include "base/diag.h"
#include "base/file_put.h"
#include "base/format.h"
#include "base/printf_format.h"
#include "base/text.h"
#include "cli/list_options.h"
#include "controller/transfer.h"

#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *CLI_VERSION = MERVO_VERSION;
constexpr const char *SHORT_OPTIONS = "abc:d:012";

// Parser results of the options that have no short form.
enum : int {
    OPT_CONNECT_TIMEOUT = 0x100,
    OPT_TIMEOUT,
    OPT_TFTP_BLKSIZE,
    OPT_EXIT_STATUS,
    OPT_REPORT,
    OPT_NO_WAIT,
    OPT_QUIET,
};

// The longest wait an option may ask for: a day.
constexpr double MAX_WAIT_SECONDS = 86400;

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

bool quiet_echo = false;

// The echo of the options, which --quiet leaves out.
void echo(const char *format, ...) MERVO_PRINTF(1, 2);
void echo(const char *format, ...)
{
    if (quiet_echo)
        return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

// The echo of a long option that has no echo of its own.
void echo_option(const struct option &long_option)
{
    echo("option %s", long_option.name);
    if (optarg)
        echo(" with arg %s", optarg);
    echo("\n");
}

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

// The controller's address as typed, without a leading "http://" (the tool
// adds the scheme itself where it needs one).
const char *address_of(const char *argument)
{
    constexpr char SCHEME[] = "http://";
    if (argument && strncasecmp(argument, SCHEME, sizeof SCHEME - 1) == 0)
        return argument + sizeof SCHEME - 1;
    return argument;
}

// Whether `address` (without its "http://") can name a controller: a host
// name or IPv4 address and an optional ":PORT". A '/' or '\\' would reach
// into the path of every URL and of the backup's file name, a blank or a
// control character into the request line.
bool address_usable(const char *address)
{
    if (!address || !*address)
        return false;
    for (const char *c = address; *c; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte == '/' || byte == '\\' || byte == ' ' || byte < 0x20 || byte == 0x7F)
            return false;
    }
    // C1 controls, as the console shows them escaped.
    return console_line(address) == address;
}

// A text option keeps an independent copy of its argument; a later occurrence replaces it.
void store_text(std::optional<std::string> &value, const char *argument)
{
    std::string copy;
    if (format_alloc(copy, "%s", show(argument)) >= 0)
        value = std::move(copy);
}

// The options that take a value the tool must understand: false after the
// reason when it cannot.
bool take_value(int c, const option &long_option)
{
    if (c == OPT_TFTP_BLKSIZE) {
        const std::optional<long> blksize = parse_tftp_blksize(optarg);
        if (blksize)
            transfer_settings.tftp_blksize = *blksize;
        else
            diag("--tftp-blksize: '%s' is not a block size from %ld to %ld", show(optarg), TFTP_BLKSIZE_MIN,
                 TFTP_BLKSIZE_MAX);
        return blksize.has_value();
    }
    const std::optional<double> seconds = seconds_value(optarg);
    if (!seconds)
        diag("--%s: '%s' is not a number of seconds from 0.001 to %.0f", long_option.name, show(optarg),
             MAX_WAIT_SECONDS);
    else if (c == OPT_CONNECT_TIMEOUT)
        transfer_settings.connect_timeout_ms = static_cast<long>(std::ceil(*seconds * 1000));
    else
        transfer_settings.stall_seconds = static_cast<long>(std::ceil(*seconds));
    return seconds.has_value();
}

// Whether the report can be written to `path` ("-": standard output): a
// folder that cannot take it is found before the action runs, not after.
bool report_target_usable(const char *path)
{
    if (!path || std::strcmp(path, "-") == 0)
        return true;
    int error = path_stat(path, false).type == path_type::directory ? EISDIR : 0;
    if (error == 0)
        error = folder_writable(folder_of(path));
    if (error != 0)
        diag("--report: %s: %s", path, error_text(error));
    return error == 0;
}

// Names a list option's value that is not read whole; true when it did.
// `long_option` is the option the parser matched, unless it was -c.
bool complain_about_list(const option &long_option, int c, list_kind kind)
{
    std::string name = "-c";
    if (long_option.val == c && long_option.name)
        name = std::string("--") + long_option.name;
    const std::optional<std::string> complaint = list_option_complaint(name.c_str(), optarg, kind);
    if (complaint)
        diag("%s", complaint->c_str());
    return complaint.has_value();
}

} // namespace

// Table order matters: it decides the generic echo and prefix matching.
const option LONG_OPTIONS[] = {
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
    {"exit-status", no_argument, nullptr, OPT_EXIT_STATUS},
    {"report", required_argument, nullptr, OPT_REPORT},
    {"no-wait", no_argument, nullptr, OPT_NO_WAIT},
    {"quiet", no_argument, nullptr, OPT_QUIET},
    {nullptr, 0, nullptr, 0},
};

cli_options read_run_flags(int argc, char **argv)
{
    // On a copy: the parser moves the words of the real command line around.
    std::vector<char *> words(argv, argv + argc);
    words.push_back(nullptr);
    cli_options o;
    const int saved_opterr = opterr;
    opterr = 0;
    optind = 0;
    for (int c; (c = getopt_long(argc, words.data(), SHORT_OPTIONS, LONG_OPTIONS, nullptr)) != -1;) {
        if (c == 'v' || c == 'h')
            break;
        o.quiet = o.quiet || c == OPT_QUIET;
        o.exit_status = o.exit_status || c == OPT_EXIT_STATUS;
        o.no_wait = o.no_wait || c == OPT_NO_WAIT;
        if (c == OPT_REPORT)
            o.report = show(optarg);
    }
    opterr = saved_opterr;
    return o;
}

parse_result parse_options(int argc, char **argv, cli_options &o)
{
    parse_result result;
    quiet_echo = o.quiet;
    optind = 0; // full re-initialisation of the parser (also re-reads POSIXLY_CORRECT)
    int digit_optind = 0;

    for (;;) {
        int this_option_optind = optind ? optind : 1;
        int option_index = 0;
        int c = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, &option_index);
        if (c == -1)
            break;

        switch (c) {
        case OPT_REPORT:
            echo_option(LONG_OPTIONS[option_index]);
            if (!report_target_usable(optarg)) {
                result.end = parse_end::bad_value;
                o.report.reset();
            }
            break;
        case 0:
        case OPT_EXIT_STATUS:
        case OPT_NO_WAIT:
        case OPT_QUIET:
            echo_option(LONG_OPTIONS[option_index]);
            break;
        case OPT_CONNECT_TIMEOUT:
        case OPT_TIMEOUT:
        case OPT_TFTP_BLKSIZE:
            echo_option(LONG_OPTIONS[option_index]);
            if (!take_value(c, LONG_OPTIONS[option_index]))
                result.end = parse_end::bad_value;
            break;
        case 'v':
            std::printf("Version %s\n", CLI_VERSION);
            result.end = parse_end::version;
            return result;
        case 'h':
            for (const char *line : HELP_LINES)
                std::printf("%s\n", line);
            result.end = parse_end::version;
            return result;
        case 'a':
            // -a takes no argument: it stores the rendering of an absent text.
            echo("ACTION=%s\n", show(optarg));
            store_text(o.optAction, optarg);
            break;
        case 'c':
            echo("CHANNEL=%s\n", show(optarg));
            list_read_channels(optarg, o.optChannels);
            result.list_complaints |= complain_about_list(LONG_OPTIONS[option_index], c, list_kind::channels);
            break;
        case 'f':
            echo("CHANNELCSVFILE=%s\n", show(optarg));
            echo("optarg=#%s#", show(optarg));
            list_read_texts(optarg, o.optChannelCsvFiles);
            result.list_complaints |= complain_about_list(LONG_OPTIONS[option_index], c, list_kind::texts);
            break;
        case 'i':
            echo("IP=%s\n", show(optarg));
            store_text(o.optIP, address_of(optarg));
            if (!address_usable(address_of(optarg))) {
                diag("--ip: '%s' is no controller address (a host name or IPv4 address, optionally :PORT, after an "
                     "optional http://; no '/', '\\', blanks or control characters)", console_line(show(optarg)).c_str());
                result.end = parse_end::bad_value;
            }
            break;
        case 'o':
            echo("BackupFileOut%s\n", show(optarg));
            store_text(o.optBackupFileOut, optarg);
            break;
        case 't':
            echo("BackupFileOutType%s\n", show(optarg));
            store_text(o.optBackupFileOutType, optarg);
            break;
        case 'g':
            echo("BackupConfig%s\n", show(optarg));
            list_read_texts(optarg, o.optBackupConfig);
            result.list_complaints |= complain_about_list(LONG_OPTIONS[option_index], c, list_kind::texts);
            break;
        case 'j':
            echo("BackupFileIn%s\n", show(optarg));
            store_text(o.optBackupFileIn, optarg);
            break;
        case 'u':
            echo("FIRMWAREFILE=%s\n", show(optarg));
            store_text(o.optFirmwareFile, optarg);
            break;
        case '0':
        case '1':
        case '2':
            if (digit_optind != 0 && digit_optind != this_option_optind)
                echo("digits occur in two different argv-elements.\n");
            digit_optind = this_option_optind;
            echo("option %c\n", c);
            break;
        default:
            echo("?? getopt returned character code 0%o ??\n", static_cast<unsigned>(c));
            result.parser_complaints = result.parser_complaints || c == '?';
            break;
        }
    }

    if (optind < argc) {
        echo("non-option ARGV-elements: ");
        while (optind < argc)
            echo("%s ", argv[optind++]);
        echo("\n");
    }
    return result;
}
