// The front end in-process: options, their echo, dispatch.
#include "base/format.h"
#include "cli/frontend.h"
#include "controller/transfer.h"

#include "support.h"

#include <getopt.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct run_output {
    cli_result result;
    std::string out;
    std::string err;
};

// Runs the front end in-process with stdout and stderr captured.
run_output run(std::vector<std::string> args)
{
    args.insert(args.begin(), "mervo-cli");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    run_output r;
    captured_output captured = capture_output([&] { r.result = cli_run(static_cast<int>(args.size()), argv.data()); });
    r.out = std::move(captured.out);
    r.err = std::move(captured.err);
    return r;
}

// The four option values, the last lines before the action's.
std::string option_values(const std::string &action, const std::string &ip, const std::string &out = "(null)",
                          const std::string &type = "(null)")
{
    return "optAction=" + action + "\noptIP=" + ip + "\noptBackupFileOut=" + out + "\noptBackupFileOutType=" + type +
           "\n";
}

const std::string BANNER = "mervo-cli\n";
const std::string NO_VALUES = option_values("(null)", "(null)");

TEST(Frontend, EveryLongOptionIsEchoedInCommandLineOrder)
{
    run_output r = run({"--verbose", "--action", "nothing", "--ip=10.0.0.7", "--backupfileout", "/tmp/b",
                        "--backupfileouttype", "zip", "--backupfilein", "in.zip", "--firmwarefile", "fw.zip",
                        "--delete", "x", "--file", "y", "--channel", "2", "--create", "3",
                        "--channelcsvfile", "\"a.csv\"", "--backupconfig", "[\"dali1\"]"});
    EXPECT_EQ(r.out, BANNER +
                         "option verbose\n"
                         "ACTION=nothing\n"
                         "IP=10.0.0.7\n"
                         "BackupFileOut/tmp/b\n"
                         "BackupFileOutTypezip\n"
                         "BackupFileInin.zip\n"
                         "FIRMWAREFILE=fw.zip\n"
                         "option delete with arg x\n"
                         "option file with arg y\n"
                         "CHANNEL=2\n"
                         "CHANNEL=3\n"
                         "CHANNELCSVFILE=\"a.csv\"\n"
                         "optarg=#\"a.csv\"#"
                         "BackupConfig[\"dali1\"]\n" +
                         option_values("nothing", "10.0.0.7", "/tmp/b", "zip"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.result.status, 0);
    EXPECT_TRUE(r.result.wait_before_exit);
}

TEST(Frontend, PrefixMatchingFollowsTheTableOrder)
{
    // --b, --ch and --verb are ambiguous; --cr is --create; --backupfileout matches exactly.
    run_output r = run({"--b", "x", "--ch", "1", "--verb", "--cr", "4", "--backupfileout", "o", "--backupfileoutt", "t"});
    EXPECT_EQ(r.out, BANNER +
                         "?? getopt returned character code 077 ??\n"
                         "?? getopt returned character code 077 ??\n"
                         "?? getopt returned character code 077 ??\n"
                         "CHANNEL=4\n"
                         "BackupFileOuto\n"
                         "BackupFileOutTypet\n"
                         "non-option ARGV-elements: x 1 \n" +
                         option_values("(null)", "(null)", "o", "t"));
    EXPECT_NE(r.err.find("'--b' is ambiguous"), std::string::npos);
    EXPECT_NE(r.err.find("'--ch' is ambiguous"), std::string::npos);
    EXPECT_NE(r.err.find("'--verb' is ambiguous"), std::string::npos);
}

// What the parser makes of "--<word>" with a table: the index of the entry it
// selects, or -1 when the word is unknown or ambiguous.
int selected_entry(const option *table, const std::string &word)
{
    std::string program = "mervo-cli", argument = "--" + word, value = "x";
    char *argv[] = {program.data(), argument.data(), value.data(), nullptr};
    const int saved_opterr = opterr;
    opterr = 0;
    optind = 0;
    int index = -1;
    const int c = getopt_long(3, argv, "", table, &index);
    opterr = saved_opterr;
    return c == '?' || c == -1 ? -1 : index;
}

// Options added to the table must leave every abbreviation of the original
// sixteen meaning what it meant: each prefix of each of their names selects
// the same entry (or stays unknown or ambiguous) with the table as it is.
TEST(Frontend, EveryAbbreviationOfTheOriginalOptionsKeepsItsMeaning)
{
    static const option ORIGINAL[] = {
        {"version", no_argument, nullptr, 'v'},       {"help", no_argument, nullptr, 'h'},
        {"verbose", no_argument, &verbose_flag, 1},   {"action", required_argument, nullptr, 'a'},
        {"channel", required_argument, nullptr, 'c'}, {"channelcsvfile", required_argument, nullptr, 'f'},
        {"ip", required_argument, nullptr, 'i'},      {"backupfileout", required_argument, nullptr, 'o'},
        {"backupfileouttype", required_argument, nullptr, 't'}, {"backupconfig", required_argument, nullptr, 'g'},
        {"backupfilein", required_argument, nullptr, 'j'}, {"firmwarefile", required_argument, nullptr, 'u'},
        {"delete", required_argument, nullptr, 0},    {"verbose", no_argument, nullptr, 0},
        {"create", required_argument, nullptr, 'c'},  {"file", required_argument, nullptr, 0},
        {nullptr, 0, nullptr, 0},
    };
    const option *current = cli_long_options();
    for (const option *o = ORIGINAL; o->name; ++o) {
        ASSERT_STREQ(current[o - ORIGINAL].name, o->name) << "the original entries keep their places";
        const std::string name = o->name;
        for (std::size_t length = 1; length <= name.size(); ++length) {
            const std::string prefix = name.substr(0, length);
            EXPECT_EQ(selected_entry(current, prefix), selected_entry(ORIGINAL, prefix)) << "--" << prefix;
        }
    }
    verbose_flag = 0;
}

TEST(Frontend, ShortOptionsAndDigits)
{
    run_output r = run({"-0", "-1", "-01", "-v", "-h", "-b", "-d", "x", "-a", "-c", "2"});
    EXPECT_EQ(r.out, BANNER +
                         "option 0\n"
                         "digits occur in two different argv-elements.\n"
                         "option 1\n"
                         "digits occur in two different argv-elements.\n"
                         "option 0\n"
                         "option 1\n"
                         "?? getopt returned character code 077 ??\n"
                         "?? getopt returned character code 077 ??\n"
                         "?? getopt returned character code 0142 ??\n"
                         "?? getopt returned character code 0144 ??\n"
                         "ACTION=(null)\n"
                         "CHANNEL=2\n" +
                         option_values("(null)", "(null)"));

    // -01 in one word prints no digit warning.
    EXPECT_EQ(run({"-01"}).out, BANNER + "option 0\noption 1\n" + NO_VALUES);
    // A missing argument is the parser's error result too.
    EXPECT_EQ(run({"--ip"}).out, BANNER + "?? getopt returned character code 077 ??\n" + NO_VALUES);
    EXPECT_EQ(run({"--verbose=1"}).out, BANNER + "?? getopt returned character code 077 ??\n" + NO_VALUES);
}

TEST(Frontend, NonOptionWordsAreMovedBehindUnlessPosixlyCorrect)
{
    run_output r = run({"one", "--ip", "h", "two"});
    EXPECT_EQ(r.out, BANNER + "IP=h\nnon-option ARGV-elements: one two \n" + option_values("(null)", "h"));

    setenv("POSIXLY_CORRECT", "1", 1);
    r = run({"--action", "x", "one", "--ip", "h"});
    unsetenv("POSIXLY_CORRECT");
    EXPECT_EQ(r.out, BANNER + "ACTION=x\nnon-option ARGV-elements: one --ip h \n" + option_values("x", "(null)"));
}

TEST(Frontend, VersionAndHelpEndAtOnce)
{
    run_output r = run({"--version", "--ip", "x"});
    EXPECT_EQ(r.out, "mervo-cli\nVersion 0.4\n");
    EXPECT_FALSE(r.result.wait_before_exit);
    EXPECT_EQ(r.result.status, 0);

    r = run({"--help"});
    EXPECT_EQ(r.out, "mervo-cli\n"
                     "Help\n"
                     "version\t\tShow the command version.\n"
                     "help\t\tShow the command help.\n"
                     "action\t\tsetup_channel|get_backup|put_backup|push_firmware|get_channel|show_backup.\n"
                     "ip\t\tIP address of the controller.\n"
                     "channel\t\tChannel number (1-4).\n"
                     "channelcsvfile\tChannel CSV file path.\n"
                     "firmwarefile\tFirmware binary file path.\n");
    EXPECT_FALSE(r.result.wait_before_exit);

    // Options before --version are echoed as usual.
    EXPECT_EQ(run({"--ip", "h", "--version"}).out, "mervo-cli\nIP=h\nVersion 0.4\n");
}

TEST(Frontend, MissingArgumentsOfEachAction)
{
    // No line end after the message.
    for (const std::string action : {"get_status", "get_backup", "put_backup", "push_firmware", "setup_channel"}) {
        run_output r = run({"--action", action});
        EXPECT_EQ(r.out, BANNER + "ACTION=" + action + "\n" + option_values(action, "(null)") +
                             "Missing arguments for action " + action + ".");
        EXPECT_EQ(r.result.status, 0);
    }

    // setup_channel needs the address, a channel and a CSV file.
    run_output r = run({"--action", "setup_channel", "--ip", "h", "--channel", "1"});
    EXPECT_EQ(r.out, BANNER + "ACTION=setup_channel\nIP=h\nCHANNEL=1\n" + option_values("setup_channel", "h") +
                         "Missing arguments for action setup_channel.");
    r = run({"--action", "setup_channel", "--channelcsvfile", "\"a.csv\"", "--channel", "1"});
    EXPECT_EQ(r.out, BANNER + "ACTION=setup_channel\nCHANNELCSVFILE=\"a.csv\"\noptarg=#\"a.csv\"#CHANNEL=1\n" +
                         option_values("setup_channel", "(null)") + "Missing arguments for action setup_channel.");
}

TEST(Frontend, UnknownActionAndCaseMismatchPrintNothingMore)
{
    EXPECT_EQ(run({"--action", "Get_Status", "--ip", "h"}).out,
              BANNER + "ACTION=Get_Status\nIP=h\n" + option_values("Get_Status", "h"));
    EXPECT_EQ(run({"--action", "", "--ip", "h"}).out, BANNER + "ACTION=\nIP=h\n" + option_values("", "h"));
    // A text option given twice keeps the later value.
    EXPECT_EQ(run({"--ip", "a", "--ip", "b"}).out, BANNER + "IP=a\nIP=b\n" + option_values("(null)", "b"));
}

TEST(Frontend, TftpBlksizeTakesEightTo65464AndNothingElse)
{
    // Echoed like the other long options; every TFTP upload of the run asks for it.
    for (const std::string value : {"8", "512", "8192", "65464", "01468"}) {
        run_output r = run({"--tftp-blksize", value});
        EXPECT_EQ(r.out, BANNER + "option tftp-blksize with arg " + value + "\n" + NO_VALUES);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(transfer_settings.tftp_blksize, std::stol(value));
    }
    // The next run starts from the default again.
    EXPECT_EQ(run({}).out, BANNER + NO_VALUES);
    EXPECT_EQ(transfer_settings.tftp_blksize, 1468);

    // Anything else: a usage error on standard error, status 2 once the
    // options are read, before the action (which would print its
    // missing-arguments message).
    for (const std::string value : {"7", "0", "65465", "70000", "99999999999999999999", "", "-512", "+512", " 512",
                                    "512 ", "0x200", "1e3", "512k"}) {
        run_output r = run({"--tftp-blksize", value, "--action", "get_status"});
        EXPECT_EQ(r.out, BANNER + "option tftp-blksize with arg " + value + "\nACTION=get_status\n");
        EXPECT_EQ(r.err, "mervo-cli: --tftp-blksize: '" + value + "' is not a block size from 8 to 65464\n");
        EXPECT_EQ(r.result.status, 2);
        EXPECT_FALSE(r.result.wait_before_exit);
    }
}

TEST(FormatAlloc, ExactSizesAndFailures)
{
    std::string out = "untouched";
    EXPECT_EQ(format_alloc(out, "%s", ""), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(format_alloc(out, "%s/api/v100/backup.ssi?config=%s", "http://h", "dali1"), 41);
    EXPECT_EQ(out, "http://h/api/v100/backup.ssi?config=dali1");
    EXPECT_EQ(out.size(), 41u);
    EXPECT_EQ(format_alloc(out, "%s", show(static_cast<const char *>(nullptr))), 6);
    EXPECT_EQ(out, "(null)");

    char field[PATH_FIELD_SIZE];
    std::string long_path(400, 'p');
    copy_bounded(field, long_path.c_str());
    EXPECT_EQ(std::string(field), std::string(260, 'p'));
    copy_bounded(field, nullptr);
    EXPECT_EQ(std::string(field), "(null)");
}

} // namespace
