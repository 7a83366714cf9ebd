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

} // namespace
