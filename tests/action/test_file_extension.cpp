#include "action/push_firmware.h"

#include <gtest/gtest.h>

namespace {

// The reader is chosen by what follows the path's last '.', wherever it is.
TEST(FileExtension, TextAfterTheLastDot)
{
    const struct {
        const char *path;
        const char *extension;
    } names[] = {{"fw.bin", "bin"},       {"dir/fw.binary", "binary"},     {"fw.BIN", "BIN"},
                 {"fw.bin.old", "old"},   {"firmware", ""},                {".bin", ""},
                 {"fw.", ""},             {"v1.2/firmware", "2/firmware"}, {"", ""}};
    for (const auto &n : names)
        EXPECT_EQ(file_extension(n.path), n.extension) << n.path;
    EXPECT_EQ(file_extension(nullptr), "");
}

} // namespace
