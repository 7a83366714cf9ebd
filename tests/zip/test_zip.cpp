// The zip layer against independent readers and writers: unzip, 7-Zip and
// Python's zipfile check every archive written here, and archives made by zip,
// 7-Zip and Python are read back through the layer.
#include "zip/zip_layer.h"

#include <gtest/gtest.h>

#include "files.h"
#include "run.h"
#include "zip_check.h"

#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

namespace {

bytes file_bytes(const fs::path &path) { return read_file(path.string()).value_or(bytes{}); }
void put_file(const fs::path &path, const bytes &content) { ASSERT_TRUE(write_file(path.string(), content)); }
bytes text_bytes(const std::string &text) { return bytes(text.begin(), text.end()); }

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

class ZipTest : public ::testing::Test {
protected:
    temp_dir scratch;
    fs::path dir{scratch.path()};

    // Archives are written into "<name>.XXXXXX" beside the target.
    void expect_no_temporary_file()
    {
        for (const auto &file : fs::directory_iterator(dir))
            EXPECT_EQ(file.path().string().find(".zip."), std::string::npos) << "temporary file left: " << file.path();
    }
};

struct entry {
    std::string name;
    bytes content;
};

// Writes the entries, each in a few pieces of different sizes.
void write_archive(const fs::path &path, int level, const std::vector<entry> &entries)
{
    mzip::zip_handle_t *zip = mzip::zip_open(path.c_str(), level, 'w');
    ASSERT_NE(zip, nullptr);
    for (const entry &e : entries) {
        ASSERT_EQ(mzip::zip_entry_open(zip, e.name.c_str()), 0) << e.name;
        std::size_t done = 0, piece = 1;
        while (done < e.content.size()) {
            std::size_t n = std::min(piece, e.content.size() - done);
            ASSERT_EQ(mzip::zip_entry_write(zip, e.content.data() + done, n), 0);
            done += n;
            piece = piece * 7 + 3;
        }
        ASSERT_EQ(mzip::zip_entry_close(zip), 0) << e.name;
    }
    ASSERT_EQ(mzip::zip_close(zip), 0);
}

// Reads every entry back through the layer, in archive order; directories
// come back with their flag and no content.
struct read_entry {
    std::string name;
    int is_directory;
    std::int64_t result;
    bytes content;
};
std::vector<read_entry> read_archive(const fs::path &path)
{
    std::vector<read_entry> entries;
    mzip::zip_handle_ptr zip(mzip::zip_open(path.c_str(), 0, 'r'));
    EXPECT_NE(zip, nullptr) << path;
    if (!zip)
        return entries;
    std::int64_t count = mzip::zip_entry_count(zip.get());
    for (std::int64_t i = 0; i < count; ++i) {
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

std::vector<entry> sample_entries()
{
    return {{"systemconfig.tar", sample(10240, 1)},
            {"empty.tar", {}},
            {"one", {0x42}},
            {"noise.bin", sample(65536 + 17, 2, true)},
            {"big.tar", sample(1024 * 1024, 3)},
            {"dali1.tar", sample(30720, 4)}};
}

} // namespace

TEST_F(ZipTest, RoundTripsAtEveryLevel)
{
    const std::vector<entry> entries = sample_entries();
    for (int level : {0, 1, 6, 10, -1}) {
        SCOPED_TRACE("level " + std::to_string(level));
        fs::path path = dir / ("level" + std::to_string(level) + ".zip");
        write_archive(path, level, entries);
        expect_zip_sound(path);

        std::vector<read_entry> back = read_archive(path);
        ASSERT_EQ(back.size(), entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(back[i].name, entries[i].name);
            EXPECT_EQ(back[i].is_directory, 0);
            EXPECT_EQ(back[i].result, static_cast<std::int64_t>(entries[i].content.size()));
            EXPECT_TRUE(back[i].content == entries[i].content) << entries[i].name;
        }

        std::vector<zip_listing_entry> python = python_zip_entries(path);
        ASSERT_EQ(python.size(), entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(python[i].name, entries[i].name);
            EXPECT_EQ(python[i].method, level == 0 ? 0 : 8);
            // Only the deflate option bits (1 and 2) may be set: no
            // encryption, no data descriptor.
            EXPECT_EQ(python[i].flags & ~6, 0);
            EXPECT_LT(python[i].age, 300) << "time stamp in local time";
            EXPECT_TRUE(python[i].content == entries[i].content) << entries[i].name;
        }
    }
    // Stored data is as large as it is; deflate shrinks the text, more so at
    // the strongest level.
    auto size = [&](int level) { return fs::file_size(dir / ("level" + std::to_string(level) + ".zip")); };
    EXPECT_GT(size(0), 1024u * 1024 + 65536 + 10240 + 30720);
    EXPECT_LT(size(1), size(0));
    EXPECT_LE(size(10), size(6));
    EXPECT_LE(size(6), size(1));
}

TEST_F(ZipTest, BackslashNamesAreStoredWithSlashes)
{
    fs::path path = dir / "names.zip";
    mzip::zip_handle_ptr zip(mzip::zip_open(path.c_str(), 6, 'w'));
    ASSERT_EQ(mzip::zip_entry_open(zip.get(), "backup\\2021\\dali1.tar"), 0);
    EXPECT_STREQ(mzip::zip_entry_name(zip.get()), "backup/2021/dali1.tar");
    ASSERT_EQ(mzip::zip_entry_write(zip.get(), "abc", 3), 0);
    ASSERT_EQ(mzip::zip_entry_close(zip.get()), 0);
    EXPECT_EQ(mzip::zip_entry_name(zip.get()), nullptr);
    ASSERT_EQ(mzip::zip_close(zip.release()), 0);
    expect_zip_sound(path);

    // Python compares the local header's name with the central directory's.
    std::vector<zip_listing_entry> python = python_zip_entries(path);
    ASSERT_EQ(python.size(), 1u);
    EXPECT_EQ(python[0].name, "backup/2021/dali1.tar");
    EXPECT_TRUE(python[0].content == text_bytes("abc"));

    // Looking it up works with either separator.
    zip.reset(mzip::zip_open(path.c_str(), 0, 'r'));
    ASSERT_EQ(mzip::zip_entry_open(zip.get(), "backup\\2021\\dali1.tar"), 0);
    EXPECT_STREQ(mzip::zip_entry_name(zip.get()), "backup/2021/dali1.tar");
    ASSERT_EQ(mzip::zip_entry_open(zip.get(), "backup/2021/dali1.tar"), 0);
    bytes content;
    EXPECT_EQ(mzip::zip_entry_read(zip.get(), &content, nullptr), 3);
    EXPECT_TRUE(content == text_bytes("abc"));
    // Lookups are exact and case-sensitive; a miss leaves no entry open.
    EXPECT_EQ(mzip::zip_entry_open(zip.get(), "BACKUP/2021/dali1.tar"), -1);
    EXPECT_EQ(mzip::zip_entry_name(zip.get()), nullptr);
    EXPECT_EQ(mzip::zip_entry_read(zip.get(), &content, nullptr), -1);
    EXPECT_TRUE(content.empty());
    EXPECT_EQ(mzip::zip_entry_open(zip.get(), "dali1.tar"), -1);
}

TEST_F(ZipTest, WritesOfNothingAndEmptyEntries)
{
    fs::path path = dir / "writes.zip";
    mzip::zip_handle_ptr zip(mzip::zip_open(path.c_str(), 6, 'w'));
    ASSERT_NE(zip, nullptr);
    // No entry open yet.
    EXPECT_EQ(mzip::zip_entry_write(zip.get(), "x", 1), -1);
    EXPECT_EQ(mzip::zip_entry_close(zip.get()), -1);

    ASSERT_EQ(mzip::zip_entry_open(zip.get(), "pieces"), 0);
    EXPECT_EQ(mzip::zip_entry_is_directory(zip.get()), 0);
    EXPECT_EQ(mzip::zip_entry_write(zip.get(), "abc", 3), 0);
    EXPECT_EQ(mzip::zip_entry_write(zip.get(), nullptr, 5), 0);
    EXPECT_EQ(mzip::zip_entry_write(zip.get(), "zzz", 0), 0);
    EXPECT_EQ(mzip::zip_entry_write(zip.get(), "def", 3), 0);
    // One entry at a time.
    EXPECT_EQ(mzip::zip_entry_open(zip.get(), "other"), -1);
    ASSERT_EQ(mzip::zip_entry_close(zip.get()), 0);

    ASSERT_EQ(mzip::zip_entry_open(zip.get(), "nothing"), 0);
    EXPECT_EQ(mzip::zip_entry_write(zip.get(), nullptr, 0), 0);
    ASSERT_EQ(mzip::zip_entry_close(zip.get()), 0);

    // A second entry of the same name cannot join; the archive stays sound.
    ASSERT_EQ(mzip::zip_entry_open(zip.get(), "pieces"), 0);
    EXPECT_EQ(mzip::zip_entry_write(zip.get(), "again", 5), 0);
    EXPECT_EQ(mzip::zip_entry_close(zip.get()), -1);

    ASSERT_EQ(mzip::zip_entry_open(zip.get(), "never closed"), 0);
    EXPECT_EQ(mzip::zip_entry_write(zip.get(), "lost", 4), 0);
    EXPECT_EQ(mzip::zip_entry_count(zip.get()), 2);
    ASSERT_EQ(mzip::zip_close(zip.release()), 0);
    expect_zip_sound(path);

    std::vector<read_entry> back = read_archive(path);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].name, "pieces");
    EXPECT_TRUE(back[0].content == text_bytes("abcdef"));
    EXPECT_EQ(back[1].name, "nothing");
    EXPECT_EQ(back[1].result, 0);
    EXPECT_TRUE(back[1].content.empty());
}

TEST_F(ZipTest, ArgumentChecksAndRefusedLevels)
{
    fs::path path = dir / "a.zip";
    EXPECT_EQ(mzip::zip_open(nullptr, 6, 'w'), nullptr);
    EXPECT_EQ(mzip::zip_open("", 6, 'w'), nullptr);
    EXPECT_EQ(mzip::zip_open(path.c_str(), 6, 'x'), nullptr);
    EXPECT_EQ(mzip::zip_open(path.c_str(), 6, 'W'), nullptr);
    for (int level : {11, 15, 0x1B, 0x10F}) {
        EXPECT_EQ(mzip::zip_open(path.c_str(), level, 'w'), nullptr) << level;
        EXPECT_EQ(mzip::zip_open(path.c_str(), level, 'r'), nullptr) << level;
    }
    EXPECT_FALSE(fs::exists(path));
    // A refused level leaves an existing file as it was.
    put_file(path, text_bytes("keep me"));
    EXPECT_EQ(mzip::zip_open(path.c_str(), 11, 'w'), nullptr);
    EXPECT_TRUE(file_bytes(path) == text_bytes("keep me"));

    // Files that are no zip archive, or are missing, do not open for reading
    // or appending; a file cannot be created in a missing directory.
    EXPECT_EQ(mzip::zip_open(path.c_str(), 0, 'r'), nullptr);
    EXPECT_EQ(mzip::zip_open(path.c_str(), 0, 'a'), nullptr);
    put_file(dir / "zero", {});
    EXPECT_EQ(mzip::zip_open((dir / "zero").c_str(), 0, 'r'), nullptr);
    EXPECT_EQ(mzip::zip_open((dir / "none.zip").c_str(), 0, 'r'), nullptr);
    EXPECT_EQ(mzip::zip_open((dir / "none.zip").c_str(), 0, 'a'), nullptr);
    EXPECT_EQ(mzip::zip_open((dir / "missing" / "b.zip").c_str(), 6, 'w'), nullptr);
    EXPECT_EQ(mzip::zip_open(dir.c_str(), 6, 'w'), nullptr);
    EXPECT_FALSE(fs::exists(dir / "none.zip"));
    EXPECT_FALSE(fs::exists(dir / "missing"));
    EXPECT_TRUE(file_bytes(path) == text_bytes("keep me"));

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

    // Names, indexes and modes.
    write_archive(dir / "two.zip", 6, {{"a", text_bytes("1")}, {"b", text_bytes("2")}});
    mzip::zip_handle_ptr zip(mzip::zip_open((dir / "two.zip").c_str(), 0, 'r'));
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(mzip::zip_entry_open(zip.get(), nullptr), -1);
    EXPECT_EQ(mzip::zip_entry_open(zip.get(), ""), -1);
    EXPECT_EQ(mzip::zip_entry_is_directory(zip.get()), -1);
    EXPECT_EQ(mzip::zip_entry_read(zip.get(), &buffer, &size), -1);
    EXPECT_EQ(mzip::zip_entry_read(zip.get(), nullptr, &size), -1);
    for (std::int64_t index : {-1, 2, 1000}) {
        EXPECT_EQ(mzip::zip_entry_open_at(zip.get(), index), -1);
        EXPECT_EQ(mzip::zip_entry_name(zip.get()), nullptr);
    }
    EXPECT_EQ(mzip::zip_entry_write(zip.get(), "a", 1), -1);
    ASSERT_EQ(mzip::zip_entry_open_at(zip.get(), 1), 0);
    EXPECT_STREQ(mzip::zip_entry_name(zip.get()), "b");
    EXPECT_EQ(mzip::zip_entry_write(zip.get(), "a", 1), -1);
    zip.reset(mzip::zip_open((dir / "w.zip").c_str(), 6, 'w'));
    EXPECT_EQ(mzip::zip_entry_open_at(zip.get(), 0), -1);
    EXPECT_EQ(mzip::zip_entry_open(zip.get(), "x"), 0);
    EXPECT_EQ(mzip::zip_entry_read(zip.get(), &buffer, &size), -1);
}

TEST_F(ZipTest, EmptyArchiveIsValid)
{
    fs::path path = dir / "empty.zip";
    put_file(path, text_bytes("an older file of that name"));
    ASSERT_EQ(mzip::zip_close(mzip::zip_open(path.c_str(), 6, 'w')), 0);
    bytes expected = text_bytes("PK\x05\x06");
    expected.resize(22);
    EXPECT_TRUE(file_bytes(path) == expected);

    run_result unzip = run_program("unzip", {"-t", path});
    EXPECT_EQ(unzip.status, 1) << unzip.out; // its warning for an empty archive
    EXPECT_NE((unzip.out + unzip.err).find("zipfile is empty"), std::string::npos) << unzip.out << unzip.err;
    run_result seven = run_program(seven_zip_command(), {"t", path});
    EXPECT_EQ(seven.status, 0) << seven.out;
    EXPECT_TRUE(python_zip_entries(path).empty());
    EXPECT_TRUE(read_archive(path).empty());

    // Python writes the same bytes for an empty archive.
    run_result python = run_program("python3", {"-c", "import sys, zipfile; zipfile.ZipFile(sys.argv[1], 'w').close()",
                                                (dir / "py.zip").string()});
    EXPECT_EQ(python.status, 0) << python.err;
    EXPECT_TRUE(file_bytes(dir / "py.zip") == expected);

    // A new file gets the usual permissions, a replaced one keeps its own.
    mode_t mask = umask(022);
    fs::path fresh = dir / "fresh.zip";
    ASSERT_EQ(mzip::zip_close(mzip::zip_open(fresh.c_str(), 6, 'w')), 0);
    EXPECT_EQ(fs::status(fresh).permissions(), fs::perms(0644));
    fs::permissions(fresh, fs::perms(0600));
    ASSERT_EQ(mzip::zip_close(mzip::zip_open(fresh.c_str(), 6, 'w')), 0);
    EXPECT_EQ(fs::status(fresh).permissions(), fs::perms(0600));
    umask(mask);
    expect_no_temporary_file();
}

TEST_F(ZipTest, ReadsArchivesOfOtherWriters)
{
    fs::path tree = dir / "tree";
    fs::create_directories(tree / "conf" / "sub");
    const bytes dali = sample(11168, 5), text = sample(3000, 6), noise = sample(5000, 7, true);
    put_file(tree / "conf" / "dali1.tar", dali);
    put_file(tree / "conf" / "sub" / "notes.txt", text);
    put_file(tree / "noise.bin", noise);
    put_file(tree / "empty", {});

    fs::path info_zip = dir / "info.zip", stored = dir / "stored.zip", seven = dir / "seven.zip",
             python = dir / "python.zip";
    const auto in_tree = run_options().in(tree.string());
    ASSERT_EQ(run_program("zip", {"-q", "-r", info_zip, "conf", "noise.bin", "empty"}, in_tree).status, 0);
    ASSERT_EQ(run_program("zip", {"-q", "-0", "-r", stored, "conf", "noise.bin", "empty"}, in_tree).status, 0);
    ASSERT_EQ(run_program(seven_zip_command(), {"a", "-tzip", seven, "conf", "noise.bin", "empty"}, in_tree).status, 0);
    const std::string script =
        "import zipfile, sys\n"
        "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
        "z.writestr('conf/', b'')\n"
        "z.write(sys.argv[2] + '/conf/dali1.tar', 'conf/dali1.tar', zipfile.ZIP_DEFLATED)\n"
        "z.write(sys.argv[2] + '/noise.bin', 'noise.bin', zipfile.ZIP_STORED)\n"
        "z.writestr('win\\\\path\\\\notes.txt', open(sys.argv[2] + '/conf/sub/notes.txt', 'rb').read(),\n"
        "           zipfile.ZIP_DEFLATED)\n"
        "z.writestr('empty', b'')\n"
        "z.close()\n";
    run_result made = run_program("python3", {"-c", script, python, tree});
    ASSERT_EQ(made.status, 0) << made.err;

    auto expected_content = [&](const std::string &name) -> const bytes * {
        if (name == "conf/dali1.tar")
            return &dali;
        if (name == "conf/sub/notes.txt" || name == "win/path/notes.txt")
            return &text;
        if (name == "noise.bin")
            return &noise;
        static const bytes none;
        return name == "empty" ? &none : nullptr;
    };
    for (const fs::path &archive : {info_zip, stored, seven, python}) {
        SCOPED_TRACE(archive.filename().string());
        std::vector<read_entry> back = read_archive(archive);
        int files = 0, directories = 0;
        for (const read_entry &e : back) {
            SCOPED_TRACE(e.name);
            if (!e.name.empty() && e.name.back() == '/') {
                ++directories;
                EXPECT_EQ(e.is_directory, 1);
                EXPECT_EQ(e.result, -1);
                EXPECT_TRUE(e.content.empty());
                continue;
            }
            ++files;
            EXPECT_EQ(e.is_directory, 0);
            const bytes *want = expected_content(e.name);
            ASSERT_NE(want, nullptr);
            EXPECT_EQ(e.result, static_cast<std::int64_t>(want->size()));
            EXPECT_TRUE(e.content == *want);
        }
        EXPECT_EQ(files, 4);
        EXPECT_GE(directories, 1);
    }
    // The order is the archive's own.
    std::vector<read_entry> back = read_archive(python);
    ASSERT_EQ(back.size(), 5u);
    EXPECT_EQ(back[0].name, "conf/");
    EXPECT_EQ(back[1].name, "conf/dali1.tar");
    EXPECT_EQ(back[2].name, "noise.bin");
    EXPECT_EQ(back[3].name, "win/path/notes.txt");
    EXPECT_EQ(back[4].name, "empty");
    // An entry stored with '\\' separators is found under either form.
    mzip::zip_handle_ptr zip(mzip::zip_open(python.c_str(), 0, 'r'));
    for (const char *name : {"win/path/notes.txt", "win\\path\\notes.txt"}) {
        ASSERT_EQ(mzip::zip_entry_open(zip.get(), name), 0) << name;
        EXPECT_STREQ(mzip::zip_entry_name(zip.get()), "win/path/notes.txt");
        bytes content;
        EXPECT_EQ(mzip::zip_entry_read(zip.get(), &content, nullptr), static_cast<std::int64_t>(text.size()));
        EXPECT_TRUE(content == text);
    }
}

TEST_F(ZipTest, AppendKeepsEntriesAndOrder)
{
    fs::path path = dir / "append.zip";
    write_archive(path, 0, {{"systemconfig.tar", sample(2000, 8)}, {"dali1.tar", sample(3000, 9)}});
    mzip::zip_handle_t *zip = mzip::zip_open(path.c_str(), 6, 'a');
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(mzip::zip_entry_count(zip), 2);
    EXPECT_EQ(mzip::zip_entry_open_at(zip, 0), -1);
    ASSERT_EQ(mzip::zip_entry_open(zip, "dali2.tar"), 0);
    bytes dali2 = sample(4000, 10);
    ASSERT_EQ(mzip::zip_entry_write(zip, dali2.data(), dali2.size()), 0);
    ASSERT_EQ(mzip::zip_entry_close(zip), 0);
    EXPECT_EQ(mzip::zip_entry_count(zip), 3);
    ASSERT_EQ(mzip::zip_close(zip), 0);
    expect_zip_sound(path);

    std::vector<zip_listing_entry> python = python_zip_entries(path);
    ASSERT_EQ(python.size(), 3u);
    EXPECT_EQ(python[0].name, "systemconfig.tar");
    EXPECT_TRUE(python[0].content == sample(2000, 8));
    EXPECT_EQ(python[1].name, "dali1.tar");
    EXPECT_TRUE(python[1].content == sample(3000, 9));
    EXPECT_EQ(python[2].name, "dali2.tar");
    EXPECT_EQ(python[2].method, 8);
    EXPECT_TRUE(python[2].content == dali2);
}

TEST_F(ZipTest, TargetUntouchedUntilClose)
{
    // The archive appears under its name only once it is complete: while it is
    // being written, and when it cannot be written, the old file stays.
    fs::path path = dir / "backup.zip";
    put_file(path, text_bytes("previous backup"));
    mzip::zip_handle_t *zip = mzip::zip_open(path.c_str(), 6, 'w');
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(mzip::zip_entry_open(zip, "dali1.tar"), 0);
    ASSERT_EQ(mzip::zip_entry_write(zip, "data", 4), 0);
    ASSERT_EQ(mzip::zip_entry_close(zip), 0);
    EXPECT_TRUE(file_bytes(path) == text_bytes("previous backup"));
    ASSERT_EQ(mzip::zip_close(zip), 0);
    EXPECT_EQ(read_archive(path).size(), 1u);

    fs::path gone = dir / "gone";
    fs::create_directory(gone);
    zip = mzip::zip_open((gone / "backup.zip").c_str(), 6, 'w');
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(mzip::zip_entry_open(zip, "dali1.tar"), 0);
    ASSERT_EQ(mzip::zip_entry_close(zip), 0);
    fs::remove(gone);
    EXPECT_EQ(mzip::zip_close(zip), -1);
    zip = mzip::zip_open((dir / "gone.zip").c_str(), 6, 'w');
    ASSERT_NE(zip, nullptr);
    fs::create_directory(dir / "gone.zip");
    EXPECT_EQ(mzip::zip_close(zip), -1);
    expect_no_temporary_file();
}

TEST_F(ZipTest, DamagedDataIsNotHandedOut)
{
    fs::path path = dir / "damaged.zip";
    bytes content = sample(5000, 11, true);
    write_archive(path, 0, {{"dali1.tar", content}});
    bytes raw = file_bytes(path);
    // Stored data starts after the 30-byte local header and the 9-byte name.
    raw[30 + 9 + 100] ^= 0xFF;
    put_file(path, raw);

    mzip::zip_handle_ptr zip(mzip::zip_open(path.c_str(), 0, 'r'));
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(mzip::zip_entry_open_at(zip.get(), 0), 0);
    bytes buffer{1};
    std::size_t size = 7;
    EXPECT_EQ(mzip::zip_entry_read(zip.get(), &buffer, &size), -1);
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(size, 7u);
}
