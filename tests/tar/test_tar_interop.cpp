// Archives of the layer read by GNU tar and libarchive; archives of GNU tar and
// Python's tarfile read by the layer.
#include "tar_build.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include "files.h"
#include "run.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

bytes pattern(std::size_t length, unsigned seed)
{
    bytes data(length);
    for (std::size_t i = 0; i < length; ++i)
        data[i] = static_cast<std::uint8_t>((i * 131 + seed * 17 + i / 7) & 0xff);
    return data;
}

// The entries every cross-check uses: names as the controller gives them, and
// sizes around the record boundary.
const std::map<std::string, bytes> &sample()
{
    static const std::map<std::string, bytes> entries = {
        {"etc/config/dali/dali1.bin", pattern(11168, 1)},
        {"etc/config/empty.cfg", {}},
        {"etc/config/one.cfg", pattern(1, 2)},
        {"etc/config/record.cfg", pattern(512, 3)},
        {"etc/config/record_and_one.cfg", pattern(513, 4)},
        {"status.txt", pattern(211, 5)},
    };
    return entries;
}

bytes load(const std::string &path) { return read_file(path).value_or(bytes{}); }

void save(const std::string &path, const bytes &data)
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    ASSERT_TRUE(write_file(path, data)) << path;
}

bytes write_sample()
{
    std::vector<tar_test_entry> entries;
    for (const auto &[name, data] : sample())
        entries.push_back({name, data});
    return tar_build(entries);
}

// Walks an archive with the layer and reads every entry's data.
std::map<std::string, bytes> read_with_layer(const bytes &archive, std::map<std::string, tar_header_t> *headers = nullptr)
{
    std::map<std::string, bytes> entries;
    tar_t tar;
    tar_mem_open_read(&tar, archive.data(), static_cast<std::uint32_t>(archive.size()));
    tar_header_t header;
    int result;
    while ((result = tar_read_header(&tar, &header)) == TAR_OK) {
        bytes data(header.size);
        EXPECT_TRUE(tar_entry_held(&tar, header.size)) << header.name;
        EXPECT_EQ(tar_read_data(&tar, data.data(), header.size), TAR_OK) << header.name;
        EXPECT_EQ(tar.remaining_data, 0u);
        entries[header.name] = data;
        if (headers)
            (*headers)[header.name] = header;
        EXPECT_EQ(tar_next(&tar), TAR_OK) << header.name;
    }
    EXPECT_EQ(result, TAR_NULL_RECORD);
    // Every entry can be found by name as well.
    for (const auto &[name, data] : entries) {
        EXPECT_EQ(tar_find(&tar, name.c_str(), &header), TAR_OK) << name;
        EXPECT_EQ(header.size, data.size()) << name;
    }
    return entries;
}

bool have(const char *tool) { return run_program("sh", {"-c", std::string("command -v ") + tool}).status == 0; }

// Each case works in a scratch folder of its own.
class TarInterop : public ::testing::Test {
protected:
    temp_dir dir;
};

} // namespace

TEST_F(TarInterop, GnuTarListsAndExtractsOurArchives)
{
    if (!have("tar"))
        GTEST_SKIP() << "GNU tar not installed";
    save(dir.file("ours.tar"), write_sample());

    run_options utc;
    utc.env = {{"LC_ALL", "C"}, {"TZ", "UTC"}};
    run_result listing = run_program("tar", {"tvf", dir.file("ours.tar")}, utc);
    ASSERT_EQ(listing.status, 0) << listing.err;
    // GNU tar aligns the size column; compare with runs of spaces squeezed.
    std::string squeezed;
    for (char c : listing.out)
        if (!(c == ' ' && !squeezed.empty() && squeezed.back() == ' '))
            squeezed.push_back(c);
    std::string expected;
    for (const auto &[name, data] : sample())
        expected += "-rw-rw-r-- 0/0 " + std::to_string(data.size()) + " 1970-01-01 00:00 " + name + "\n";
    EXPECT_EQ(squeezed, expected);

    std::filesystem::create_directory(dir.file("out"));
    run_result extract = run_program("tar", {"xf", dir.file("ours.tar"), "-C", dir.file("out")});
    ASSERT_EQ(extract.status, 0) << extract.err;
    for (const auto &[name, data] : sample())
        EXPECT_EQ(load(dir.file("out/" + name)), data) << name;

    // Leading slashes, as in the controller's own paths.
    bytes config = pattern(700, 9);
    save(dir.file("slash.tar"), tar_build({{"/etc/config/dali/dali2.bin", config}}));
    std::filesystem::create_directory(dir.file("slash"));
    extract = run_program("tar", {"xf", dir.file("slash.tar"), "-C", dir.file("slash")});
    ASSERT_EQ(extract.status, 0) << extract.err;
    EXPECT_EQ(load(dir.file("slash/etc/config/dali/dali2.bin")), config);
}

TEST_F(TarInterop, LibarchiveReadsOurArchives)
{
    bytes archive = write_sample();
    struct archive *reader = archive_read_new();
    ASSERT_NE(reader, nullptr);
    archive_read_support_format_tar(reader);
    ASSERT_EQ(archive_read_open_memory(reader, archive.data(), archive.size()), ARCHIVE_OK);
    std::map<std::string, bytes> seen;
    struct archive_entry *entry;
    int status;
    while ((status = archive_read_next_header(reader, &entry)) == ARCHIVE_OK) {
        std::string name = archive_entry_pathname(entry);
        EXPECT_EQ(archive_entry_mode(entry) & 07777, 0664u) << name;
        EXPECT_TRUE(archive_entry_filetype(entry) == AE_IFREG) << name;
        EXPECT_EQ(archive_entry_mtime(entry), 0) << name;
        EXPECT_EQ(archive_entry_uid(entry), 0) << name;
        bytes data(static_cast<std::size_t>(archive_entry_size(entry)));
        if (!data.empty()) {
            EXPECT_EQ(archive_read_data(reader, data.data(), data.size()), static_cast<la_ssize_t>(data.size())) << name;
        }
        seen[name] = data;
    }
    EXPECT_EQ(status, ARCHIVE_EOF) << archive_error_string(reader);
    EXPECT_EQ(archive_read_free(reader), ARCHIVE_OK);
    EXPECT_EQ(seen, sample());
}

TEST_F(TarInterop, ReadsGnuTarArchives)
{
    if (!have("tar"))
        GTEST_SKIP() << "GNU tar not installed";
    std::vector<std::string> names;
    for (const auto &[name, data] : sample()) {
        save(dir.file("in/" + name), data);
        names.push_back(name);
    }
    std::filesystem::permissions(dir.file("in/status.txt"), std::filesystem::perms(0640));
    ASSERT_EQ(run_program("touch", {"-d", "@1700000000", dir.file("in/status.txt")}).status, 0);
    run_options inside;
    inside.cwd = dir.file("in");
    for (const char *format : {"ustar", "gnu", "v7"}) {
        std::string out = dir.file(std::string(format) + ".tar");
        std::vector<std::string> args = {"cf", out, std::string("--format=") + format, "--owner=1000", "--group=100"};
        args.insert(args.end(), names.begin(), names.end());
        run_result made = run_program("tar", args, inside);
        ASSERT_EQ(made.status, 0) << format << made.err;
        std::map<std::string, tar_header_t> headers;
        EXPECT_EQ(read_with_layer(load(out), &headers), sample()) << format;
        EXPECT_EQ(headers["status.txt"].mode, 0640u) << format;
        EXPECT_EQ(headers["status.txt"].mtime, 1700000000u) << format;
        EXPECT_EQ(headers["status.txt"].owner, 1000u) << format;
        // Old-style archives mark regular files with a NUL type byte.
        EXPECT_EQ(headers["status.txt"].type, std::strcmp(format, "v7") == 0 ? 0 : '0') << format;
    }
}

TEST_F(TarInterop, ReadsPythonTarfileArchives)
{
    if (!have("python3"))
        GTEST_SKIP() << "python3 not installed";
    // The sample's files on disk; the script adds them under their names.
    for (const auto &[name, data] : sample())
        save(dir.file("in/" + name), data);
    const char *script = "import sys, os, tarfile\n"
                         "src, dst = sys.argv[1], sys.argv[2]\n"
                         "names = sorted(os.path.relpath(os.path.join(r, f), src) for r, _, fs in os.walk(src) for f in fs)\n"
                         "for fmt, label in ((tarfile.USTAR_FORMAT, 'ustar'), (tarfile.GNU_FORMAT, 'gnu'), (tarfile.PAX_FORMAT, 'pax')):\n"
                         "    with tarfile.open(os.path.join(dst, 'py_' + label + '.tar'), 'w', format=fmt) as t:\n"
                         "        for name in names:\n"
                         "            info = t.gettarinfo(os.path.join(src, name), arcname=name)\n"
                         "            info.mode, info.mtime = 0o600, 1234567890\n"
                         "            with open(os.path.join(src, name), 'rb') as f:\n"
                         "                t.addfile(info, f)\n";
    run_result made = run_program("python3", {"-c", script, dir.file("in"), dir.path()});
    ASSERT_EQ(made.status, 0) << made.err;
    for (const char *label : {"ustar", "gnu", "pax"}) {
        std::map<std::string, tar_header_t> headers;
        EXPECT_EQ(read_with_layer(load(dir.file("py_" + std::string(label) + ".tar")), &headers), sample()) << label;
        EXPECT_EQ(headers["etc/config/one.cfg"].mode, 0600u) << label;
        EXPECT_EQ(headers["etc/config/one.cfg"].mtime, 1234567890u) << label;
    }
}

TEST_F(TarInterop, PythonTarfileReadsOurArchives)
{
    if (!have("python3"))
        GTEST_SKIP() << "python3 not installed";
    save(dir.file("ours.tar"), write_sample());
    const char *script = "import sys, tarfile\n"
                         "with tarfile.open(sys.argv[1]) as t:\n"
                         "    for m in t.getmembers():\n"
                         "        print(m.name, m.size, oct(m.mode), m.isreg(), t.extractfile(m).read().hex())\n";
    run_result listing = run_program("python3", {"-c", script, dir.file("ours.tar")});
    ASSERT_EQ(listing.status, 0) << listing.err;
    std::string expected;
    for (const auto &[name, data] : sample()) {
        std::string hex;
        char pair[3];
        for (std::uint8_t byte : data) {
            std::snprintf(pair, sizeof pair, "%02x", byte);
            hex += pair;
        }
        expected += name + " " + std::to_string(data.size()) + " 0o664 True " + hex + "\n";
    }
    EXPECT_EQ(listing.out, expected);
}
