// The package and raw readers on packages made by 7-Zip at test time.
#include "firmware/package.h"

#include "firmware_files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

namespace {

using namespace fwtest;

const std::string PREPARING = "Preparing file...\n";

struct read_outcome {
    int result = -100;
    std::string output;
    file_data file;
    std::optional<bytes> digest;
    bytes image() const { return bytes(file.data, file.data + file.length); }
};

read_outcome read_package(const std::string &path)
{
    read_outcome r;
    copy_bounded(r.file.path, path.c_str());
    r.output = capture_stdout([&] { r.result = firmware_package_read(&r.file, &r.digest); });
    return r;
}

read_outcome read_raw(const std::string &path)
{
    read_outcome r;
    copy_bounded(r.file.path, path.c_str());
    r.output = capture_stdout([&] { r.result = firmware_raw_read(&r.file); });
    return r;
}

void expect_read(const read_outcome &r, const bytes &image)
{
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.output, PREPARING);
    EXPECT_TRUE(r.image() == image) << r.file.length << " bytes read of " << image.size();
    EXPECT_EQ(r.digest, openssl_sha256(image));
}

void expect_refused(const read_outcome &r, int result, const std::string &message)
{
    EXPECT_EQ(r.result, result);
    EXPECT_EQ(r.output, PREPARING + message + "\n");
}

class PackageTest : public testing::Test {
protected:
    temp_dir dir;
    const bytes image = make_image(IMAGE_MIN + 5000);
    const bytes digest_text = text_bytes(to_hex(openssl_sha256(image)));

    read_outcome package_of(const std::vector<member> &members)
    {
        const std::string path = dir.file("firmware.bin");
        std::remove(path.c_str());
        make_package(path, members);
        return read_package(path);
    }
    member bh(bytes content = {}, std::string encryption = "AES256") const
    {
        return {"mervo.bh", content.empty() ? digest_text : content, std::move(encryption)};
    }
    member binary(std::string encryption = "AES256") const { return {"mervo.binary", image, std::move(encryption)}; }
};

TEST_F(PackageTest, EveryMethodIsRead)
{
    const std::vector<std::pair<std::string, std::string>> methods = {
        {"Copy", "AES-256 Store"}, {"Deflate", "AES-256 Deflate"}, {"BZip2", "AES-256 BZip2"},
        {"LZMA", "AES-256 LZMA"},  {"XZ", "AES-256 xz"},
        // LZMA without its end marker: the declared size alone ends the data.
        {"LZMA -meos=off", "AES-256 LZMA"}};
    for (const auto &[method, listed] : methods) {
        SCOPED_TRACE(method);
        const std::string path = dir.file(method + ".bin");
        make_standard_package(path, image, method);
        EXPECT_NE(entry_methods(path).find(listed), std::string::npos) << "7-Zip used " << entry_methods(path);
        expect_read(read_package(path), image);
    }
    // The largest image is read whole; one byte more is refused unread.
    const bytes big = make_image(16'777'214, {}, 5);
    make_standard_package(dir.file("big.bin"), big, "Deflate");
    expect_read(read_package(dir.file("big.bin")), big);
    make_standard_package(dir.file("bigger.bin"), make_image(16'777'215, {}, 5), "Deflate");
    EXPECT_EQ(read_package(dir.file("bigger.bin")).result, FIRMWARE_TOO_LARGE);
}

TEST_F(PackageTest, RefusedFilesAndEntries)
{
    ASSERT_TRUE(write_file(dir.file("empty.bin"), std::string()));
    ASSERT_TRUE(write_file(dir.file("text.bin"), std::string("this is not a zip archive\n")));
    std::filesystem::create_directories(dir.file("folder.bin"));
    for (const char *name : {"missing.bin", "empty.bin", "text.bin", "folder.bin"})
        expect_refused(read_package(dir.file(name)), -9, "File format is invalid (open).");

    const std::string BH = "File format is invalid (bh).", BINARY = "File format is invalid (binary).",
                      PPFBH = "File format is invalid (ppfbh).", PPFB = "File format is invalid (ppfb).",
                      PBH = "File format is invalid (pbh).";
    // Names are exact, case-sensitive and whole; the digest entry is looked
    // for before the image entry.
    struct refusal {
        std::vector<member> members;
        int result;
        const std::string &message;
    };
    std::vector<refusal> refusals = {
        {{binary()}, -8, BH},
        {{{"MERVO.BH", digest_text}, binary()}, -8, BH},
        {{{"Mervo.bh", digest_text}, binary()}, -8, BH},
        {{{"dir/mervo.bh", digest_text}, binary()}, -8, BH},
        {{bh()}, -4, BINARY},
        {{bh(), {"MERVO.BINARY", image}}, -4, BINARY},
        {{bh(), {"fw/mervo.binary", image}}, -4, BINARY},
    };
    // Only WinZip AES with a 256-bit key, and only the package password.
    for (const std::string weak : {"", "ZipCrypto", "AES128", "AES192"}) {
        refusals.push_back({{bh({}, weak), binary()}, -15, PPFBH});
        refusals.push_back({{bh(), binary(weak)}, -15, PPFB});
    }
    for (const std::string method : {"Copy", "Deflate"}) {
        // The right password in upper case is a wrong one.
        refusals.push_back(
            {{{"mervo.bh", digest_text, "AES256", method, "5E0A7C21D9B84F36A2C17E90B4D35F8826CA1E73"}, binary()}, -11, PBH});
        refusals.push_back({{bh(), {"mervo.binary", image, "AES256", method, "wrong"}}, -12, PBH});
    }
    for (const refusal &r : refusals) {
        SCOPED_TRACE(r.members[0].name + " " + r.members[0].encryption + " " + r.members[0].method + ", " +
                     r.members.back().name + " " + r.members.back().encryption);
        expect_refused(package_of(r.members), r.result, r.message);
    }
}

TEST_F(PackageTest, DigestEntryContentAndEmptyImage)
{
    const std::string hex = to_hex(openssl_sha256(image));
    member compressed = bh(text_bytes(hex + hex));
    compressed.method = "Deflate";
    for (const member &wrong_length : {bh(text_bytes(hex.substr(0, 63))), bh(text_bytes(hex + "\n")),
                                       bh(text_bytes(hex + hex + hex)), compressed})
        expect_refused(package_of({wrong_length, binary()}), -7, "File content length is invalid (bh).");

    // 64 bytes that are not all hexadecimal digits (a NUL among them cuts the
    // text short): read, but no digest.
    std::string not_hex = hex;
    not_hex[40] = 'g';
    std::string with_nul = hex;
    with_nul[4] = '\0';
    for (const std::string &text : {not_hex, with_nul}) {
        const read_outcome r = package_of({bh(text_bytes(text)), binary()});
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.output, PREPARING);
        EXPECT_TRUE(r.image() == image);
        EXPECT_FALSE(r.digest.has_value());
    }
    // Upper-case digits give the same digest.
    expect_read(package_of({bh(text_bytes(to_hex(openssl_sha256(image), true))), binary()}), image);

    // An empty image, stored or compressed: no data at all.
    for (const std::string method : {"Copy", "Deflate"}) {
        const read_outcome r =
            package_of({bh(text_bytes(to_hex(openssl_sha256(bytes{})))), {"mervo.binary", {}, "AES256", method}});
        expect_read(r, bytes{});
        EXPECT_EQ(r.file.data, nullptr);
    }
}

TEST_F(PackageTest, EntryOrderOtherEntriesAndDuplicates)
{
    // 7-Zip sorts entries by name: entries named to sort elsewhere are
    // renamed into place afterwards.
    const bytes other = make_image(IMAGE_MIN + 10, {}, 2);
    const bytes other_digest = text_bytes(to_hex(openssl_sha256(other)));
    struct arrangement {
        std::vector<member> members;
        std::vector<std::pair<std::string, std::string>> renames;
        std::string names;
        const bytes &read;
    };
    const arrangement arrangements[] = {
        // The digest entry last, other entries around: they do not disturb.
        {{{"readme.txt", text_bytes("notes")}, binary(), {"dir/mervo.bh", bytes(64, 'x')}, {"zzzzz.bh", digest_text}},
         {{"zzzzz.bh", "mervo.bh"}},
         "dir/mervo.bh\nmervo.binary\nreadme.txt\nmervo.bh\n",
         image},
        // Duplicate names: the first of each wins.
        {{bh(), {"mervo.bz", other_digest}, binary(), {"mervo.binarz", other}},
         {{"mervo.bz", "mervo.bh"}, {"mervo.binarz", "mervo.binary"}},
         "mervo.bh\nmervo.binary\nmervo.binary\nmervo.bh\n",
         image},
        {{{"mervo.ba", other_digest}, bh(), {"mervo.binara", other}, binary()},
         {{"mervo.ba", "mervo.bh"}, {"mervo.binara", "mervo.binary"}},
         "mervo.bh\nmervo.bh\nmervo.binary\nmervo.binary\n",
         other},
    };
    for (const arrangement &a : arrangements) {
        const std::string path = dir.file("arranged.bin");
        std::remove(path.c_str());
        make_package(path, a.members);
        for (const auto &[from, to] : a.renames)
            rename_entries(path, from, to);
        ASSERT_EQ(entry_names(path), a.names);
        expect_read(read_package(path), a.read);
    }
}

// Sets the uncompressed size recorded for entry `name` in its local and
// central headers.
void set_declared_size(const std::string &archive, const std::string &name, std::uint32_t size)
{
    bytes data = read_file(archive).value_or(bytes{});
    int patched = 0;
    for (std::size_t at = 0; at + 46 + name.size() <= data.size(); ++at) {
        const bool local = std::equal(name.begin(), name.end(), data.begin() + at + 30) && data[at + 26] == name.size();
        const bool central = std::equal(name.begin(), name.end(), data.begin() + at + 46) && data[at + 28] == name.size();
        if (data[at] != 'P' || data[at + 1] != 'K' || !((data[at + 2] == 3 && local) || (data[at + 2] == 1 && central)))
            continue;
        const std::size_t size_at = at + (data[at + 2] == 3 ? 22 : 24);
        for (int i = 0; i < 4; ++i)
            data[size_at + i] = static_cast<std::uint8_t>(size >> (8 * i));
        ++patched;
    }
    ASSERT_EQ(patched, 2);
    ASSERT_TRUE(write_file(archive, data));
}

TEST_F(PackageTest, DamagedOrMisdeclaredImageEntryIsRefused)
{
    for (const std::string method : {"Copy", "Deflate", "BZip2", "LZMA", "XZ", "LZMA -meos=off"}) {
        const std::string original = dir.file("original.bin"), path = dir.file("changed.bin");
        std::remove(original.c_str());
        make_standard_package(original, image, method);
        // A flipped bit in the middle of the encrypted image data fails the
        // entry's authentication code (compressed entries) or the digest.
        bytes data = read_file(original).value_or(bytes{});
        data[data.size() / 2] ^= 0x10;
        ASSERT_TRUE(write_file(path, data));
        const read_outcome r = read_package(path);
        if (method == "Copy") {
            EXPECT_EQ(r.result, 0);
            ASSERT_TRUE(r.digest.has_value());
            EXPECT_NE(openssl_sha256(r.image()), *r.digest);
        } else if (method != "LZMA -meos=off") {
            expect_refused(r, -12, "File format is invalid (pbh).");
        }
        // Data decoding to more or fewer bytes than the entry declares is
        // refused; the output never grows past the declared size.
        for (int delta : {-1, 1}) {
            SCOPED_TRACE(method + " " + std::to_string(delta));
            std::filesystem::copy_file(original, path, std::filesystem::copy_options::overwrite_existing);
            set_declared_size(path, "mervo.binary", static_cast<std::uint32_t>(image.size() + delta));
            ASSERT_FALSE(HasFatalFailure());
            expect_refused(read_package(path), -12, "File format is invalid (pbh).");
        }
    }
}

TEST(RawRead, WholeFileOrNothing)
{
    temp_dir dir;
    const bytes image = make_image(IMAGE_MIN + 77);
    ASSERT_TRUE(write_file(dir.file("fw.binary"), image));
    read_outcome r = read_raw(dir.file("fw.binary"));
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.output, PREPARING);
    EXPECT_TRUE(r.image() == image);

    // A missing file or a directory: no failure, no message, empty record.
    std::filesystem::create_directories(dir.file("folder.binary"));
    for (const char *name : {"missing.binary", "folder.binary"}) {
        r = read_raw(dir.file(name));
        EXPECT_EQ(r.result, 0) << name;
        EXPECT_EQ(r.output, PREPARING) << name;
        EXPECT_EQ(r.file.data, nullptr) << name;
    }

    // Read through a pipe, whose size is not known in advance.
    const std::string fifo = dir.file("pipe.binary");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(run_program("sh", {"-c", "(cat \"$0\" > \"$1\") >/dev/null 2>&1 &", dir.file("fw.binary"), fifo}).status, 0);
    EXPECT_TRUE(read_raw(fifo).image() == image);

    // No record, or no place for the digest.
    const std::string refused = PREPARING + "Parameters error.\n";
    std::optional<bytes> digest;
    file_data file;
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(firmware_package_read(nullptr, &digest), -10); }), refused);
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(firmware_package_read(&file, nullptr), -10); }), refused);
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(firmware_raw_read(nullptr), -10); }), refused);
}

} // namespace
