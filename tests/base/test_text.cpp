// UTF-8 checks and cuts, and text made safe for the console.
#include "base/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

TEST(Utf8, WellFormedSequencesOnly)
{
    struct row {
        std::string text;
        std::size_t length;
    };
    const row rows[] = {
        {"A", 1},          {"\x7f", 1},           {"\xc3\xa9", 2},        {"\xe4\xbc\x9a", 3},
        {"\xf0\x9f\x98\x80", 4}, {"\xf4\x8f\xbf\xbf", 4}, // U+10FFFF, the last code point
        {"\x80", 0},       {"\xc0\xaf", 0},       {"\xc1\xbf", 0},        // stray continuation, overlong
        {"\xe0\x9f\xbf", 0}, {"\xed\xa0\x80", 0}, {"\xf0\x8f\xbf\xbf", 0}, // overlong, surrogate, overlong
        {"\xf4\x90\x80\x80", 0}, {"\xf5\x80\x80\x80", 0},                // above U+10FFFF
        {"\xc3", 0},       {"\xe4\xbc", 0},       {"\xc3(", 0},           // cut, bad continuation
        {"", 0},
    };
    for (const row &r : rows)
        EXPECT_EQ(utf8_sequence_length(r.text), r.length) << testing::PrintToString(r.text);
    EXPECT_TRUE(utf8_valid("Caf\xc3\xa9 S\xc3\xbc" "d \xe4\xbc\x9a\xe8\xad\xb0\xe5\xae\xa4"));
    EXPECT_FALSE(utf8_valid("Caf\xe9 S\xfc" "d"));
    EXPECT_EQ(utf8_first_invalid("Caf\xe9"), 3u);
    EXPECT_EQ(utf8_first_invalid("abc"), 3u);
}

TEST(Utf8, CutKeepsWholeCharacters)
{
    const std::string ending_in_u_umlaut = std::string(31, 'a') + "\xc3\xbc"; // 33 bytes
    EXPECT_EQ(utf8_cut(ending_in_u_umlaut, 32), 31u);
    EXPECT_EQ(utf8_cut(ending_in_u_umlaut, 33), 33u);
    EXPECT_EQ(utf8_cut("\xe4\xbc\x9a\xe8\xad\xb0", 5), 3u);
    EXPECT_EQ(utf8_cut("\xe4\xbc\x9a\xe8\xad\xb0", 6), 6u);
    EXPECT_EQ(utf8_cut("ab\xff\xff", 3), 3u); // bytes of no sequence count one each
    EXPECT_EQ(utf8_cut("short", 32), 5u);
}

TEST(ConsoleText, ControlCharactersEscapedOrdinaryTextUnchanged)
{
    struct row {
        std::string text, line, block;
    };
    const row rows[] = {
        {"VESTRA-4", "VESTRA-4", "VESTRA-4"},
        {"Caf\xc3\xa9 \xe4\xbc\x9a", "Caf\xc3\xa9 \xe4\xbc\x9a", "Caf\xc3\xa9 \xe4\xbc\x9a"},
        {"1.3.0\r\nOK", "1.3.0\\r\\nOK", "1.3.0\r\nOK"},
        {"a\nb\tc", "a\\nb\\tc", "a\nb\tc"},
        {"over\rwrite", "over\\rwrite", "over\\rwrite"}, // a lone CR overwrites the line: escaped in both
        {"\x1b]0;title\x07\x1b[2J", "\\x1b]0;title\\x07\\x1b[2J", "\\x1b]0;title\\x07\\x1b[2J"},
        {"\x1b[8mhidden", "\\x1b[8mhidden", "\\x1b[8mhidden"},
        {"del\x7f", "del\\x7f", "del\\x7f"},
        {"csi\xc2\x9b" "2J", "csi\\xc2\\x9b2J", "csi\\xc2\\x9b2J"},       // C1 as UTF-8
        {"nbsp\xc2\xa0", "nbsp\xc2\xa0", "nbsp\xc2\xa0"},               // U+00A0 is no control
        {"raw\x9b" "2J", "raw\\x9b2J", "raw\\x9b2J"},                   // C1 as a bare byte
        {"nul\0end"s, "nul\\x00end", "nul\\x00end"},
        {"back\\slash", "back\\slash", "back\\slash"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(console_line(r.text), r.line) << testing::PrintToString(r.text);
        EXPECT_EQ(console_block(r.text), r.block) << testing::PrintToString(r.text);
    }
}

} // namespace
