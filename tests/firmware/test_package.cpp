// The package and raw readers on the packages checked in under
// tests/fixtures/firmware (made by 7-Zip; tests/fixtures/README.md).
#include "firmware/package.h"

#include "openssl_digest.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

namespace {

const std::string FIXTURES = MERVO_SOURCE_DIR "/tests/fixtures/firmware/";
const std::string PREPARING = "Preparing file...\n";
const std::string METHODS[] = {"copy", "deflate", "bzip2", "lzma", "xz", "lzma-no-end-marker"};

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

// Read, and the digest entry holds the image's SHA-256 by OpenSSL.
void expect_read(const read_outcome &r, std::size_t size)
{
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.output, PREPARING);
    EXPECT_EQ(r.file.length, size);
    EXPECT_EQ(r.digest, openssl_sha256(r.image()));
}

// Sets the uncompressed size recorded for `name` in its local and central headers.
void set_declared_size(bytes &data, const std::string &name, std::uint32_t size)
{
    int patched = 0;
    for (std::size_t at = 0; at + 46 + name.size() <= data.size(); ++at) {
        const bool local = data[at + 2] == 3 && data[at + 26] == name.size() &&
                           std::equal(name.begin(), name.end(), data.begin() + at + 30);
        const bool central = data[at + 2] == 1 && data[at + 28] == name.size() &&
                             std::equal(name.begin(), name.end(), data.begin() + at + 46);
        if (data[at] != 'P' || data[at + 1] != 'K' || !(local || central))
            continue;
        for (int i = 0; i < 4; ++i)
            data[at + (local ? 22 : 24) + i] = static_cast<std::uint8_t>(size >> (8 * i));
        ++patched;
    }
    ASSERT_EQ(patched, 2);
}

} // namespace

TEST(Package, EveryMethodGivesTheSameImage)
{
    const bytes image = read_package(FIXTURES + "aes256-copy.bin").image();
    for (const std::string &method : METHODS) {
        SCOPED_TRACE(method);
        const read_outcome r = read_package(FIXTURES + "aes256-" + method + ".bin");
        expect_read(r, 5000);
        EXPECT_TRUE(r.image() == image);
    }
    for (const char *fixture : {"other-entries-around", "duplicate-names", "digest-upper-case"}) {
        SCOPED_TRACE(fixture);
        const read_outcome r = read_package(FIXTURES + "reader/" + fixture + ".bin");
        expect_read(r, 5000);
        EXPECT_TRUE(r.image() == image) << "the first entry of each name";
    }
    // 64 bytes that are not all hexadecimal digits (a NUL among them cuts
    // the text short): read, but no digest.
    for (const std::string fixture : {"digest-not-hex.bin", "reader/digest-with-nul.bin"}) {
        const read_outcome r = read_package(FIXTURES + fixture);
        EXPECT_EQ(r.result, 0) << fixture;
        EXPECT_GT(r.file.length, 0u) << fixture;
        EXPECT_FALSE(r.digest.has_value()) << fixture;
    }
    // An empty image, stored or compressed: no data at all.
    for (const char *fixture : {"reader/empty-image-copy.bin", "reader/empty-image-deflate.bin"}) {
        const read_outcome r = read_package(FIXTURES + fixture);
        expect_read(r, 0);
        EXPECT_EQ(r.file.data, nullptr);
    }
    // The largest image is read whole; one byte more is refused unread.
    expect_read(read_package(FIXTURES + "reader/image-16mib-max.bin"), 16777214);
    EXPECT_EQ(read_package(FIXTURES + "image-16mib-plus-one.bin").result, FIRMWARE_TOO_LARGE);
}

TEST(Package, RefusedFilesAndEntries)
{
    temp_dir dir;
    ASSERT_TRUE(write_file(dir.file("empty.bin"), std::string()));
    ASSERT_TRUE(write_file(dir.file("text.bin"), std::string("this is not a zip archive\n")));
    std::filesystem::create_directories(dir.file("folder.bin"));
    const std::string OPEN = "File format is invalid (open).", BH = "File format is invalid (bh).",
                      PPFBH = "File format is invalid (ppfbh).", PBH = "File format is invalid (pbh).";
    const struct {
        std::string path;
        int result;
        std::string message;
    } refusals[] = {
        {dir.file("missing.bin"), -9, OPEN},
        {dir.file("empty.bin"), -9, OPEN},
        {dir.file("text.bin"), -9, OPEN},
        {dir.file("folder.bin"), -9, OPEN},
        // Names are exact, case-sensitive and whole; the digest entry is
        // looked for before the image entry.
        {FIXTURES + "reader/no-digest-entry.bin", -8, BH},
        {FIXTURES + "reader/names-in-upper-case.bin", -8, BH},
        {FIXTURES + "reader/names-in-folders.bin", -8, BH},
        {FIXTURES + "no-image-entry.bin", -4, "File format is invalid (binary)."},
        // Only WinZip AES with a 256-bit key, and only the package password
        // (in lower case).
        {FIXTURES + "reader/no-encryption.bin", -15, PPFBH},
        {FIXTURES + "zipcrypto-deflate.bin", -15, PPFBH},
        {FIXTURES + "aes128-deflate.bin", -15, PPFBH},
        {FIXTURES + "aes192-deflate.bin", -15, PPFBH},
        {FIXTURES + "reader/image-aes128.bin", -15, "File format is invalid (ppfb)."},
        {FIXTURES + "reader/digest-password-upper-case.bin", -11, PBH},
        {FIXTURES + "reader/image-wrong-password.bin", -12, PBH},
        {FIXTURES + "reader/digest-63-digits.bin", -7, "File content length is invalid (bh)."},
        {FIXTURES + "reader/digest-and-line-end.bin", -7, "File content length is invalid (bh)."},
    };
    for (const auto &r : refusals) {
        const read_outcome read = read_package(r.path);
        EXPECT_EQ(read.result, r.result) << r.path;
        EXPECT_EQ(read.output, PREPARING + r.message + "\n") << r.path;
    }
}

TEST(Package, DamagedOrMisdeclaredImageEntryIsRefused)
{
    temp_dir dir;
    const std::string path = dir.file("changed.bin");
    for (const std::string &method : METHODS) {
        SCOPED_TRACE(method);
        const bytes original = read_file(FIXTURES + "aes256-" + method + ".bin").value_or(bytes{});
        // A flipped bit in the middle of the encrypted image data fails the
        // entry's authentication code (compressed entries) or the digest.
        bytes data = original;
        data[data.size() / 2] ^= 0x10;
        ASSERT_TRUE(write_file(path, data));
        const read_outcome r = read_package(path);
        if (method == "copy") {
            EXPECT_EQ(r.result, 0);
            EXPECT_TRUE(r.digest.has_value() && openssl_sha256(r.image()) != *r.digest);
        } else if (method != "lzma-no-end-marker") {
            EXPECT_EQ(r.result, -12);
        }
        // Data decoding to more or fewer bytes than the entry declares is
        // refused; the output never grows past the declared size.
        for (const std::uint32_t declared : {4999u, 5001u}) {
            data = original;
            set_declared_size(data, "mervo.binary", declared);
            ASSERT_TRUE(write_file(path, data));
            EXPECT_EQ(read_package(path).output, PREPARING + "File format is invalid (pbh).\n") << declared;
        }
    }
}

TEST(RawRead, WholeFileOrNothing)
{
    temp_dir dir;
    const bytes image = pattern(5000);
    ASSERT_TRUE(write_file(dir.file("fw.binary"), image));
    read_outcome r = read_raw(dir.file("fw.binary"));
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.output, PREPARING);
    EXPECT_TRUE(r.image() == image);

    // A missing file or a folder: no failure, no message, empty record.
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
    ASSERT_EQ(shell("(cat " + quoted(dir.file("fw.binary")) + " > " + quoted(fifo) + ") >/dev/null 2>&1 &").status, 0);
    EXPECT_TRUE(read_raw(fifo).image() == image);

    // No record, or no place for the digest.
    const std::string refused = PREPARING + "Parameters error.\n";
    std::optional<bytes> digest;
    file_data file;
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(firmware_package_read(nullptr, &digest), -10); }), refused);
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(firmware_package_read(&file, nullptr), -10); }), refused);
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(firmware_raw_read(nullptr), -10); }), refused);
}
