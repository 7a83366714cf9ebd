// Paths taken apart as the files of a run are named and made.
#include "base/system.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Path, FileNameAndFolder)
{
    struct row {
        const char *path;
        const char *name;
        const char *folder;
    };
    const row rows[] = {
        {"backup.zip", "backup.zip", "."},
        {"out/backup.zip", "backup.zip", "out"},
        {"/a/b/hall.csv", "hall.csv", "/a/b"},
        {"/hall.csv", "hall.csv", "/"},
        {"out/", "", "out"},
        {"backup_10.0.0.7:8080_VESTRA_20261207_101502.zip", "backup_10.0.0.7:8080_VESTRA_20261207_101502.zip", "."},
    };
    for (const row &r : rows) {
        EXPECT_EQ(file_name_of(r.path), r.name) << r.path;
        EXPECT_EQ(folder_of(r.path), r.folder) << r.path;
    }
}

} // namespace
