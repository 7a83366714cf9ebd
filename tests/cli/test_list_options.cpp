#include "cli/list_options.h"

#include <gtest/gtest.h>

namespace {

using channels = std::vector<std::int32_t>;
using texts = std::vector<std::string>;

// The channels a consumer sees: the elements before the first 0.
channels used(const channels &list)
{
    channels seen;
    for (std::int32_t c : list) {
        if (c == 0)
            break;
        seen.push_back(c);
    }
    return seen;
}

channels read_channels(std::initializer_list<const char *> occurrences)
{
    channels list;
    for (const char *argument : occurrences)
        list_read_channels(argument, list);
    return used(list);
}

TEST(ListOptions, ChannelArguments)
{
    EXPECT_EQ(read_channels({"2"}), (channels{2}));
    EXPECT_EQ(read_channels({"[1,3]"}), (channels{1, 3}));
    EXPECT_EQ(read_channels({" [ 4 ,\n2 ] "}), (channels{4, 2}));
    // Nothing after the first complete value is read.
    EXPECT_EQ(read_channels({"1,2"}), (channels{1}));
    EXPECT_EQ(read_channels({"[\"4\"]"}), (channels{4}));
    EXPECT_EQ(read_channels({"[\" -3x\", \"+2\"]"}), (channels{-3, 2}));
    // 0, also from a string without digits, ends the list.
    EXPECT_EQ(read_channels({"[1,0,3]"}), (channels{1}));
    EXPECT_EQ(read_channels({"[1,\"x\",3]"}), (channels{1}));
    // The walk ends at the first array end.
    EXPECT_EQ(read_channels({"[[1],[2]]"}), (channels{1}));
    EXPECT_EQ(read_channels({"[1,x]"}), (channels{1}));
    EXPECT_EQ(read_channels({"x"}), (channels{}));
    EXPECT_EQ(read_channels({"[true,null,{},2.9,-2.9]"}), (channels{2, -2}));
    // Out-of-range numbers are held at the 32-bit ends, never wrapped.
    EXPECT_EQ(read_channels({"[1e300,-1e300,\"99999999999\"]"}),
              (channels{INT32_MAX, INT32_MIN, INT32_MAX}));

    channels raw;
    list_read_channels(nullptr, raw);
    EXPECT_TRUE(raw.empty());
}

TEST(ListOptions, LaterOccurrencesWriteFromTheStart)
{
    EXPECT_EQ(read_channels({"[1,2]", "[3]"}), (channels{3}));
    EXPECT_EQ(read_channels({"[1,2]", "x"}), (channels{1, 2}));
    EXPECT_EQ(read_channels({"[1,2]", "[]"}), (channels{1, 2}));
    EXPECT_EQ(read_channels({"[1]", "[3,4,2]"}), (channels{3, 4, 2}));
    // Elements read before an error are kept.
    EXPECT_EQ(read_channels({"[1,2,3]", "[4,#]"}), (channels{4}));

    std::optional<texts> names;
    list_read_texts("[\"a\",\"b\",\"c\"]", names);
    list_read_texts("\"d\"", names);
    EXPECT_EQ(names, (texts{"d"}));
    list_read_texts("d", names);
    EXPECT_EQ(names, (texts{"d"}));
}

TEST(ListOptions, TextArguments)
{
    std::optional<texts> files;
    list_read_texts(R"(["C:\\dir\\hall.csv"])", files);
    EXPECT_EQ(files, (texts{"C:\\dir\\hall.csv"}));

    // A bare Windows path is no JSON: the list stays absent.
    std::optional<texts> bare;
    list_read_texts(R"(C:\dir\hall.csv)", bare);
    EXPECT_FALSE(bare);
    list_read_texts("[1, true]", bare);
    EXPECT_FALSE(bare);

    std::optional<texts> configs;
    list_read_texts(R"(["dali1", 7, "sys\u0074em"])", configs);
    EXPECT_EQ(configs, (texts{"dali1", "system"}));

    std::optional<texts> one;
    list_read_texts(R"("hall \"east\".csv")", one);
    EXPECT_EQ(one, (texts{"hall \"east\".csv"}));
}

// A value the reading passes over in part is named with what is read and the
// form that works for it; a value read whole is not.
TEST(ListOptions, ComplaintsNameWhatIsReadAndTheWorkingForm)
{
    struct row {
        const char *option;
        const char *argument;
        list_kind kind;
        const char *complaint; // null: none
    };
    const row rows[] = {
        {"--channel", "2", list_kind::channels, nullptr},
        {"--channel", " [1, \"3\"] ", list_kind::channels, nullptr},
        {"--channelcsvfile", R"(["a.csv","C:\\b.csv"])", list_kind::texts, nullptr},
        {"--channelcsvfile", "hall.csv", list_kind::texts,
         "--channelcsvfile: 'hall.csv' is not a JSON string or list, so nothing is read; "
         "write --channelcsvfile '\"hall.csv\"'"},
        {"--channelcsvfile", "a.csv,b.csv", list_kind::texts,
         "--channelcsvfile: 'a.csv,b.csv' is not a JSON string or list, so nothing is read; "
         "write --channelcsvfile '[\"a.csv\",\"b.csv\"]'"},
        {"--channelcsvfile", R"(C:\dali\it's.csv)", list_kind::texts,
         R"(--channelcsvfile: 'C:\dali\it's.csv' is not a JSON string or list, so nothing is read; )"
         R"(write --channelcsvfile '"C:\\dali\\it'\''s.csv"')"},
        {"--backupconfig", "dali1", list_kind::texts,
         "--backupconfig: 'dali1' is not a JSON string or list, so nothing is read; write --backupconfig '\"dali1\"'"},
        {"--backupconfig", "", list_kind::texts,
         "--backupconfig: '' is not a JSON string or list, so nothing is read; write --backupconfig '\"name\"', "
         "or --backupconfig '[\"a.csv\",\"b.csv\"]' for several"},
        {"--backupconfig", R"(["dali1",2])", list_kind::texts,
         "--backupconfig: '[\"dali1\",2]' holds 2, which is not a JSON string; only 'dali1' is read; "
         "write --backupconfig '[\"dali1\",\"2\"]'"},
        {"--channelcsvfile", R"("a.csv","b.csv")", list_kind::texts,
         "--channelcsvfile: '\"a.csv\",\"b.csv\"' holds more than one JSON value; only 'a.csv' is read; "
         "write --channelcsvfile '[\"a.csv\",\"b.csv\"]'"},
        {"--channel", "x", list_kind::channels,
         "--channel: 'x' is not a JSON number or list, so no channel is read; write --channel 2, or --channel "
         "'[1,3]' for several"},
        {"--channel", "1,2", list_kind::channels,
         "--channel: '1,2' holds more than one JSON value; only channel 1 is read; write --channel '[1,2]'"},
        {"--channel", "[1,x]", list_kind::channels,
         "--channel: '[1,x]' is not valid JSON to its end; only channel 1 is read; write --channel 1"},
        {"--channel", "[[1],[2]]", list_kind::channels,
         "--channel: '[[1],[2]]' holds lists inside the list; only channel 1 is read; write --channel '[1,2]'"},
        {"--channel", "{\"ch\":2}", list_kind::channels,
         "--channel: '{\"ch\":2}' is not a JSON number or list, so no channel is read; write --channel 2"},
        {"--channel", "[1,true,3]", list_kind::channels,
         "--channel: '[1,true,3]' holds true, which is not a channel number; only channels 1 and 3 are read; "
         "write --channel '[1,3]'"},
        {"--channel", "[1,0,3]", list_kind::channels,
         "--channel: '[1,0,3]' holds the channel 0, which ends the list; only channel 1 is read; "
         "write --channel '[1,3]'"},
        {"--channel", "[1,2,0]", list_kind::channels, nullptr},
        {"--channel", "bad\x1b[2J", list_kind::channels,
         "--channel: 'bad\\x1b[2J' is not a JSON number or list, so no channel is read; write --channel 2"},
    };
    for (const row &r : rows) {
        const std::optional<std::string> complaint = list_option_complaint(r.option, r.argument, r.kind);
        if (r.complaint)
            EXPECT_EQ(complaint, std::string(r.complaint)) << r.argument;
        else
            EXPECT_EQ(complaint, std::nullopt) << r.argument;
    }
}

} // namespace
