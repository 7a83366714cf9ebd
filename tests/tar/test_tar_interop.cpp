// Archives of the layer read by GNU tar and libarchive (bsdtar); archives of
// GNU tar and Python's tarfile read by the layer.
#include "tar_build.h"

#include "support.h"

#include <filesystem>
#include <map>

namespace {

// Names as the controller gives them, and sizes around the record boundary.
const std::map<std::string, bytes> SAMPLE = {
    {"etc/config/dali/dali1.bin", pattern(11168, 1)},   {"etc/config/empty.cfg", {}},
    {"etc/config/one.cfg", pattern(1, 2)},              {"etc/config/record.cfg", pattern(512, 3)},
    {"etc/config/record_and_one.cfg", pattern(513, 4)}, {"status.txt", pattern(211, 5)},
};

// Squeezes runs of blanks (both tools align their columns).
std::string squeezed(const std::string &text)
{
    std::string out;
    for (char c : text)
        if (!(c == ' ' && !out.empty() && out.back() == ' '))
            out.push_back(c);
    return out;
}

} // namespace

TEST(TarInterop, GnuTarAndLibarchiveReadOurArchives)
{
    temp_dir dir;
    std::vector<tar_test_entry> entries;
    for (const auto &[name, data] : SAMPLE)
        entries.push_back({"/" + name, data});
    ASSERT_TRUE(write_file(dir.file("ours.tar"), tar_build(entries)));
    const struct {
        std::string tool, line; // a listing line, NAME and SIZE filled in
    } readers[] = {{"tar", "-rw-rw-r-- 0/0 SIZE 1970-01-01 00:00 /NAME\n"},
                   {"bsdtar", "-rw-rw-r-- 0 0 0 SIZE Jan 1 1970 /NAME\n"}};
    for (const auto &r : readers) {
        SCOPED_TRACE(r.tool);
        std::string expected;
        for (const auto &[name, data] : SAMPLE) {
            std::string line = r.line;
            line.replace(line.find("SIZE"), 4, std::to_string(data.size()));
            expected += line.replace(line.find("NAME"), 4, name);
        }
        const shell_result listing = shell("LC_ALL=C TZ=UTC " + r.tool + " -tvf " + quoted(dir.file("ours.tar")) + " 2>/dev/null");
        EXPECT_EQ(squeezed(listing.out), expected);
        // Extracted, leading slashes dropped.
        const std::string out = dir.file("out-" + r.tool);
        std::filesystem::create_directory(out);
        const shell_result extract = shell(r.tool + " -xf " + quoted(dir.file("ours.tar")) + " -C " + quoted(out));
        ASSERT_EQ(extract.status, 0) << extract.out;
        for (const auto &[name, data] : SAMPLE)
            EXPECT_EQ(read_file(out + "/" + name), data) << name;
    }
}

TEST(TarInterop, ReadsArchivesOfGnuTarAndPython)
{
    temp_dir dir;
    std::string names;
    for (const auto &[name, data] : SAMPLE) {
        std::filesystem::create_directories(std::filesystem::path(dir.file("in/" + name)).parent_path());
        ASSERT_TRUE(write_file(dir.file("in/" + name), data));
        names += " " + name;
    }
    std::filesystem::permissions(dir.file("in/status.txt"), std::filesystem::perms(0640));
    for (const char *format : {"ustar", "gnu", "v7"}) {
        const shell_result made = shell("cd " + quoted(dir.file("in")) + " && touch -d @1700000000 status.txt && tar -cf ../" +
                                        format + ".tar --format=" + format + " --owner=1000 --group=100" + names);
        ASSERT_EQ(made.status, 0) << format << made.out;
    }
    // Python adds the same files with mode 0600 and another time.
    const shell_result made = shell("cd " + quoted(dir.file("in")) + " && python3 -c '\n"
                                    "import sys, tarfile\n"
                                    "for fmt, label in ((tarfile.USTAR_FORMAT, \"ustar\"), (tarfile.GNU_FORMAT, \"gnu\"), (tarfile.PAX_FORMAT, \"pax\")):\n"
                                    "    with tarfile.open(\"../py_\" + label + \".tar\", \"w\", format=fmt) as t:\n"
                                    "        for name in sys.argv[1:]:\n"
                                    "            info = t.gettarinfo(name)\n"
                                    "            info.mode, info.mtime = 0o600, 1234567890\n"
                                    "            with open(name, \"rb\") as f:\n"
                                    "                t.addfile(info, f)\n'" + names);
    ASSERT_EQ(made.status, 0) << made.out;

    const struct {
        const char *file;
        unsigned mode;
        std::uint32_t mtime, owner;
        char type; // old-style archives mark regular files with a NUL type byte
    } archives[] = {{"ustar.tar", 0640, 1700000000, 1000, '0'},   {"gnu.tar", 0640, 1700000000, 1000, '0'},
                    {"v7.tar", 0640, 1700000000, 1000, 0},        {"py_ustar.tar", 0600, 1234567890, 0, '0'},
                    {"py_gnu.tar", 0600, 1234567890, 0, '0'},     {"py_pax.tar", 0600, 1234567890, 0, '0'}};
    for (const auto &a : archives) {
        SCOPED_TRACE(a.file);
        // Walked with the layer, every entry's data read, then each found by name.
        const bytes archive = read_file(dir.file(a.file)).value_or(bytes{});
        tar_t tar;
        tar_header_t header;
        tar_mem_open_read(&tar, archive.data(), static_cast<std::uint32_t>(archive.size()));
        std::map<std::string, bytes> seen;
        int result;
        while ((result = tar_read_header(&tar, &header)) == TAR_OK) {
            bytes data(header.size);
            EXPECT_EQ(tar_read_data(&tar, data.data(), header.size), TAR_OK) << header.name;
            seen[header.name] = data;
            if (std::string(header.name) == "status.txt") {
                EXPECT_EQ(header.mode, a.mode);
                EXPECT_EQ(header.mtime, a.mtime);
                EXPECT_EQ(header.owner, a.owner ? a.owner : header.owner);
                EXPECT_EQ(header.type, a.type);
            }
            EXPECT_EQ(tar_next(&tar), TAR_OK) << header.name;
        }
        EXPECT_EQ(result, TAR_NULL_RECORD);
        EXPECT_EQ(seen, SAMPLE);
        for (const auto &[name, data] : SAMPLE) {
            EXPECT_EQ(tar_find(&tar, name.c_str(), &header), TAR_OK) << name;
            EXPECT_EQ(header.size, data.size()) << name;
        }
    }
}
