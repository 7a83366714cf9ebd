// Archives of the layer read by GNU tar and libarchive; archives of GNU tar and
// Python's tarfile read by the layer.
#include "tar_build.h"

#include "expect.h"
#include "files.h"
#include "run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

// Names as the controller gives them, and sizes around the record boundary.
const std::map<std::string, bytes> &sample()
{
    static const std::map<std::string, bytes> entries = {
        {"etc/config/dali/dali1.bin", pattern(11168, 1)}, {"etc/config/empty.cfg", {}},
        {"etc/config/one.cfg", pattern(1, 2)},            {"etc/config/record.cfg", pattern(512, 3)},
        {"etc/config/record_and_one.cfg", pattern(513, 4)}, {"status.txt", pattern(211, 5)},
    };
    return entries;
}

bytes write_sample(const std::string &prefix = "")
{
    std::vector<tar_test_entry> entries;
    for (const auto &[name, data] : sample())
        entries.push_back({prefix + name, data});
    return tar_build(entries);
}

// Walks an archive with the layer, reading every entry's data, then finds
// each entry by name.
std::map<std::string, tar_header_t> read_with_layer(const bytes &archive, std::map<std::string, bytes> &entries)
{
    std::map<std::string, tar_header_t> headers;
    tar_t tar;
    tar_mem_open_read(&tar, archive.data(), static_cast<std::uint32_t>(archive.size()));
    tar_header_t header;
    int result;
    while ((result = tar_read_header(&tar, &header)) == TAR_OK) {
        bytes data(header.size);
        EXPECT_EQ(tar_read_data(&tar, data.data(), header.size), TAR_OK) << header.name;
        entries[header.name] = data;
        headers[header.name] = header;
        EXPECT_EQ(tar_next(&tar), TAR_OK) << header.name;
    }
    EXPECT_EQ(result, TAR_NULL_RECORD);
    for (const auto &[name, data] : entries) {
        EXPECT_EQ(tar_find(&tar, name.c_str(), &header), TAR_OK) << name;
        EXPECT_EQ(header.size, data.size()) << name;
    }
    return headers;
}

} // namespace

TEST(TarInterop, GnuTarAndLibarchiveReadOurArchives)
{
    temp_dir dir;
    ASSERT_TRUE(write_file(dir.file("ours.tar"), write_sample("/")));
    // GNU tar aligns the size column: compare with runs of spaces squeezed.
    const run_result listing = run_program("tar", {"tvf", dir.file("ours.tar")}, run_options().set_env("LC_ALL", "C").set_env("TZ", "UTC"));
    ASSERT_EQ(listing.status, 0) << listing.err;
    std::string squeezed, expected;
    for (char c : listing.out)
        if (!(c == ' ' && !squeezed.empty() && squeezed.back() == ' '))
            squeezed.push_back(c);
    for (const auto &[name, data] : sample())
        expected += "-rw-rw-r-- 0/0 " + std::to_string(data.size()) + " 1970-01-01 00:00 /" + name + "\n";
    EXPECT_EQ(squeezed, expected);
    // Extracted, leading slashes dropped as GNU tar does.
    std::filesystem::create_directory(dir.file("out"));
    const run_result extract = run_program("tar", {"xf", dir.file("ours.tar"), "-C", dir.file("out")});
    ASSERT_EQ(extract.status, 0) << extract.err;
    for (const auto &[name, data] : sample())
        EXPECT_EQ(read_file(dir.file("out/" + name)), data) << name;

    std::map<std::string, bytes> seen;
    for (const tar_member &m : tar_members(write_sample())) {
        EXPECT_EQ(m.mode, 0664u) << m.name;
        EXPECT_TRUE(m.regular) << m.name;
        EXPECT_EQ(m.mtime, 0) << m.name;
        EXPECT_EQ(m.uid, 0) << m.name;
        seen[m.name] = m.data;
    }
    EXPECT_EQ(seen, sample());
}

TEST(TarInterop, ReadsArchivesOfGnuTarAndPython)
{
    temp_dir dir;
    std::vector<std::string> names;
    for (const auto &[name, data] : sample()) {
        std::filesystem::create_directories(std::filesystem::path(dir.file("in/" + name)).parent_path());
        ASSERT_TRUE(write_file(dir.file("in/" + name), data));
        names.push_back(name);
    }
    std::filesystem::permissions(dir.file("in/status.txt"), std::filesystem::perms(0640));
    ASSERT_EQ(run_program("touch", {"-d", "@1700000000", dir.file("in/status.txt")}).status, 0);
    for (const char *format : {"ustar", "gnu", "v7"}) {
        std::vector<std::string> args = {"cf", dir.file(std::string(format) + ".tar"), std::string("--format=") + format,
                                         "--owner=1000", "--group=100"};
        args.insert(args.end(), names.begin(), names.end());
        const run_result made = run_program("tar", args, run_options().in(dir.file("in")));
        ASSERT_EQ(made.status, 0) << format << made.err;
    }
    // Python adds the same files with mode 0600 and another time.
    const char *script = "import sys, os, tarfile\n"
                         "src, dst = sys.argv[1], sys.argv[2]\n"
                         "for fmt, label in ((tarfile.USTAR_FORMAT, 'ustar'), (tarfile.GNU_FORMAT, 'gnu'), (tarfile.PAX_FORMAT, 'pax')):\n"
                         "    with tarfile.open(os.path.join(dst, 'py_' + label + '.tar'), 'w', format=fmt) as t:\n"
                         "        for name in sys.argv[3:]:\n"
                         "            info = t.gettarinfo(os.path.join(src, name), arcname=name)\n"
                         "            info.mode, info.mtime = 0o600, 1234567890\n"
                         "            with open(os.path.join(src, name), 'rb') as f:\n"
                         "                t.addfile(info, f)\n";
    std::vector<std::string> args = {"-c", script, dir.file("in"), dir.path()};
    args.insert(args.end(), names.begin(), names.end());
    const run_result made = run_program("python3", args);
    ASSERT_EQ(made.status, 0) << made.err;

    const struct {
        const char *file;
        unsigned mode;
        std::uint32_t mtime;
        std::uint32_t owner;
        char type;
    } archives[] = {{"ustar.tar", 0640, 1700000000, 1000, '0'}, {"gnu.tar", 0640, 1700000000, 1000, '0'},
                    // Old-style archives mark regular files with a NUL type byte.
                    {"v7.tar", 0640, 1700000000, 1000, 0},      {"py_ustar.tar", 0600, 1234567890, 0, '0'},
                    {"py_gnu.tar", 0600, 1234567890, 0, '0'},   {"py_pax.tar", 0600, 1234567890, 0, '0'}};
    for (const auto &a : archives) {
        SCOPED_TRACE(a.file);
        std::map<std::string, bytes> entries;
        const auto headers = read_with_layer(read_file(dir.file(a.file)).value_or(bytes{}), entries);
        EXPECT_EQ(entries, sample());
        const tar_header_t &status = headers.at("status.txt");
        EXPECT_EQ(status.mode, a.mode);
        EXPECT_EQ(status.mtime, a.mtime);
        if (a.owner) {
            EXPECT_EQ(status.owner, a.owner);
        }
        EXPECT_EQ(status.type, a.type);
    }
}
