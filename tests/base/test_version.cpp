// Ordering of dotted firmware versions.
#include "base/version.h"

#include <gtest/gtest.h>

namespace {
int sign(int value) { return (value > 0) - (value < 0); }
}  // namespace

TEST(VersionCompare, NumericComponentOrder)
{
    struct ordered {
        const char *lower;
        const char *higher;
    };
    for (const ordered &pair : {ordered{"1.2.9", "1.3.0"}, ordered{"1.3.0", "1.3.1"}, ordered{"1.3.0", "1.5.0"},
                                ordered{"1.3.0", "1.10.0"}, ordered{"1.9.9", "1.10.0"}, ordered{"1.3.0", "1.3.0a"},
                                ordered{"1.3.0a", "1.3.0b"}, ordered{"1.3.0a", "1.3.1"}, ordered{"0.9", "1.0.0"},
                                ordered{"1.3", "1.3.1"}, ordered{"", "0.1"}, ordered{"1.3.0", "2"},
                                ordered{"1.3.0", "1.3.0.1"}, ordered{"9", "10"},
                                ordered{"1.99999999999999999999", "1.100000000000000000000"}}) {
        EXPECT_EQ(sign(version_compare(pair.lower, pair.higher)), -1) << pair.lower << " < " << pair.higher;
        EXPECT_EQ(sign(version_compare(pair.higher, pair.lower)), 1) << pair.higher << " > " << pair.lower;
    }
    for (const ordered &same : {ordered{"1.3.0", "1.3.0"}, ordered{"1.3", "1.3.0"}, ordered{"01.03.00", "1.3.0"},
                                ordered{"", ""}, ordered{"1..0", "1.0.0"}}) {
        EXPECT_EQ(version_compare(same.lower, same.higher), 0) << same.lower << " = " << same.higher;
        EXPECT_EQ(version_compare(same.higher, same.lower), 0) << same.higher << " = " << same.lower;
    }
    EXPECT_LT(version_compare(nullptr, ""), 0);
    EXPECT_GT(version_compare("", nullptr), 0);
    EXPECT_EQ(version_compare(nullptr, nullptr), 0);
}

TEST(VersionText, HoldsANumber)
{
    for (const char *text : {"1.3.0", "V1.5.0", "build 7", "0"})
        EXPECT_TRUE(version_has_number(text)) << text;
    for (const char *text : {"", "unknown", "v.", static_cast<const char *>(nullptr)})
        EXPECT_FALSE(version_has_number(text)) << (text ? text : "(null)");
}
