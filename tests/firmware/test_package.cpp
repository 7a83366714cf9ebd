// The package and raw readers on packages made by 7-Zip at test time.
#include "firmware/package.h"

#include "firmware_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace {

using namespace fwtest;

struct read_outcome {
    int result;
    std::string output;
    file_data file;
    std::optional<bytes> digest;
};

read_outcome read_package(const fs::path &path)
{
    read_outcome r;
    copy_bounded(r.file.path, path.c_str());
    testing::internal::CaptureStdout();
    r.result = firmware_package_read(&r.file, &r.digest);
    std::fflush(stdout);
    r.output = testing::internal::GetCapturedStdout();
    return r;
}

read_outcome read_raw(const fs::path &path)
{
    read_outcome r;
    copy_bounded(r.file.path, path.c_str());
    testing::internal::CaptureStdout();
    r.result = firmware_raw_read(&r.file);
    std::fflush(stdout);
    r.output = testing::internal::GetCapturedStdout();
    return r;
}

bytes image_of(const file_data &file) { return bytes(file.data, file.data + file.length); }

const std::string preparing = "Preparing file...\n";

class PackageTest : public testing::Test {
protected:
    temp_dir dir;
    const bytes image = make_image(IMAGE_MIN + 5000);
    const bytes digest_text = text_bytes(to_hex(openssl_sha256(image)));

    // A package of the digest entry `bh` and the image entry `binary`.
    read_outcome package_of(const std::vector<member> &members)
    {
        const fs::path path = dir / "firmware.bin";
        fs::remove(path);
        make_package(path, members);
        return read_package(path);
    }
    member bh(bytes content = {}) const { return {"mervo.bh", content.empty() ? digest_text : content}; }
    member binary() const { return {"mervo.binary", image}; }

    void expect_refused(const read_outcome &r, int result, const std::string &message)
    {
        EXPECT_EQ(r.result, result);
        EXPECT_EQ(r.output, preparing + message + "\n");
    }
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
        const fs::path path = dir / (method + ".bin");
        make_standard_package(path, image, method);
        // 7-Zip really used the method for the image.
        EXPECT_NE(entry_methods(path).find(listed), std::string::npos) << entry_methods(path);
        read_outcome r = read_package(path);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.output, preparing);
        EXPECT_EQ(image_of(r.file), image);
        EXPECT_EQ(r.file.length, image.size());
        ASSERT_TRUE(r.digest.has_value());
        EXPECT_EQ(*r.digest, openssl_sha256(image));
        // The package's own bytes are not what the record holds.
        EXPECT_NE(r.file.length, fs::file_size(path));
    }
}

TEST_F(PackageTest, ImageLargerThanTheFirstOutputBufferIsReadWhole)
{
    // Over 16 MiB: the output buffer grows while deflate data is decoded.
    const bytes big = make_image(17'000'003, {}, 5);
    const fs::path path = dir / "big.bin";
    make_standard_package(path, big, "Deflate");
    read_outcome r = read_package(path);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.file.length, big.size());
    EXPECT_TRUE(image_of(r.file) == big);
}

TEST_F(PackageTest, FilesThatAreNoZipArchive)
{
    const std::string open_failed = "File format is invalid (open).";
    expect_refused(read_package(dir / "missing.bin"), -9, open_failed);
    write_file(dir / "empty.bin", bytes{});
    expect_refused(read_package(dir / "empty.bin"), -9, open_failed);
    write_file(dir / "text.bin", std::string("this is not a zip archive\n"));
    expect_refused(read_package(dir / "text.bin"), -9, open_failed);
    fs::create_directories(dir / "folder.bin");
    expect_refused(read_package(dir / "folder.bin"), -9, open_failed);
}

TEST_F(PackageTest, MissingEntries)
{
    // No digest entry: refused before the image entry is looked at.
    expect_refused(package_of({binary()}), -8, "File format is invalid (bh).");
    // The digest entry's name in other letter case, or inside a directory.
    expect_refused(package_of({{"MERVO.BH", digest_text}, binary()}), -8, "File format is invalid (bh).");
    expect_refused(package_of({{"Mervo.bh", digest_text}, binary()}), -8, "File format is invalid (bh).");
    expect_refused(package_of({{"dir/mervo.bh", digest_text}, binary()}), -8, "File format is invalid (bh).");
    // No image entry, or only one in other case or under a directory.
    expect_refused(package_of({bh()}), -4, "File format is invalid (binary).");
    expect_refused(package_of({bh(), {"MERVO.BINARY", image}}), -4, "File format is invalid (binary).");
    expect_refused(package_of({bh(), {"fw/mervo.binary", image}}), -4, "File format is invalid (binary).");
    // Other entries do not disturb, and the order does not matter: 7-Zip
    // sorts entries by name, so the digest entry is renamed into place after
    // the image entry.
    const fs::path path = dir / "order.bin";
    make_package(path, {{"readme.txt", text_bytes("notes")}, binary(), {"dir/mervo.bh", bytes(64, 'x')},
                        {"zzzzz.bh", digest_text}});
    rename_entries(path, "zzzzz.bh", "mervo.bh");
    EXPECT_EQ(run_output("zipinfo -1 " + quote(path.string())), "dir/mervo.bh\nmervo.binary\nreadme.txt\nmervo.bh\n");
    read_outcome r = read_package(path);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.output, preparing);
    EXPECT_EQ(image_of(r.file), image);
    EXPECT_EQ(r.digest, openssl_sha256(image));
}

TEST_F(PackageTest, EntriesNotUnderAes256AreRefused)
{
    for (const std::string encryption : {"", "ZipCrypto", "AES128", "AES192"}) {
        SCOPED_TRACE("encryption '" + encryption + "'");
        member weak_bh = bh();
        weak_bh.encryption = encryption;
        expect_refused(package_of({weak_bh, binary()}), -15, "File format is invalid (ppfbh).");
        member weak_binary = binary();
        weak_binary.encryption = encryption;
        expect_refused(package_of({bh(), weak_binary}), -15, "File format is invalid (ppfb).");
    }
}

TEST_F(PackageTest, WrongPassword)
{
    for (const std::string method : {"Copy", "Deflate"}) {
        SCOPED_TRACE(method);
        member wrong_bh = bh();
        wrong_bh.password = "5E0A7C21D9B84F36A2C17E90B4D35F8826CA1E73"; // the right one in upper case
        wrong_bh.method = method;
        expect_refused(package_of({wrong_bh, binary()}), -11, "File format is invalid (pbh).");
        member wrong_binary = binary();
        wrong_binary.password = "wrong";
        wrong_binary.method = method;
        expect_refused(package_of({bh(), wrong_binary}), -12, "File format is invalid (pbh).");
    }
}

TEST_F(PackageTest, DigestEntryContent)
{
    const std::string length_invalid = "File content length is invalid (bh).";
    const std::string hex = to_hex(openssl_sha256(image));
    expect_refused(package_of({bh(text_bytes(hex.substr(0, 63))), binary()}), -7, length_invalid);
    expect_refused(package_of({bh(text_bytes(hex + "\n")), binary()}), -7, length_invalid);
    expect_refused(package_of({bh(text_bytes(hex + hex + hex)), binary()}), -7, length_invalid);
    {
        member compressed = bh(text_bytes(hex + hex));
        compressed.method = "Deflate";
        expect_refused(package_of({compressed, binary()}), -7, length_invalid);
    }

    // 64 bytes that are not all hexadecimal digits: read, but no digest.
    std::string not_hex = hex;
    not_hex[40] = 'g';
    read_outcome r = package_of({bh(text_bytes(not_hex)), binary()});
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.output, preparing);
    EXPECT_FALSE(r.digest.has_value());
    EXPECT_EQ(image_of(r.file), image);
    // A NUL inside would cut the text short: no digest either.
    bytes with_nul = text_bytes(hex);
    with_nul[4] = 0;
    r = package_of({bh(with_nul), binary()});
    EXPECT_EQ(r.result, 0);
    EXPECT_FALSE(r.digest.has_value());

    // Upper-case digits give the same digest.
    r = package_of({bh(text_bytes(to_hex(openssl_sha256(image), true))), binary()});
    EXPECT_EQ(r.result, 0);
    ASSERT_TRUE(r.digest.has_value());
    EXPECT_EQ(*r.digest, openssl_sha256(image));
}

TEST_F(PackageTest, EmptyImage)
{
    for (const std::string method : {"Copy", "Deflate"}) {
        member empty = {"mervo.binary", {}, "AES256", method};
        read_outcome r = package_of({bh(text_bytes(to_hex(openssl_sha256(bytes{})))), empty});
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.output, preparing);
        EXPECT_EQ(r.file.length, 0u);
        EXPECT_EQ(r.file.data, nullptr);
        ASSERT_TRUE(r.digest.has_value());
        EXPECT_EQ(*r.digest, openssl_sha256(bytes{}));
    }
}

TEST_F(PackageTest, FirstOfDuplicateNamesWins)
{
    const bytes other = make_image(IMAGE_MIN + 10, {}, 2);
    const bytes other_digest = text_bytes(to_hex(openssl_sha256(other)));
    // 7-Zip sorts entries by name: entries named to sort just after (or just
    // before) the real ones are renamed to the real names afterwards.
    const fs::path path = dir / "dup.bin";
    make_package(path, {bh(), {"mervo.bz", other_digest}, binary(), {"mervo.binarz", other}});
    rename_entries(path, "mervo.bz", "mervo.bh");
    rename_entries(path, "mervo.binarz", "mervo.binary");
    EXPECT_EQ(run_output("zipinfo -1 " + quote(path.string())), "mervo.bh\nmervo.binary\nmervo.binary\nmervo.bh\n");
    read_outcome r = read_package(path);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(image_of(r.file), image);
    EXPECT_EQ(r.digest, openssl_sha256(image));

    const fs::path reversed = dir / "dup2.bin";
    make_package(reversed, {{"mervo.ba", other_digest}, bh(), {"mervo.binara", other}, binary()});
    rename_entries(reversed, "mervo.ba", "mervo.bh");
    rename_entries(reversed, "mervo.binara", "mervo.binary");
    EXPECT_EQ(run_output("zipinfo -1 " + quote(reversed.string())), "mervo.bh\nmervo.bh\nmervo.binary\nmervo.binary\n");
    r = read_package(reversed);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(image_of(r.file), other);
    EXPECT_EQ(r.digest, openssl_sha256(other));
}

TEST_F(PackageTest, DamagedImageEntryIsRefused)
{
    // A flipped bit in the encrypted image data fails the entry's
    // authentication code (compressed entries) or its digest (stored ones).
    for (const std::string method : {"Deflate", "BZip2", "LZMA", "XZ"}) {
        SCOPED_TRACE(method);
        const fs::path path = dir / (method + ".bin");
        make_standard_package(path, image, method);
        bytes data = read_file(path);
        // The image entry's data lies in the middle of the archive.
        data[data.size() / 2] ^= 0x10;
        write_file(path, data);
        expect_refused(read_package(path), -12, "File format is invalid (pbh).");
    }
    const fs::path stored = dir / "stored.bin";
    make_standard_package(stored, image, "Copy");
    bytes data = read_file(stored);
    data[data.size() / 2] ^= 0x10;
    write_file(stored, data);
    read_outcome r = read_package(stored);
    EXPECT_EQ(r.result, 0);
    ASSERT_TRUE(r.digest.has_value());
    EXPECT_NE(openssl_sha256(image_of(r.file)), *r.digest);
}

// Sets the uncompressed size recorded for entry `name` in its local and
// central headers.
void set_declared_size(const fs::path &archive, const std::string &name, std::uint32_t size)
{
    bytes data = read_file(archive);
    int patched = 0;
    for (std::size_t at = 0; at + 46 + name.size() <= data.size(); ++at) {
        std::size_t size_at = 0;
        if (data[at] == 'P' && data[at + 1] == 'K' && data[at + 2] == 3 && data[at + 3] == 4 &&
            std::equal(name.begin(), name.end(), data.begin() + at + 30) && data[at + 26] == name.size())
            size_at = at + 22;
        else if (data[at] == 'P' && data[at + 1] == 'K' && data[at + 2] == 1 && data[at + 3] == 2 &&
                 std::equal(name.begin(), name.end(), data.begin() + at + 46) && data[at + 28] == name.size())
            size_at = at + 24;
        if (size_at == 0)
            continue;
        for (int i = 0; i < 4; ++i)
            data[size_at + i] = static_cast<std::uint8_t>(size >> (8 * i));
        ++patched;
    }
    ASSERT_EQ(patched, 2);
    write_file(archive, data);
}

TEST_F(PackageTest, DeclaredSizeBoundsTheImage)
{
    // Data that decodes to more or fewer bytes than the entry declares is
    // refused; the output never grows past the declared size.
    for (const std::string method : {"Copy", "Deflate", "BZip2", "LZMA", "XZ", "LZMA -meos=off"}) {
        const fs::path original = dir / "original.bin";
        fs::remove(original);
        make_standard_package(original, image, method);
        for (std::int64_t delta : {-1, 1, -1000}) {
            SCOPED_TRACE(method + " " + std::to_string(delta));
            const fs::path path = dir / "sized.bin";
            fs::copy_file(original, path, fs::copy_options::overwrite_existing);
            set_declared_size(path, "mervo.binary", static_cast<std::uint32_t>(image.size() + delta));
            ASSERT_FALSE(HasFatalFailure());
            expect_refused(read_package(path), -12, "File format is invalid (pbh).");
        }
    }
}

TEST(PackageRead, MissingArguments)
{
    testing::internal::CaptureStdout();
    std::optional<bytes> digest;
    EXPECT_EQ(firmware_package_read(nullptr, &digest), -10);
    file_data file;
    EXPECT_EQ(firmware_package_read(&file, nullptr), -10);
    EXPECT_EQ(firmware_raw_read(nullptr), -10);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              preparing + "Parameters error.\n" + preparing + "Parameters error.\n" + preparing +
                  "Parameters error.\n");
}

TEST(RawRead, WholeFileOrNothing)
{
    temp_dir dir;
    const bytes image = make_image(IMAGE_MIN + 77);
    write_file(dir / "fw.binary", image);
    read_outcome r = read_raw(dir / "fw.binary");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.output, preparing);
    EXPECT_EQ(image_of(r.file), image);

    // A missing file or a directory: no failure, no message, empty record.
    for (const char *name : {"missing.binary", "folder.binary"}) {
        fs::create_directories(dir / "folder.binary");
        r = read_raw(dir / name);
        EXPECT_EQ(r.result, 0) << name;
        EXPECT_EQ(r.output, preparing) << name;
        EXPECT_EQ(r.file.length, 0u) << name;
        EXPECT_EQ(r.file.data, nullptr) << name;
    }

    // Read through a pipe, whose size is not known in advance.
    const fs::path fifo = dir / "pipe.binary";
    ASSERT_EQ(run("mkfifo " + quote(fifo.string())), 0);
    ASSERT_EQ(run("(cat " + quote((dir / "fw.binary").string()) + " > " + quote(fifo.string()) + ") &"), 0);
    r = read_raw(fifo);
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(image_of(r.file) == image);
}

TEST(HexDecode, Cases)
{
    EXPECT_EQ(hex_decode("0aFf"), (bytes{0x0A, 0xFF}));
    EXPECT_EQ(hex_decode("0AfF"), (bytes{0x0A, 0xFF}));
    EXPECT_EQ(hex_decode("abc"), std::nullopt);
    EXPECT_EQ(hex_decode("zz"), std::nullopt);
    EXPECT_EQ(hex_decode("0g"), std::nullopt);
    EXPECT_EQ(hex_decode(" 0"), std::nullopt);
    EXPECT_EQ(hex_decode(nullptr), std::nullopt);
    auto empty = hex_decode("");
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());
    EXPECT_EQ(hex_decode("00112233445566778899aabbccddeeff"),
              (bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}));
}

} // namespace
