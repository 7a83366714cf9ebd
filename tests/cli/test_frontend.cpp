// The front end in-process: what the option table means (the echo of every
// option is a case, tests/cases/cli/option_echo.case), and the bounded
// formatting it uses.
#include "base/format.h"
#include "cli/frontend.h"
#include "controller/transfer.h"

#include <getopt.h>
#include <gtest/gtest.h>

#include <string>

namespace {

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
