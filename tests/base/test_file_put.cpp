// Files written whole or not at all: by file_put, and by a writer of their
// own under the name file_stage reserves, put in place by file_place.
#include "base/file_put.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

struct scratch_folder {
    fs::path path;
    scratch_folder()
    {
        std::string name = (fs::temp_directory_path() / "mervo-file-put-XXXXXX").string();
        path = mkdtemp(name.data());
    }
    ~scratch_folder() { fs::remove_all(path); }
    std::size_t entries() const { return static_cast<std::size_t>(std::distance(fs::directory_iterator(path), {})); }
};

std::string content(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write(const fs::path &file, const std::string &text) { std::ofstream(file, std::ios::binary) << text; }

} // namespace

TEST(FilePut, StagedFilesArePutInPlaceOrLeftOut)
{
    const struct {
        file_put_mode mode;
        bool existing;
        int result;
        const char *after;
    } cases[] = {
        {file_put_mode::keep_existing, false, 0, "new"},
        {file_put_mode::keep_existing, true, EEXIST, "old"},
        {file_put_mode::replace, false, 0, "new"},
        {file_put_mode::replace, true, 0, "new"},
    };
    for (const auto &c : cases) {
        scratch_folder folder;
        const fs::path target = folder.path / "channel.xlsx";
        if (c.existing)
            write(target, "old");
        std::string temp;
        ASSERT_EQ(file_stage(target.string(), temp), 0);
        EXPECT_EQ(fs::path(temp).parent_path(), folder.path);
        EXPECT_EQ(fs::file_size(temp), 0u);
        // The writer opens the name itself and fills it.
        write(temp, "new");
        EXPECT_EQ(file_size(temp), 3u);
        EXPECT_EQ(file_place(temp, target.string(), c.mode), c.result);
        EXPECT_EQ(content(target), c.after);
        EXPECT_EQ(folder.entries(), 1u) << "the temporary name is gone";
    }
    // A staged file that is given up leaves nothing; a file that is not there has no size.
    scratch_folder folder;
    std::string temp;
    ASSERT_EQ(file_stage((folder.path / "x.xlsx").string(), temp), 0);
    file_discard(temp);
    EXPECT_EQ(folder.entries(), 0u);
    EXPECT_EQ(file_size(temp), 0u);
    // A folder that is not there: the errno of the step that failed.
    EXPECT_EQ(file_stage((folder.path / "missing" / "x.xlsx").string(), temp), ENOENT);
}

TEST(FilePut, StagedFileHasTheModeOfAFileMadeWithFopen)
{
    scratch_folder folder;
    const mode_t mask = umask(022);
    std::string temp;
    ASSERT_EQ(file_stage((folder.path / "x.xlsx").string(), temp), 0);
    struct stat status {};
    ASSERT_EQ(stat(temp.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
    file_discard(temp);
    umask(mask);
}
