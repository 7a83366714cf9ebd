// Archives of the layer read by GNU tar and libarchive; archives of GNU tar and
// Python's tarfile read by the layer.
#include "tar_build.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>
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

class scratch_dir {
public:
    scratch_dir()
    {
        std::string base = std::string(::testing::TempDir()) + "mervo_tar_XXXXXX";
        path_.assign(base.begin(), base.end());
        path_.push_back('\0');
        if (!mkdtemp(path_.data()))
            path_.clear();
    }
    ~scratch_dir()
    {
        if (!path_.empty())
            run("rm -rf '" + path() + "'");
    }
    std::string path() const { return path_.data(); }
    std::string operator/(const std::string &leaf) const { return path() + "/" + leaf; }
    static int run(const std::string &command) { return std::system(command.c_str()); }

private:
    std::vector<char> path_;
};

bytes load(const std::string &path)
{
    bytes data;
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        return data;
    std::uint8_t chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        data.insert(data.end(), chunk, chunk + got);
    std::fclose(file);
    return data;
}

void save(const std::string &path, const bytes &data)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), file), data.size());
    std::fclose(file);
}

std::string capture(const std::string &command)
{
    std::string output;
    std::FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return output;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0)
        output.append(chunk, got);
    pclose(pipe);
    return output;
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

bool have(const char *tool) { return scratch_dir::run(std::string("command -v ") + tool + " >/dev/null 2>&1") == 0; }

// Each case works in a scratch folder of its own.
class TarInterop : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.path().empty()); }
    scratch_dir dir;
};

} // namespace

TEST_F(TarInterop, GnuTarListsAndExtractsOurArchives)
{
    if (!have("tar"))
        GTEST_SKIP() << "GNU tar not installed";
    save(dir / "ours.tar", write_sample());

    std::string listing = capture("cd '" + dir.path() + "' && LC_ALL=C TZ=UTC tar tvf ours.tar 2>&1");
    for (const auto &[name, data] : sample()) {
        char line[256];
        std::snprintf(line, sizeof line, "-rw-rw-r-- 0/0 %zu 1970-01-01 00:00 %s\n", data.size(), name.c_str());
        // GNU tar aligns the size column; compare with runs of spaces squeezed.
        std::string squeezed;
        for (char c : listing)
            if (!(c == ' ' && !squeezed.empty() && squeezed.back() == ' '))
                squeezed.push_back(c);
        EXPECT_NE(squeezed.find(line), std::string::npos) << line << "in:\n" << listing;
    }

    ASSERT_EQ(scratch_dir::run("mkdir '" + (dir / "out") + "' && tar xf '" + (dir / "ours.tar") + "' -C '" + (dir / "out") + "'"), 0);
    for (const auto &[name, data] : sample())
        EXPECT_EQ(load(dir / ("out/" + name)), data) << name;

    // Leading slashes, as in the controller's own paths.
    tar_t tar;
    tar_mem_open_write(&tar);
    bytes config = pattern(700, 9);
    tar_write_file_header(&tar, "/etc/config/dali/dali2.bin", 700);
    tar_write_data(&tar, config.data(), 700);
    tar_finalize(&tar);
    save(dir / "slash.tar", tar_mem_take(&tar));
    ASSERT_EQ(scratch_dir::run("mkdir '" + (dir / "slash") + "' && tar xf '" + (dir / "slash.tar") + "' -C '" + (dir / "slash") + "' 2>/dev/null"), 0);
    EXPECT_EQ(load(dir / "slash/etc/config/dali/dali2.bin"), config);
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
    while (archive_read_next_header(reader, &entry) == ARCHIVE_OK) {
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
    EXPECT_EQ(archive_read_free(reader), ARCHIVE_OK);
    EXPECT_EQ(seen, sample());
}

TEST_F(TarInterop, ReadsGnuTarArchives)
{
    if (!have("tar"))
        GTEST_SKIP() << "GNU tar not installed";
    std::string files;
    for (const auto &[name, data] : sample()) {
        std::string path = dir / ("in/" + name);
        ASSERT_EQ(scratch_dir::run("mkdir -p \"$(dirname '" + path + "')\""), 0);
        save(path, data);
        files += " '" + name + "'";
    }
    ASSERT_EQ(scratch_dir::run("chmod 640 '" + (dir / "in/status.txt") + "' && touch -d @1700000000 '" + (dir / "in/status.txt") + "'"), 0);
    for (const char *format : {"ustar", "gnu", "v7"}) {
        std::string out = dir / (std::string(format) + ".tar");
        ASSERT_EQ(scratch_dir::run("cd '" + (dir / "in") + "' && tar cf '" + out + "' --format=" + format + " --owner=1000 --group=100" + files), 0) << format;
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
    for (const auto &[name, data] : sample())
        save(dir / ("blob_" + std::to_string(data.size())), data);
    // The script names each entry after its blob, so its contents can be compared here.
    std::string script =
        "import sys, tarfile, io\n"
        "d = sys.argv[1]\n"
        "names = {" +
        [] {
            std::string list;
            for (const auto &[name, data] : sample())
                list += "'" + name + "': " + std::to_string(data.size()) + ", ";
            return list;
        }() +
        "}\n"
        "for fmt, label in ((tarfile.USTAR_FORMAT, 'ustar'), (tarfile.GNU_FORMAT, 'gnu'), (tarfile.PAX_FORMAT, 'pax')):\n"
        "    with tarfile.open(d + '/py_' + label + '.tar', 'w', format=fmt) as t:\n"
        "        for name, size in sorted(names.items()):\n"
        "            info = tarfile.TarInfo(name)\n"
        "            info.size = size\n"
        "            info.mode = 0o600\n"
        "            info.mtime = 1234567890\n"
        "            with open(d + '/blob_' + str(size), 'rb') as f:\n"
        "                t.addfile(info, io.BytesIO(f.read()))\n";
    save(dir / "make.py", bytes(script.begin(), script.end()));
    ASSERT_EQ(scratch_dir::run("python3 '" + (dir / "make.py") + "' '" + dir.path() + "'"), 0);
    for (const char *label : {"ustar", "gnu", "pax"}) {
        std::map<std::string, tar_header_t> headers;
        EXPECT_EQ(read_with_layer(load(dir / ("py_" + std::string(label) + ".tar")), &headers), sample()) << label;
        EXPECT_EQ(headers["etc/config/one.cfg"].mode, 0600u) << label;
        EXPECT_EQ(headers["etc/config/one.cfg"].mtime, 1234567890u) << label;
    }
}

TEST_F(TarInterop, PythonTarfileReadsOurArchives)
{
    if (!have("python3"))
        GTEST_SKIP() << "python3 not installed";
    save(dir / "ours.tar", write_sample());
    std::string listing = capture(
        "python3 -c \"import sys, tarfile, hashlib\n"
        "with tarfile.open(sys.argv[1]) as t:\n"
        "    for m in t.getmembers():\n"
        "        print(m.name, m.size, oct(m.mode), m.isreg(), len(t.extractfile(m).read()))\" '" +
        (dir / "ours.tar") + "' 2>&1");
    std::string expected;
    for (const auto &[name, data] : sample())
        expected += name + " " + std::to_string(data.size()) + " 0o664 True " + std::to_string(data.size()) + "\n";
    EXPECT_EQ(listing, expected);
}
