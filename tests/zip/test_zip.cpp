// The zip layer against independent readers and writers: unzip, 7-Zip and
// Python's zipfile check every archive written here, and archives made by zip,
// 7-Zip and Python are read back through the layer.
#include "zip/zip_layer.h"

#include "support.h"

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <random>

namespace fs = std::filesystem;
using namespace mzip;

namespace {

// Compressible text with some noise, or plain noise.
bytes sample(std::size_t size, unsigned seed, bool noise_only = false)
{
    std::mt19937 random(seed);
    bytes out(size);
    for (std::size_t i = 0; i < size; ++i)
        out[i] = noise_only || random() % 8 == 0 ? static_cast<std::uint8_t>(random())
                                                 : static_cast<std::uint8_t>("dali channel "[i % 13]);
    return out;
}

struct entry {
    std::string name;
    bytes content;
    bool operator==(const entry &) const = default;
};
using entries = std::vector<entry>;

// Writes the entries, each in pieces of growing sizes.
void write_archive(const std::string &path, int level, const entries &list)
{
    zip_handle_t *zip = zip_open(path.c_str(), level, 'w');
    ASSERT_NE(zip, nullptr);
    for (const entry &e : list) {
        ASSERT_EQ(zip_entry_open(zip, e.name.c_str()), 0) << e.name;
        for (std::size_t done = 0, piece = 1; done < e.content.size(); piece = piece * 7 + 3) {
            const std::size_t n = std::min(piece, e.content.size() - done);
            ASSERT_EQ(zip_entry_write(zip, e.content.data() + done, n), 0);
            done += n;
        }
        ASSERT_EQ(zip_entry_close(zip), 0) << e.name;
    }
    ASSERT_EQ(zip_close(zip), 0);
}

// Every entry read back through the layer, in archive order; a directory
// comes back as "NAME (directory)" with no content and result -1.
entries read_archive(const std::string &path)
{
    entries list;
    zip_handle_ptr zip(zip_open(path.c_str(), 0, 'r'));
    EXPECT_NE(zip, nullptr) << path;
    for (std::int64_t i = 0; zip && i < zip_entry_count(zip.get()); ++i) {
        EXPECT_EQ(zip_entry_open_at(zip.get(), i), 0);
        entry e{zip_entry_name(zip.get()), {}};
        std::size_t size = 12345;
        const std::int64_t result = zip_entry_read(zip.get(), &e.content, &size);
        if (zip_entry_is_directory(zip.get()) == 1) {
            e.name += " (directory)";
            EXPECT_TRUE(result == -1 && e.content.empty() && size == 12345) << e.name;
        } else {
            EXPECT_TRUE(result == static_cast<std::int64_t>(e.content.size()) && size == e.content.size()) << e.name;
        }
        EXPECT_EQ(zip_entry_close(zip.get()), 0);
        list.push_back(std::move(e));
    }
    return list;
}

// unzip and 7-Zip test the archive; Python's zipfile (comparing each local
// header with its central directory record and checking every CRC-32) lists
// it: "name method flag-bits" per entry, and whether its time stamp (local
// time) is within five minutes of now and its content equals `list`'s.
void expect_sound(const std::string &path, const entries &list, const std::string &listing)
{
    EXPECT_EQ(shell("unzip -tq " + quoted(path)).status, 0) << path;
    EXPECT_EQ(shell("7zz t " + quoted(path) + " | grep -c 'Everything is Ok'").out, "1\n") << path;
    temp_dir dir;
    for (std::size_t i = 0; i < list.size(); ++i)
        ASSERT_TRUE(write_file(dir.file(std::to_string(i)), list[i].content));
    const shell_result python = shell("python3 -c '\n"
                                      "import sys, time, zipfile\n"
                                      "for i, info in enumerate(zipfile.ZipFile(sys.argv[1]).infolist()):\n"
                                      "    age = abs(time.time() - time.mktime(info.date_time + (0, 0, -1)))\n"
                                      "    same = zipfile.ZipFile(sys.argv[1]).read(info) == open(\"%s/%d\" % (sys.argv[2], i), \"rb\").read()\n"
                                      "    print(info.filename, info.compress_type, info.flag_bits & ~6, age < 300 and same)\n' " +
                                      quoted(path) + " " + quoted(dir.path()));
    EXPECT_EQ(python.out, listing) << path;
}

std::vector<std::string> files_in(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(Zip, RoundTripsAtEveryLevel)
{
    temp_dir dir;
    const entries list = {{"systemconfig.tar", sample(10240, 1)}, {"empty.tar", {}},
                          {"one", {0x42}},                       {"noise.bin", sample(65536 + 17, 2, true)},
                          {"big.tar", sample(1024 * 1024, 3)},   {"dali1.tar", sample(30720, 4)}};
    for (int level : {0, 1, 6, 10, -1}) {
        SCOPED_TRACE("level " + std::to_string(level));
        const std::string path = dir.file("level" + std::to_string(level) + ".zip");
        write_archive(path, level, list);
        EXPECT_EQ(read_archive(path), list);
        // Only the deflate option bits (1 and 2): no encryption, no data descriptor.
        std::string listing;
        for (const entry &e : list)
            listing += e.name + (level == 0 ? " 0 0 True\n" : " 8 0 True\n");
        expect_sound(path, list, listing);
    }
    // Stored data is as large as it is; deflate shrinks the text, more so at
    // the strongest level.
    const auto size = [&](int level) { return fs::file_size(dir.file("level" + std::to_string(level) + ".zip")); };
    EXPECT_GT(size(0), 1024u * 1024 + 65536 + 10240 + 30720);
    EXPECT_LT(size(1), size(0));
    EXPECT_LE(size(6), size(1));
    EXPECT_LE(size(10), size(6));
}

TEST(Zip, NamesAndWrites)
{
    temp_dir dir;
    const std::string path = dir.file("names.zip");
    zip_handle_ptr zip(zip_open(path.c_str(), 6, 'w'));
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(zip_entry_write(zip.get(), "x", 1), -1) << "no entry open";
    EXPECT_EQ(zip_entry_close(zip.get()), -1);
    // '\\' is stored as '/'; writes of nothing do nothing; one entry at a time.
    ASSERT_EQ(zip_entry_open(zip.get(), "backup\\2021\\dali1.tar"), 0);
    EXPECT_STREQ(zip_entry_name(zip.get()), "backup/2021/dali1.tar");
    EXPECT_EQ(zip_entry_is_directory(zip.get()), 0);
    for (const char *piece : {"abc", static_cast<const char *>(nullptr), "", "def"})
        EXPECT_EQ(zip_entry_write(zip.get(), piece, piece ? std::strlen(piece) : 5), 0);
    EXPECT_EQ(zip_entry_open(zip.get(), "other"), -1);
    ASSERT_EQ(zip_entry_close(zip.get()), 0);
    EXPECT_EQ(zip_entry_name(zip.get()), nullptr);
    ASSERT_EQ(zip_entry_open(zip.get(), "nothing"), 0);
    ASSERT_EQ(zip_entry_close(zip.get()), 0);
    // A second entry of the same name cannot join; an entry never closed is
    // left out; the archive stays sound.
    ASSERT_EQ(zip_entry_open(zip.get(), "nothing"), 0);
    EXPECT_EQ(zip_entry_write(zip.get(), "again", 5), 0);
    EXPECT_EQ(zip_entry_close(zip.get()), -1);
    ASSERT_EQ(zip_entry_open(zip.get(), "never closed"), 0);
    EXPECT_EQ(zip_entry_count(zip.get()), 2);
    ASSERT_EQ(zip_close(zip.release()), 0);
    const entries list = {{"backup/2021/dali1.tar", text_bytes("abcdef")}, {"nothing", {}}};
    EXPECT_EQ(read_archive(path), list);
    expect_sound(path, list, "backup/2021/dali1.tar 8 0 True\nnothing 8 0 True\n");

    // Lookups take either separator, and are exact and case-sensitive; a miss
    // leaves no entry open.
    zip.reset(zip_open(path.c_str(), 0, 'r'));
    bytes content;
    ASSERT_EQ(zip_entry_open(zip.get(), "backup\\2021\\dali1.tar"), 0);
    EXPECT_STREQ(zip_entry_name(zip.get()), "backup/2021/dali1.tar");
    EXPECT_EQ(zip_entry_read(zip.get(), &content, nullptr), 6);
    for (const char *miss : {"BACKUP/2021/dali1.tar", "dali1.tar", ""}) {
        EXPECT_EQ(zip_entry_open(zip.get(), miss), -1) << miss;
        EXPECT_EQ(zip_entry_name(zip.get()), nullptr);
        EXPECT_EQ(zip_entry_read(zip.get(), &content, nullptr), -1);
        EXPECT_TRUE(content.empty());
    }
    for (std::int64_t index : {-1, 2, 1000})
        EXPECT_EQ(zip_entry_open_at(zip.get(), index), -1) << index;
    ASSERT_EQ(zip_entry_open_at(zip.get(), 1), 0);
    EXPECT_STREQ(zip_entry_name(zip.get()), "nothing");
    EXPECT_EQ(zip_entry_write(zip.get(), "a", 1), -1) << "a reader is not written";
    EXPECT_EQ(zip_entry_open(zip.get(), nullptr), -1);
    EXPECT_EQ(zip_entry_read(zip.get(), nullptr, nullptr), -1);
    EXPECT_EQ(zip_close(zip.release()), 0) << "a reader closes without writing";
}

TEST(Zip, RefusedLevelsModesAndFiles)
{
    temp_dir dir;
    const std::string path = dir.file("a.zip");
    for (const char mode : {'x', 'W'})
        EXPECT_EQ(zip_open(path.c_str(), 6, mode), nullptr) << mode;
    EXPECT_EQ(zip_open(nullptr, 6, 'w'), nullptr);
    EXPECT_EQ(zip_open("", 6, 'w'), nullptr);
    for (int level : {11, 15, 0x1B, 0x10F}) {
        EXPECT_EQ(zip_open(path.c_str(), level, 'w'), nullptr) << level;
        EXPECT_EQ(zip_open(path.c_str(), level, 'r'), nullptr) << level;
    }
    EXPECT_FALSE(fs::exists(path));
    // A refused level leaves an existing file as it was.
    ASSERT_TRUE(write_file(path, std::string("keep me")));
    EXPECT_EQ(zip_open(path.c_str(), 11, 'w'), nullptr);

    // Files that are no zip archive, or are missing, do not open for reading
    // or appending; no file is made in a missing folder or over one.
    ASSERT_TRUE(write_file(dir.file("zero"), std::string()));
    for (const std::string &file : {path, dir.file("zero"), dir.file("none.zip")}) {
        EXPECT_EQ(zip_open(file.c_str(), 0, 'r'), nullptr) << file;
        EXPECT_EQ(zip_open(file.c_str(), 0, 'a'), nullptr) << file;
    }
    EXPECT_EQ(zip_open(dir.file("missing/b.zip").c_str(), 6, 'w'), nullptr);
    EXPECT_EQ(zip_open(dir.path().c_str(), 6, 'w'), nullptr);
    EXPECT_EQ(files_in(dir.path()), (std::vector<std::string>{"a.zip", "zero"}));
    EXPECT_EQ(read_file(path), text_bytes("keep me"));

    // Null handles.
    bytes buffer{1, 2, 3};
    std::size_t size = 99;
    EXPECT_EQ(zip_close(nullptr), 0);
    EXPECT_EQ(zip_entry_open(nullptr, "a"), -1);
    EXPECT_EQ(zip_entry_open_at(nullptr, 0), -1);
    EXPECT_EQ(zip_entry_name(nullptr), nullptr);
    EXPECT_EQ(zip_entry_is_directory(nullptr), -1);
    EXPECT_EQ(zip_entry_write(nullptr, "a", 1), -1);
    EXPECT_EQ(zip_entry_read(nullptr, &buffer, &size), -1);
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(size, 99u);
    EXPECT_EQ(zip_entry_close(nullptr), -1);
    EXPECT_EQ(zip_entry_count(nullptr), -1);

    // An archive being written has no entries to open by index or read.
    zip_handle_ptr zip(zip_open(dir.file("w.zip").c_str(), 6, 'w'));
    EXPECT_EQ(zip_entry_open_at(zip.get(), 0), -1);
    EXPECT_EQ(zip_entry_open(zip.get(), "x"), 0);
    EXPECT_EQ(zip_entry_read(zip.get(), &buffer, &size), -1);
}

TEST(Zip, EmptyArchiveIsValid)
{
    temp_dir dir;
    const std::string path = dir.file("empty.zip");
    ASSERT_TRUE(write_file(path, std::string("an older file of that name")));
    ASSERT_EQ(zip_close(zip_open(path.c_str(), 6, 'w')), 0);
    // Exactly the bare end-of-central-directory record, as Python writes it;
    // unzip warns about an empty archive, 7-Zip and Python read it.
    bytes end_only = {'P', 'K', 5, 6};
    end_only.resize(22);
    EXPECT_EQ(read_file(path), end_only);
    EXPECT_EQ(shell("python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1], \"w\").close()' " +
                    quoted(dir.file("py.zip"))).status, 0);
    EXPECT_EQ(read_file(dir.file("py.zip")), end_only);
    const shell_result unzip = shell("unzip -t " + quoted(path));
    EXPECT_EQ(unzip.status, 1);
    EXPECT_NE(unzip.out.find("zipfile is empty"), std::string::npos) << unzip.out;
    EXPECT_EQ(shell("7zz t " + quoted(path)).status, 0);
    EXPECT_EQ(shell("python3 -c 'import sys, zipfile; print(len(zipfile.ZipFile(sys.argv[1]).infolist()))' " +
                    quoted(path)).out, "0\n");
    EXPECT_TRUE(read_archive(path).empty());

    // A new file gets the usual permissions, a replaced one keeps its own.
    const mode_t mask = umask(022);
    const std::string fresh = dir.file("fresh.zip");
    ASSERT_EQ(zip_close(zip_open(fresh.c_str(), 6, 'w')), 0);
    EXPECT_EQ(fs::status(fresh).permissions(), fs::perms(0644));
    fs::permissions(fresh, fs::perms(0600));
    ASSERT_EQ(zip_close(zip_open(fresh.c_str(), 6, 'w')), 0);
    EXPECT_EQ(fs::status(fresh).permissions(), fs::perms(0600));
    umask(mask);
    EXPECT_EQ(files_in(dir.path()), (std::vector<std::string>{"empty.zip", "fresh.zip", "py.zip"}));
}

TEST(Zip, ReadsArchivesOfOtherWriters)
{
    temp_dir dir;
    const std::string tree = dir.file("tree");
    fs::create_directories(tree + "/conf/sub");
    const bytes dali = sample(11168, 5), text = sample(3000, 6), noise = sample(5000, 7, true);
    ASSERT_TRUE(write_file(tree + "/conf/dali1.tar", dali));
    ASSERT_TRUE(write_file(tree + "/conf/sub/notes.txt", text));
    ASSERT_TRUE(write_file(tree + "/noise.bin", noise));
    ASSERT_TRUE(write_file(tree + "/empty", bytes{}));
    const std::string in_tree = "cd " + quoted(tree) + " && ";
    for (const std::string command : {"zip -q -r ../info.zip conf noise.bin empty",
                                       "zip -q -0 -r ../stored.zip conf noise.bin empty",
                                       "7zz a -tzip ../seven.zip conf noise.bin empty"})
        ASSERT_EQ(shell(in_tree + command).status, 0) << command;
    const shell_result made = shell(in_tree + "python3 -c '\n"
                                    "import zipfile\n"
                                    "z = zipfile.ZipFile(\"../python.zip\", \"w\")\n"
                                    "z.writestr(\"conf/\", b\"\")\n"
                                    "z.write(\"conf/dali1.tar\", \"conf/dali1.tar\", zipfile.ZIP_DEFLATED)\n"
                                    "z.write(\"noise.bin\", \"noise.bin\", zipfile.ZIP_STORED)\n"
                                    "z.writestr(\"win\\\\path\\\\notes.txt\", open(\"conf/sub/notes.txt\", \"rb\").read(), zipfile.ZIP_DEFLATED)\n"
                                    "z.writestr(\"empty\", b\"\")\n'");
    ASSERT_EQ(made.status, 0) << made.out;

    const std::map<std::string, bytes> files = {{"conf/dali1.tar", dali}, {"conf/sub/notes.txt", text},
                                                {"noise.bin", noise},     {"empty", {}}};
    for (const char *archive : {"info.zip", "stored.zip", "seven.zip"}) {
        SCOPED_TRACE(archive);
        std::map<std::string, bytes> read;
        for (const entry &e : read_archive(dir.file(archive)))
            if (e.name.find(" (directory)") == std::string::npos)
                read[e.name] = e.content;
        EXPECT_EQ(read, files);
    }
    // The order is the archive's own; an entry stored with '\\' is found
    // under either form.
    EXPECT_EQ(read_archive(dir.file("python.zip")),
              (entries{{"conf/ (directory)", {}}, {"conf/dali1.tar", dali}, {"noise.bin", noise},
                       {"win/path/notes.txt", text}, {"empty", {}}}));
    zip_handle_ptr zip(zip_open(dir.file("python.zip").c_str(), 0, 'r'));
    ASSERT_EQ(zip_entry_open(zip.get(), "win\\path\\notes.txt"), 0);
    EXPECT_STREQ(zip_entry_name(zip.get()), "win/path/notes.txt");
}

TEST(Zip, AppendKeepsEntriesAndOrder)
{
    temp_dir dir;
    const std::string path = dir.file("append.zip");
    entries list = {{"systemconfig.tar", sample(2000, 8)}, {"dali1.tar", sample(3000, 9)}};
    write_archive(path, 0, list);
    zip_handle_t *zip = zip_open(path.c_str(), 6, 'a');
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(zip_entry_count(zip), 2);
    EXPECT_EQ(zip_entry_open_at(zip, 0), -1);
    list.push_back({"dali2.tar", sample(4000, 10)});
    ASSERT_EQ(zip_entry_open(zip, "dali2.tar"), 0);
    ASSERT_EQ(zip_entry_write(zip, list[2].content.data(), list[2].content.size()), 0);
    ASSERT_EQ(zip_entry_close(zip), 0);
    EXPECT_EQ(zip_entry_count(zip), 3);
    ASSERT_EQ(zip_close(zip), 0);
    EXPECT_EQ(read_archive(path), list);
    expect_sound(path, list, "systemconfig.tar 0 0 True\ndali1.tar 0 0 True\ndali2.tar 8 0 True\n");
}

TEST(Zip, NoHalfWrittenArchiveNorDamagedData)
{
    // The archive appears under its name only once it is complete: while it
    // is being written, and when it cannot be written, the old file stays.
    temp_dir dir;
    const std::string path = dir.file("backup.zip");
    ASSERT_TRUE(write_file(path, std::string("previous backup")));
    zip_handle_t *zip = zip_open(path.c_str(), 6, 'w');
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(zip_entry_open(zip, "dali1.tar"), 0);
    ASSERT_EQ(zip_entry_write(zip, "data", 4), 0);
    ASSERT_EQ(zip_entry_close(zip), 0);
    EXPECT_EQ(read_file(path), text_bytes("previous backup"));
    ASSERT_EQ(zip_close(zip), 0);
    EXPECT_EQ(read_archive(path), (entries{{"dali1.tar", text_bytes("data")}}));

    fs::create_directory(dir.file("gone"));
    zip = zip_open(dir.file("gone/backup.zip").c_str(), 6, 'w');
    ASSERT_NE(zip, nullptr);
    fs::remove(dir.file("gone"));
    EXPECT_EQ(zip_close(zip), -1);
    zip = zip_open(dir.file("gone.zip").c_str(), 6, 'w');
    ASSERT_NE(zip, nullptr);
    fs::create_directory(dir.file("gone.zip"));
    EXPECT_EQ(zip_close(zip), -1);
    EXPECT_EQ(files_in(dir.path()), (std::vector<std::string>{"backup.zip", "gone.zip"})) << "no temporary file left";

    // Stored data with one byte changed (after the 30-byte local header and
    // the 9-byte name) fails its CRC: nothing is handed out.
    write_archive(path, 0, {{"dali1.tar", sample(5000, 11, true)}});
    bytes raw = read_file(path).value_or(bytes{});
    raw[30 + 9 + 100] ^= 0xFF;
    ASSERT_TRUE(write_file(path, raw));
    zip_handle_ptr damaged(zip_open(path.c_str(), 0, 'r'));
    ASSERT_EQ(zip_entry_open_at(damaged.get(), 0), 0);
    bytes buffer{1};
    std::size_t size = 7;
    EXPECT_EQ(zip_entry_read(damaged.get(), &buffer, &size), -1);
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(size, 7u);
}

TEST(Zip, EntriesThatShareDataAreNotRead)
{
    // Every entry of a sound archive has a local header and data of its own.
    // Records pointing to one header, or into another entry's data, mark a
    // damaged or crafted archive: neither entry is read, the others are.
    // Python writes the archives (stored), then a central record's header
    // offset is changed; one of 70,000 entries (a 64-bit end record) shows
    // that the directory of such an archive is read too, and an archive whose
    // records keep their sizes and offsets in zip64 extra fields (all three
    // 32-bit fields all ones) that the offset given there is the one used.
    temp_dir dir;
    const shell_result made = shell("cd " + quoted(dir.path()) + " && python3 -c '\n"
                                    "import struct, zipfile\n"
                                    "def repoint(path, name, to):\n"
                                    "    data = bytearray(open(path, \"rb\").read())\n"
                                    "    at = data.rindex(b\"PK\\x01\\x02\")\n"
                                    "    while data[at + 46:at + 46 + len(name)] != name:\n"
                                    "        at = data.rindex(b\"PK\\x01\\x02\", 0, at)\n"
                                    "    data[at + 42:at + 46] = struct.pack(\"<I\", to)\n"
                                    "    open(path, \"wb\").write(data)\n"
                                    "def zip64_extras(src, dst, name=None, to=None):\n"
                                    "    data = bytearray(open(src, \"rb\").read())\n"
                                    "    end = data.rindex(b\"PK\\x05\\x06\")\n"
                                    "    count, size, offset = struct.unpack(\"<HII\", data[end + 10:end + 20])\n"
                                    "    out, at = bytearray(), offset\n"
                                    "    for _ in range(count):\n"
                                    "        fixed = bytearray(data[at:at + 46])\n"
                                    "        n, e, c = struct.unpack(\"<HHH\", fixed[28:34])\n"
                                    "        csize, usize = struct.unpack(\"<II\", fixed[20:28])\n"
                                    "        header = struct.unpack(\"<I\", fixed[42:46])[0]\n"
                                    "        entry = data[at + 46:at + 46 + n]\n"
                                    "        if entry == name:\n"
                                    "            header = to\n"
                                    "        fixed[20:28] = struct.pack(\"<II\", 0xFFFFFFFF, 0xFFFFFFFF)\n"
                                    "        fixed[42:46] = struct.pack(\"<I\", 0xFFFFFFFF)\n"
                                    "        fixed[30:32] = struct.pack(\"<H\", e + 28)\n"
                                    "        out += fixed + entry + struct.pack(\"<HHQQQ\", 1, 24, usize, csize, header) + data[at + 46 + n:at + 46 + n + e + c]\n"
                                    "        at += 46 + n + e + c\n"
                                    "    tail = bytearray(data[end:])\n"
                                    "    tail[12:16] = struct.pack(\"<I\", len(out))\n"
                                    "    open(dst, \"wb\").write(data[:offset] + out + tail)\n"
                                    "with zipfile.ZipFile(\"small.zip\", \"w\") as z:\n"
                                    "    for i, size in enumerate((2000, 480, 12)):\n"
                                    "        z.writestr(\"e%05d\" % i, (b\"entry %05d \" % i * 200)[:size])\n"
                                    "with zipfile.ZipFile(\"many.zip\", \"w\") as z:\n"
                                    "    for i in range(70000):\n"
                                    "        z.writestr(\"e%05d\" % i, b\"entry %05d \" % i)\n"
                                    "import shutil\n"
                                    "shutil.copy(\"small.zip\", \"same-header.zip\")\n"
                                    "repoint(\"same-header.zip\", b\"e00002\", 0)\n"
                                    "shutil.copy(\"small.zip\", \"inside-data.zip\")\n"
                                    "repoint(\"inside-data.zip\", b\"e00002\", 40)\n"
                                    "repoint(\"many.zip\", b\"e69999\", 0)\n"
                                    "zip64_extras(\"small.zip\", \"zip64.zip\")\n"
                                    "zip64_extras(\"small.zip\", \"zip64-same-header.zip\", b\"e00002\", 0)\n'");
    ASSERT_EQ(made.status, 0) << made.out;
    const struct {
        const char *archive;
        std::vector<std::pair<std::int64_t, std::int64_t>> reads; // entry, result
    } rows[] = {
        {"small.zip", {{0, 2000}, {1, 480}, {2, 12}}},
        {"same-header.zip", {{0, ZIP_ENTRY_SHARES_DATA}, {1, 480}, {2, ZIP_ENTRY_SHARES_DATA}}},
        {"inside-data.zip", {{0, ZIP_ENTRY_SHARES_DATA}, {1, 480}, {2, ZIP_ENTRY_SHARES_DATA}}},
        {"zip64.zip", {{0, 2000}, {1, 480}, {2, 12}}},
        {"zip64-same-header.zip", {{0, ZIP_ENTRY_SHARES_DATA}, {1, 480}, {2, ZIP_ENTRY_SHARES_DATA}}},
        {"many.zip", {{0, ZIP_ENTRY_SHARES_DATA}, {1, 12}, {69998, 12}, {69999, ZIP_ENTRY_SHARES_DATA}}},
    };
    // What the end records declare is read without opening the archive.
    const std::optional<zip_directory_size> declared = zip_directory_declared(dir.file("many.zip").c_str());
    ASSERT_TRUE(declared.has_value());
    EXPECT_EQ(declared->entries, 70000u);
    EXPECT_EQ(declared->bytes, 70000u * (46 + 6));
    EXPECT_FALSE(zip_directory_declared(dir.file("none.zip").c_str()).has_value());
    for (const auto &row : rows) {
        zip_handle_ptr zip(zip_open(dir.file(row.archive).c_str(), 0, 'r'));
        ASSERT_NE(zip, nullptr) << row.archive;
        for (const auto &[index, result] : row.reads) {
            bytes content{1};
            ASSERT_EQ(zip_entry_open_at(zip.get(), index), 0);
            EXPECT_EQ(zip_entry_read(zip.get(), &content, nullptr), result) << row.archive << " entry " << index;
            EXPECT_EQ(content.size(), result < 0 ? 0u : static_cast<std::size_t>(result));
        }
    }
}

TEST(Zip, ReadsAreBoundedBeforeAndWhileInflating)
{
    // An entry that declares more than the caller takes is not inflated at
    // all; one that declares less but inflates past it is cut off; and all
    // reads through a handle inflate no more than its read limit, counting
    // the reads that failed.
    temp_dir dir;
    const std::string path = dir.file("sizes.zip");
    write_archive(path, 6, {{"a", sample(600, 1)}, {"b", sample(600, 2)}, {"c", sample(100, 3)}});
    const shell_result made = shell("cd " + quoted(dir.path()) + " && python3 -c '\n"
                                    "import zipfile\n"
                                    "with zipfile.ZipFile(\"lies.zip\", \"w\", zipfile.ZIP_DEFLATED) as z:\n"
                                    "    z.writestr(\"big\", bytes(5000))\n"
                                    "data = bytearray(open(\"lies.zip\", \"rb\").read())\n"
                                    "at = data.rindex(b\"PK\\x01\\x02\")\n"
                                    "data[at + 24:at + 28] = (100).to_bytes(4, \"little\")\n"
                                    "open(\"lies.zip\", \"wb\").write(data)\n'");
    ASSERT_EQ(made.status, 0) << made.out;
    bytes content;
    zip_handle_ptr zip(zip_open(path.c_str(), 0, 'r'));
    ASSERT_EQ(zip_entry_open_at(zip.get(), 0), 0);
    EXPECT_EQ(zip_entry_read(zip.get(), &content, nullptr, 599), ZIP_ENTRY_TOO_LARGE);
    EXPECT_EQ(zip_entry_read(zip.get(), &content, nullptr, 600), 600);
    zip_set_read_limit(zip.get(), 750);
    ASSERT_EQ(zip_entry_open_at(zip.get(), 1), 0);
    EXPECT_EQ(zip_entry_read(zip.get(), &content, nullptr), ZIP_READ_LIMIT_REACHED) << "600 + 600 > 750";
    ASSERT_EQ(zip_entry_open_at(zip.get(), 2), 0);
    EXPECT_EQ(zip_entry_read(zip.get(), &content, nullptr), 100) << "600 + 100 <= 750";
    EXPECT_EQ(zip_entry_read(zip.get(), &content, nullptr), ZIP_READ_LIMIT_REACHED) << "700 + 100 > 750";

    zip.reset(zip_open(dir.file("lies.zip").c_str(), 0, 'r'));
    ASSERT_EQ(zip_entry_open_at(zip.get(), 0), 0);
    EXPECT_EQ(zip_entry_read(zip.get(), &content, nullptr, 1000), ZIP_ENTRY_TOO_LARGE) << "declares 100, inflates to 5000";
    zip_set_read_limit(zip.get(), 2000);
    EXPECT_EQ(zip_entry_read(zip.get(), &content, nullptr), ZIP_READ_LIMIT_REACHED);
    EXPECT_TRUE(content.empty());
}
