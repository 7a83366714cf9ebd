#include "base/hex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

TEST(HexEncode, LowerCaseHighNibbleFirstAndNothingWrittenOnRefusal)
{
    const std::uint8_t bytes_in[] = {0x00, 0x09, 0x9f, 0xa0, 0xff, 0x5c};
    char out[13];
    ASSERT_EQ(hex_encode(bytes_in, sizeof bytes_in, out), 0);
    EXPECT_STREQ(out, "00099fa0ff5c");
    char untouched[4] = "xyz";
    EXPECT_EQ(hex_encode(nullptr, 1, untouched), -1);
    EXPECT_EQ(hex_encode(bytes_in, 0, untouched), -1);
    EXPECT_EQ(hex_encode(bytes_in, 1, nullptr), -1);
    EXPECT_STREQ(untouched, "xyz");
}

TEST(HexDecode, PairsOfEitherCaseOnly)
{
    EXPECT_EQ(hex_decode("00112233445566778899aAbBcCdDeEfF"),
              (bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}));
    EXPECT_EQ(hex_decode(""), bytes{});
    for (const char *refused : {"abc", "zz", "0g", " 0", static_cast<const char *>(nullptr)})
        EXPECT_EQ(hex_decode(refused), std::nullopt) << (refused ? refused : "(null)");
}

} // namespace
