// The table of files an interrupted run removes.
#include "base/cleanup.h"

#include <gtest/gtest.h>

#include <limits.h>

#include <string>

TEST(CleanupTable, TakesPathsThatFitAndEightAtMost)
{
    // A path the table cannot hold whole is refused, not cut.
    EXPECT_FALSE(cleanup_add(""));
    EXPECT_FALSE(cleanup_add(std::string(PATH_MAX, 'x')));
    std::string paths[9];
    for (int i = 0; i < 9; ++i) {
        paths[i] = "/tmp/guarded-" + std::to_string(i);
        EXPECT_EQ(cleanup_add(paths[i]), i < 8) << i;
    }
    cleanup_forget(paths[0]);
    EXPECT_TRUE(cleanup_add(paths[8]));
    for (const std::string &path : paths)
        cleanup_forget(path);
}
