// The zip layer against independent readers and writers: unzip, 7-Zip and
// Python's zipfile check every archive written here, and archives made by zip,
// 7-Zip and Python are read back through the layer.
#include "zip/zip_layer.h"

#include "expect.h"
#include "files.h"
#include "run.h"
#include "zip_check.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

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
};

// Writes the entries, each in pieces of growing sizes.
void write_archive(const std::string &path, int level, const std::vector<entry> &entries)
{
    mzip::zip_handle_t *zip = mzip::zip_open(path.c_str(), level, 'w');
    ASSERT_NE(zip, nullptr);
    for (const entry &e : entries) {
        ASSERT_EQ(mzip::zip_entry_open(zip, e.name.c_str()), 0) << e.name;
        for (std::size_t done = 0, piece = 1; done < e.content.size(); piece = piece * 7 + 3) {
            const std::size_t n = std::min(piece, e.content.size() - done);
            ASSERT_EQ(mzip::zip_entry_write(zip, e.content.data() + done, n), 0);
            done += n;
        }
        ASSERT_EQ(mzip::zip_entry_close(zip), 0) << e.name;
    }
    ASSERT_EQ(mzip::zip_close(zip), 0);
}

// Every entry read back through the layer, in archive order; directories come
// back with their flag, result -1 and no content.
struct read_entry {
    std::string name;
    int is_directory;
    std::int64_t result;
    bytes content;
};
std::vector<read_entry> read_archive(const std::string &path)
{
    std::vector<read_entry> entries;
    mzip::zip_handle_ptr zip(mzip::zip_open(path.c_str(), 0, 'r'));
    EXPECT_NE(zip, nullptr) << path;
    for (std::int64_t i = 0; zip && i < mzip::zip_entry_count(zip.get()); ++i) {
        EXPECT_EQ(mzip::zip_entry_open_at(zip.get(), i), 0);
        const char *name = mzip::zip_entry_name(zip.get());
        read_entry e{name ? name : "(none)", mzip::zip_entry_is_directory(zip.get()), 0, {}};
        std::size_t size = 12345;
        e.result = mzip::zip_entry_read(zip.get(), &e.content, &size);
        EXPECT_EQ(size, e.result >= 0 ? e.content.size() : 12345u);
        EXPECT_EQ(mzip::zip_entry_close(zip.get()), 0);
        entries.push_back(std::move(e));
    }
    return entries;
}

void expect_entries(const std::vector<read_entry> &back, const std::vector<entry> &entries)
{
    ASSERT_EQ(back.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(back[i].name, entries[i].name);
        EXPECT_EQ(back[i].is_directory, 0);
        EXPECT_EQ(back[i].result, static_cast<std::int64_t>(entries[i].content.size()));
        EXPECT_TRUE(back[i].content == entries[i].content) << entries[i].name;
    }
}

// Archives are written into "<name>.XXXXXX" beside the target.
void expect_no_temporary_file(const std::string &dir)
{
    for (const std::string &name : files_in(dir))
        EXPECT_EQ(name.find(".zip."), std::string::npos) << "temporary file left: " << name;
}

} // namespace

TEST(Zip, RoundTripsAtEveryLevel)
{
    temp_dir dir;
    const std::vector<entry> entries = {{"systemconfig.tar", sample(10240, 1)}, {"empty.tar", {}},
                                        {"one", {0x42}},                       {"noise.bin", sample(65536 + 17, 2, true)},
                                        {"big.tar", sample(1024 * 1024, 3)},   {"dali1.tar", sample(30720, 4)}};
    for (int level : {0, 1, 6, 10, -1}) {
        SCOPED_TRACE("level " + std::to_string(level));
        const std::string path = dir.file("level" + std::to_string(level) + ".zip");
        write_archive(path, level, entries);
        expect_zip_sound(path);
        expect_entries(read_archive(path), entries);
        const std::vector<zip_listing_entry> python = python_zip_entries(path);
        ASSERT_EQ(python.size(), entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(python[i].name, entries[i].name);
            EXPECT_EQ(python[i].method, level == 0 ? 0 : 8);
            // Only the deflate option bits (1 and 2): no encryption, no data descriptor.
            EXPECT_EQ(python[i].flags & ~6, 0);
            EXPECT_LT(python[i].age, 300) << "time stamp in local time";
            EXPECT_TRUE(python[i].content == entries[i].content) << entries[i].name;
        }
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
    mzip::zip_handle_ptr zip(mzip::zip_open(path.c_str(), 6, 'w'));
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(mzip::zip_entry_write(zip.get(), "x", 1), -1) << "no entry open";
    EXPECT_EQ(mzip::zip_entry_close(zip.get()), -1);
    // '\\' is stored as '/'; writes of nothing do nothing; one entry at a time.
    ASSERT_EQ(mzip::zip_entry_open(zip.get(), "backup\\2021\\dali1.tar"), 0);
    EXPECT_STREQ(mzip::zip_entry_name(zip.get()), "backup/2021/dali1.tar");
    EXPECT_EQ(mzip::zip_entry_is_directory(zip.get()), 0);
    for (const char *piece : {"abc", static_cast<const char *>(nullptr), "", "def"})
        EXPECT_EQ(mzip::zip_entry_write(zip.get(), piece, piece ? std::strlen(piece) : 5), 0);
    EXPECT_EQ(mzip::zip_entry_open(zip.get(), "other"), -1);
    ASSERT_EQ(mzip::zip_entry_close(zip.get()), 0);
    EXPECT_EQ(mzip::zip_entry_name(zip.get()), nullptr);
    ASSERT_EQ(mzip::zip_entry_open(zip.get(), "nothing"), 0);
    ASSERT_EQ(mzip::zip_entry_close(zip.get()), 0);
    // A second entry of the same name cannot join; an entry never closed is
    // left out; the archive stays sound.
    ASSERT_EQ(mzip::zip_entry_open(zip.get(), "nothing"), 0);
    EXPECT_EQ(mzip::zip_entry_write(zip.get(), "again", 5), 0);
    EXPECT_EQ(mzip::zip_entry_close(zip.get()), -1);
    ASSERT_EQ(mzip::zip_entry_open(zip.get(), "never closed"), 0);
    EXPECT_EQ(mzip::zip_entry_count(zip.get()), 2);
    ASSERT_EQ(mzip::zip_close(zip.release()), 0);
    expect_zip_sound(path);
    // Python compares the local header's name with the central directory's.
    const std::vector<zip_listing_entry> python = python_zip_entries(path);
    ASSERT_EQ(python.size(), 2u);
    EXPECT_EQ(python[0].name, "backup/2021/dali1.tar");
    expect_entries(read_archive(path), {{"backup/2021/dali1.tar", text_bytes("abcdef")}, {"nothing", {}}});

    // Lookups take either separator, and are exact and case-sensitive; a miss
    // leaves no entry open.
    zip.reset(mzip::zip_open(path.c_str(), 0, 'r'));
    bytes content;
    ASSERT_EQ(mzip::zip_entry_open(zip.get(), "backup\\2021\\dali1.tar"), 0);
    EXPECT_STREQ(mzip::zip_entry_name(zip.get()), "backup/2021/dali1.tar");
    ASSERT_EQ(mzip::zip_entry_open(zip.get(), "backup/2021/dali1.tar"), 0);
    EXPECT_EQ(mzip::zip_entry_read(zip.get(), &content, nullptr), 6);
    for (const char *miss : {"BACKUP/2021/dali1.tar", "dali1.tar", ""}) {
        EXPECT_EQ(mzip::zip_entry_open(zip.get(), miss), -1) << miss;
        EXPECT_EQ(mzip::zip_entry_name(zip.get()), nullptr);
        EXPECT_EQ(mzip::zip_entry_read(zip.get(), &content, nullptr), -1);
        EXPECT_TRUE(content.empty());
    }
    for (std::int64_t index : {-1, 2, 1000})
        EXPECT_EQ(mzip::zip_entry_open_at(zip.get(), index), -1) << index;
    ASSERT_EQ(mzip::zip_entry_open_at(zip.get(), 1), 0);
    EXPECT_STREQ(mzip::zip_entry_name(zip.get()), "nothing");
    EXPECT_EQ(mzip::zip_entry_write(zip.get(), "a", 1), -1) << "a reader is not written";
    EXPECT_EQ(mzip::zip_entry_open(zip.get(), nullptr), -1);
    EXPECT_EQ(mzip::zip_entry_read(zip.get(), nullptr, nullptr), -1);
}

TEST(Zip, RefusedLevelsModesAndFiles)
{
    temp_dir dir;
    const std::string path = dir.file("a.zip");
    for (const char mode : {'x', 'W'})
        EXPECT_EQ(mzip::zip_open(path.c_str(), 6, mode), nullptr) << mode;
    EXPECT_EQ(mzip::zip_open(nullptr, 6, 'w'), nullptr);
    EXPECT_EQ(mzip::zip_open("", 6, 'w'), nullptr);
    for (int level : {11, 15, 0x1B, 0x10F}) {
        EXPECT_EQ(mzip::zip_open(path.c_str(), level, 'w'), nullptr) << level;
        EXPECT_EQ(mzip::zip_open(path.c_str(), level, 'r'), nullptr) << level;
    }
    EXPECT_FALSE(fs::exists(path));
    // A refused level leaves an existing file as it was.
    ASSERT_TRUE(write_file(path, std::string("keep me")));
    EXPECT_EQ(mzip::zip_open(path.c_str(), 11, 'w'), nullptr);

    // Files that are no zip archive, or are missing, do not open for reading
    // or appending; no file is made in a missing directory or over one.
    ASSERT_TRUE(write_file(dir.file("zero"), std::string()));
    for (const std::string &file : {path, dir.file("zero"), dir.file("none.zip")}) {
        EXPECT_EQ(mzip::zip_open(file.c_str(), 0, 'r'), nullptr) << file;
        EXPECT_EQ(mzip::zip_open(file.c_str(), 0, 'a'), nullptr) << file;
    }
    EXPECT_EQ(mzip::zip_open(dir.file("missing/b.zip").c_str(), 6, 'w'), nullptr);
    EXPECT_EQ(mzip::zip_open(dir.path().c_str(), 6, 'w'), nullptr);
    EXPECT_EQ(files_in(dir.path()), (std::vector<std::string>{"a.zip", "zero"}));
    EXPECT_EQ(read_text(path), "keep me");

    // Null handles.
    bytes buffer{1, 2, 3};
    std::size_t size = 99;
    EXPECT_EQ(mzip::zip_close(nullptr), 0);
    EXPECT_EQ(mzip::zip_entry_open(nullptr, "a"), -1);
    EXPECT_EQ(mzip::zip_entry_open_at(nullptr, 0), -1);
    EXPECT_EQ(mzip::zip_entry_name(nullptr), nullptr);
    EXPECT_EQ(mzip::zip_entry_is_directory(nullptr), -1);
    EXPECT_EQ(mzip::zip_entry_write(nullptr, "a", 1), -1);
    EXPECT_EQ(mzip::zip_entry_read(nullptr, &buffer, &size), -1);
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(size, 99u);
    EXPECT_EQ(mzip::zip_entry_close(nullptr), -1);
    EXPECT_EQ(mzip::zip_entry_count(nullptr), -1);

    // An archive being written has no entries to open by index or read.
    mzip::zip_handle_ptr zip(mzip::zip_open(dir.file("w.zip").c_str(), 6, 'w'));
    EXPECT_EQ(mzip::zip_entry_open_at(zip.get(), 0), -1);
    EXPECT_EQ(mzip::zip_entry_open(zip.get(), "x"), 0);
    EXPECT_EQ(mzip::zip_entry_read(zip.get(), &buffer, &size), -1);
}

TEST(Zip, EmptyArchiveIsValid)
{
    temp_dir dir;
    const std::string path = dir.file("empty.zip");
    ASSERT_TRUE(write_file(path, std::string("an older file of that name")));
    ASSERT_EQ(mzip::zip_close(mzip::zip_open(path.c_str(), 6, 'w')), 0);
    expect_empty_zip(path);
    // Python writes the same bytes; unzip warns about an empty archive, 7-Zip
    // and Python read it.
    const run_result python = run_program("python3", {"-c", "import sys, zipfile; zipfile.ZipFile(sys.argv[1], 'w').close()",
                                                      dir.file("py.zip")});
    EXPECT_EQ(python.status, 0) << python.err;
    expect_empty_zip(dir.file("py.zip"));
    const run_result unzip = run_program("unzip", {"-t", path});
    EXPECT_EQ(unzip.status, 1) << unzip.out;
    EXPECT_NE((unzip.out + unzip.err).find("zipfile is empty"), std::string::npos) << unzip.out << unzip.err;
    EXPECT_EQ(run_program(seven_zip_command(), {"t", path}).status, 0);
    EXPECT_TRUE(python_zip_entries(path).empty());
    EXPECT_TRUE(read_archive(path).empty());

    // A new file gets the usual permissions, a replaced one keeps its own.
    const mode_t mask = umask(022);
    const std::string fresh = dir.file("fresh.zip");
    ASSERT_EQ(mzip::zip_close(mzip::zip_open(fresh.c_str(), 6, 'w')), 0);
    EXPECT_EQ(fs::status(fresh).permissions(), fs::perms(0644));
    fs::permissions(fresh, fs::perms(0600));
    ASSERT_EQ(mzip::zip_close(mzip::zip_open(fresh.c_str(), 6, 'w')), 0);
    EXPECT_EQ(fs::status(fresh).permissions(), fs::perms(0600));
    umask(mask);
    expect_no_temporary_file(dir.path());
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
    const auto in_tree = run_options().in(tree);
    const std::vector<std::string> files = {"conf", "noise.bin", "empty"};
    const auto make = [&](std::vector<std::string> args) {
        args.insert(args.end(), files.begin(), files.end());
        return args;
    };
    ASSERT_EQ(run_program("zip", make({"-q", "-r", dir.file("info.zip")}), in_tree).status, 0);
    ASSERT_EQ(run_program("zip", make({"-q", "-0", "-r", dir.file("stored.zip")}), in_tree).status, 0);
    ASSERT_EQ(run_program(seven_zip_command(), make({"a", "-tzip", dir.file("seven.zip")}), in_tree).status, 0);
    const std::string script = "import zipfile, sys\n"
                               "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
                               "z.writestr('conf/', b'')\n"
                               "z.write(sys.argv[2] + '/conf/dali1.tar', 'conf/dali1.tar', zipfile.ZIP_DEFLATED)\n"
                               "z.write(sys.argv[2] + '/noise.bin', 'noise.bin', zipfile.ZIP_STORED)\n"
                               "z.writestr('win\\\\path\\\\notes.txt', open(sys.argv[2] + '/conf/sub/notes.txt', 'rb').read(),\n"
                               "           zipfile.ZIP_DEFLATED)\n"
                               "z.writestr('empty', b'')\n"
                               "z.close()\n";
    const run_result made = run_program("python3", {"-c", script, dir.file("python.zip"), tree});
    ASSERT_EQ(made.status, 0) << made.err;

    const std::map<std::string, const bytes *> expected = {{"conf/dali1.tar", &dali},      {"conf/sub/notes.txt", &text},
                                                           {"win/path/notes.txt", &text},  {"noise.bin", &noise}};
    for (const char *archive : {"info.zip", "stored.zip", "seven.zip", "python.zip"}) {
        SCOPED_TRACE(archive);
        int files_read = 0, directories = 0;
        for (const read_entry &e : read_archive(dir.file(archive))) {
            SCOPED_TRACE(e.name);
            if (e.name.back() == '/') {
                ++directories;
                EXPECT_EQ(e.is_directory, 1);
                EXPECT_EQ(e.result, -1);
                EXPECT_TRUE(e.content.empty());
                continue;
            }
            ++files_read;
            EXPECT_EQ(e.is_directory, 0);
            const bytes &want = e.name == "empty" ? bytes{} : *expected.at(e.name);
            EXPECT_EQ(e.result, static_cast<std::int64_t>(want.size()));
            EXPECT_TRUE(e.content == want);
        }
        EXPECT_EQ(files_read, 4);
        EXPECT_GE(directories, 1);
    }
    // The order is the archive's own; an entry stored with '\\' is found
    // under either form.
    std::vector<std::string> order;
    for (const read_entry &e : read_archive(dir.file("python.zip")))
        order.push_back(e.name);
    EXPECT_EQ(order, (std::vector<std::string>{"conf/", "conf/dali1.tar", "noise.bin", "win/path/notes.txt", "empty"}));
    mzip::zip_handle_ptr zip(mzip::zip_open(dir.file("python.zip").c_str(), 0, 'r'));
    ASSERT_EQ(mzip::zip_entry_open(zip.get(), "win\\path\\notes.txt"), 0);
    EXPECT_STREQ(mzip::zip_entry_name(zip.get()), "win/path/notes.txt");
}

TEST(Zip, AppendKeepsEntriesAndOrder)
{
    temp_dir dir;
    const std::string path = dir.file("append.zip");
    const std::vector<entry> first = {{"systemconfig.tar", sample(2000, 8)}, {"dali1.tar", sample(3000, 9)}};
    write_archive(path, 0, first);
    mzip::zip_handle_t *zip = mzip::zip_open(path.c_str(), 6, 'a');
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(mzip::zip_entry_count(zip), 2);
    EXPECT_EQ(mzip::zip_entry_open_at(zip, 0), -1);
    const bytes dali2 = sample(4000, 10);
    ASSERT_EQ(mzip::zip_entry_open(zip, "dali2.tar"), 0);
    ASSERT_EQ(mzip::zip_entry_write(zip, dali2.data(), dali2.size()), 0);
    ASSERT_EQ(mzip::zip_entry_close(zip), 0);
    EXPECT_EQ(mzip::zip_entry_count(zip), 3);
    ASSERT_EQ(mzip::zip_close(zip), 0);
    expect_zip_sound(path);
    expect_entries(read_archive(path), {first[0], first[1], {"dali2.tar", dali2}});
    EXPECT_EQ(python_zip_entries(path).at(2).method, 8);
}

TEST(Zip, NoHalfWrittenArchiveNorDamagedData)
{
    // The archive appears under its name only once it is complete: while it
    // is being written, and when it cannot be written, the old file stays.
    temp_dir dir;
    const std::string path = dir.file("backup.zip");
    ASSERT_TRUE(write_file(path, std::string("previous backup")));
    mzip::zip_handle_t *zip = mzip::zip_open(path.c_str(), 6, 'w');
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(mzip::zip_entry_open(zip, "dali1.tar"), 0);
    ASSERT_EQ(mzip::zip_entry_write(zip, "data", 4), 0);
    ASSERT_EQ(mzip::zip_entry_close(zip), 0);
    EXPECT_EQ(read_text(path), "previous backup");
    ASSERT_EQ(mzip::zip_close(zip), 0);
    expect_entries(read_archive(path), {{"dali1.tar", text_bytes("data")}});

    fs::create_directory(dir.file("gone"));
    zip = mzip::zip_open(dir.file("gone/backup.zip").c_str(), 6, 'w');
    ASSERT_NE(zip, nullptr);
    fs::remove(dir.file("gone"));
    EXPECT_EQ(mzip::zip_close(zip), -1);
    zip = mzip::zip_open(dir.file("gone.zip").c_str(), 6, 'w');
    ASSERT_NE(zip, nullptr);
    fs::create_directory(dir.file("gone.zip"));
    EXPECT_EQ(mzip::zip_close(zip), -1);
    expect_no_temporary_file(dir.path());

    // Stored data with one byte changed (after the 30-byte local header and
    // the 9-byte name) fails its CRC: nothing is handed out.
    write_archive(path, 0, {{"dali1.tar", sample(5000, 11, true)}});
    bytes raw = read_file(path).value_or(bytes{});
    raw[30 + 9 + 100] ^= 0xFF;
    ASSERT_TRUE(write_file(path, raw));
    mzip::zip_handle_ptr damaged(mzip::zip_open(path.c_str(), 0, 'r'));
    ASSERT_EQ(mzip::zip_entry_open_at(damaged.get(), 0), 0);
    bytes buffer{1};
    std::size_t size = 7;
    EXPECT_EQ(mzip::zip_entry_read(damaged.get(), &buffer, &size), -1);
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(size, 7u);
}
