// The tar layer on archives built in memory and on disk.
#include "tar_build.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

bytes pattern(std::size_t length, unsigned seed = 1)
{
    bytes data(length);
    for (std::size_t i = 0; i < length; ++i)
        data[i] = static_cast<std::uint8_t>((i * 31 + seed * 7) & 0xff);
    return data;
}

void put_field(std::uint8_t *record, std::size_t offset, std::size_t length, const char *text)
{
    std::memset(record + offset, 0, length);
    std::memcpy(record + offset, text, std::strlen(text));
}

std::string temp_path(const char *leaf)
{
    return std::string(::testing::TempDir()) + "mervo_tar_" + std::to_string(getpid()) + "_" + leaf;
}

void save(const std::string &path, const bytes &data)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), file), data.size());
    std::fclose(file);
}

std::uint32_t length_of(const bytes &data) { return static_cast<std::uint32_t>(data.size()); }

} // namespace

TEST(TarWrite, HeaderInTheControllersDialect)
{
    bytes archive = tar_build({{"/etc/config/dali/dali1.bin", pattern(11168)}});
    const char *record = reinterpret_cast<const char *>(archive.data());
    EXPECT_STREQ(record, "/etc/config/dali/dali1.bin");
    EXPECT_EQ(std::memcmp(record + 100, "664\0\0\0\0\0", 8), 0);
    EXPECT_EQ(std::memcmp(record + 108, "0\0\0\0\0\0\0\0", 8), 0);
    for (int i = 116; i < 124; ++i)
        EXPECT_EQ(record[i], 0) << i;
    EXPECT_EQ(std::memcmp(record + 124, "25640\0\0\0\0\0\0\0", 12), 0);
    EXPECT_EQ(std::memcmp(record + 136, "0\0\0\0\0\0\0\0\0\0\0\0", 12), 0);
    EXPECT_EQ(record[156], '0');
    for (int i = 157; i < 512; ++i)
        EXPECT_EQ(record[i], 0) << i;

    // Checksum: six octal digits, a NUL, a space; 256 plus every other byte.
    unsigned sum = 256;
    for (int i = 0; i < 512; ++i)
        if (i < 148 || i >= 156)
            sum += static_cast<unsigned char>(record[i]);
    char expected[8];
    std::snprintf(expected, sizeof expected, "%06o", sum);
    EXPECT_EQ(std::memcmp(record + 148, expected, 7), 0);
    EXPECT_EQ(record[155], ' ');

    // A header of any type: type 0 is written as '0', others as they are.
    tar_t tar;
    tar_mem_open_write(&tar);
    tar_header_t header;
    std::strcpy(header.name, "link");
    std::strcpy(header.linkname, "target");
    header.type = '2';
    header.mode = 0777;
    header.owner = 1000;
    header.mtime = 1700000000;
    ASSERT_EQ(tar_write_header(&tar, &header), TAR_OK);
    EXPECT_EQ(tar.pos, 512u);
    EXPECT_EQ(tar.remaining_data, 0u);
    bytes link = tar_mem_take(&tar);
    ASSERT_EQ(link.size(), 512u);
    EXPECT_EQ(link[156], '2');
    EXPECT_STREQ(reinterpret_cast<const char *>(link.data()) + 157, "target");
    EXPECT_STREQ(reinterpret_cast<const char *>(link.data()) + 108, "1750");
    EXPECT_STREQ(reinterpret_cast<const char *>(link.data()) + 136, "14524770400");

    // Values that do not fit their field, and names that would be cut, are refused.
    tar_mem_open_write(&tar);
    header.mode = 010000000;
    EXPECT_EQ(tar_write_header(&tar, &header), TAR_FAILURE);
    EXPECT_EQ(tar_write_file_header(&tar, std::string(100, 'n').c_str(), 1), TAR_FAILURE);
    EXPECT_EQ(tar.pos, 0u);
    EXPECT_EQ(tar_write_file_header(&tar, std::string(99, 'n').c_str(), 1), TAR_OK);
}

TEST(TarWrite, PaddingAndArchiveLength)
{
    for (std::size_t n : {0u, 1u, 511u, 512u, 513u, 1024u, 11168u}) {
        bytes archive = tar_build({{"f", pattern(n)}});
        std::size_t rounded = (n + 511) / 512 * 512;
        EXPECT_EQ(archive.size(), 512 + rounded + 1024) << n;
        EXPECT_TRUE(std::equal(archive.begin() + 512 + n, archive.end(), bytes(archive.size() - 512 - n).begin())) << n;
    }

    // 512 bytes: the next header follows at once. 513: 511 NUL bytes first.
    bytes archive = tar_build({{"a", pattern(512)}, {"b", pattern(513)}, {"c", pattern(3)}});
    EXPECT_EQ(archive.size(), 512 + 512 + 512 + 1024 + 512 + 512 + 1024u);
    EXPECT_STREQ(reinterpret_cast<const char *>(archive.data()) + 1024, "b");
    EXPECT_STREQ(reinterpret_cast<const char *>(archive.data()) + 1536 + 1024, "c");
    for (std::size_t i = 1536 + 513; i < 1536 + 1024; ++i)
        EXPECT_EQ(archive[i], 0) << i;

    // Data written in pieces gives the same bytes as one write.
    tar_t tar;
    tar_mem_open_write(&tar);
    bytes data = pattern(513);
    tar_write_file_header(&tar, "f", 513);
    EXPECT_EQ(tar_write_data(&tar, data.data(), 500), TAR_OK);
    EXPECT_EQ(tar.remaining_data, 13u);
    EXPECT_EQ(tar_write_data(&tar, data.data() + 500, 14), TAR_FAILURE) << "more than the header announced";
    EXPECT_EQ(tar_write_data(&tar, data.data() + 500, 13), TAR_OK);
    EXPECT_EQ(tar.pos, 1536u);
    EXPECT_EQ(tar_finalize(&tar), TAR_OK);
    EXPECT_EQ(tar_mem_take(&tar), tar_build({{"f", data}}));
}

TEST(TarRead, FindAndReadData)
{
    bytes first = pattern(700, 1), second = pattern(1024, 2), empty;
    bytes archive = tar_build({{"/etc/config/system.cfg", first}, {"status.txt", second}, {"empty", empty}});
    tar_t tar;
    ASSERT_EQ(tar_mem_open_read(&tar, archive.data(), length_of(archive)), TAR_OK);

    tar_header_t header;
    ASSERT_EQ(tar_find(&tar, "status.txt", &header), TAR_OK);
    EXPECT_EQ(tar.pos, 512u + 1024u);
    EXPECT_EQ(header.size, 1024u);
    EXPECT_EQ(header.mode, 0664u);
    EXPECT_EQ(header.owner, 0u);
    EXPECT_EQ(header.mtime, 0u);
    EXPECT_EQ(header.type, '0');
    EXPECT_STREQ(header.linkname, "");
    EXPECT_TRUE(tar_entry_held(&tar, header.size));

    // Read in two pieces; after the last byte pos is back at the header.
    bytes data(1024);
    ASSERT_EQ(tar_read_data(&tar, data.data(), 1000), TAR_OK);
    EXPECT_EQ(tar.remaining_data, 24u);
    EXPECT_EQ(tar.pos, 1536u + 512u + 1000u);
    EXPECT_EQ(tar_read_data(&tar, data.data() + 1000, 25), TAR_FAILURE) << "beyond the entry";
    ASSERT_EQ(tar_read_data(&tar, data.data() + 1000, 24), TAR_OK);
    EXPECT_EQ(data, second);
    EXPECT_EQ(tar.pos, 1536u);
    EXPECT_EQ(tar.remaining_data, 0u);

    // The same entry again, in one piece.
    bytes again(1024);
    ASSERT_EQ(tar_read_data(&tar, again.data(), 1024), TAR_OK);
    EXPECT_EQ(again, second);

    ASSERT_EQ(tar_find(&tar, "/etc/config/system.cfg", nullptr), TAR_OK);
    EXPECT_EQ(tar.pos, 0u);
    bytes head(700);
    ASSERT_EQ(tar_read_data(&tar, head.data(), 700), TAR_OK);
    EXPECT_EQ(head, first);
    ASSERT_EQ(tar_find(&tar, "empty", &header), TAR_OK);
    EXPECT_EQ(header.size, 0u);

    // Exact, case-sensitive, whole names only.
    EXPECT_EQ(tar_find(&tar, "Status.txt", &header), TAR_NOT_FOUND);
    EXPECT_EQ(tar_find(&tar, "status", &header), TAR_NOT_FOUND);
    EXPECT_EQ(tar_find(&tar, "status.txt2", &header), TAR_NOT_FOUND);

    // Walking: header, next, until the null record.
    ASSERT_EQ(tar_rewind(&tar), TAR_OK);
    std::vector<std::string> names;
    while (tar_read_header(&tar, &header) == TAR_OK) {
        names.emplace_back(header.name);
        ASSERT_EQ(tar_next(&tar), TAR_OK);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"/etc/config/system.cfg", "status.txt", "empty"}));
    EXPECT_EQ(tar_read_header(&tar, &header), TAR_NULL_RECORD);
    EXPECT_EQ(tar.pos, archive.size() - 1024);
    EXPECT_EQ(tar_close(&tar), TAR_OK);

    // Only the end marker.
    bytes marker(1024);
    tar_mem_open_read(&tar, marker.data(), length_of(marker));
    EXPECT_EQ(tar_find(&tar, "status.txt", &header), TAR_NOT_FOUND);
    EXPECT_EQ(tar_find(&tar, "", &header), TAR_NOT_FOUND);
}

TEST(TarRead, NullRecordsAndChecksums)
{
    bytes archive = tar_build({{"a", pattern(10)}, {"b", pattern(20)}});
    tar_t tar;
    tar_header_t header;

    // A record whose checksum field begins with NUL ends the archive, whatever else it holds.
    bytes null_record = archive;
    null_record[512 + 512 + 148] = 0;
    tar_mem_open_read(&tar, null_record.data(), length_of(null_record));
    ASSERT_EQ(tar_next(&tar), TAR_OK);
    EXPECT_EQ(tar_read_header(&tar, &header), TAR_NULL_RECORD);
    EXPECT_EQ(tar.pos, 1024u);
    EXPECT_EQ(tar_find(&tar, "b", &header), TAR_NOT_FOUND);

    // One changed byte anywhere outside the checksum field.
    for (std::size_t offset : {0u, 99u, 100u, 116u, 124u, 147u, 156u, 157u, 300u, 511u}) {
        bytes damaged = archive;
        damaged[offset] ^= 0x01;
        tar_mem_open_read(&tar, damaged.data(), length_of(damaged));
        EXPECT_EQ(tar_read_header(&tar, &header), TAR_BAD_CHECKSUM) << offset;
        EXPECT_EQ(tar.pos, 0u);
        EXPECT_EQ(tar_find(&tar, "b", &header), TAR_BAD_CHECKSUM) << offset;
    }

    // The space at the end of the checksum field is not looked at.
    bytes spaced = archive;
    spaced[155] = 0;
    tar_mem_open_read(&tar, spaced.data(), length_of(spaced));
    EXPECT_EQ(tar_read_header(&tar, &header), TAR_OK);
    spaced[155] = 'x';
    EXPECT_EQ(tar_read_header(&tar, &header), TAR_OK);

    // The damage at tar_open.
    std::string path = temp_path("damaged.tar");
    bytes damaged = archive;
    damaged[7] = 'Z';
    save(path, damaged);
    EXPECT_EQ(tar_open(&tar, path.c_str(), "r"), TAR_BAD_CHECKSUM);
    EXPECT_EQ(tar.file, nullptr) << "closed again";
    save(path, spaced);
    EXPECT_EQ(tar_open(&tar, path.c_str(), "r"), TAR_OK);
    EXPECT_EQ(tar_close(&tar), TAR_OK);
    std::remove(path.c_str());
}

TEST(TarRead, HeadersOfOtherWriters)
{
    bytes archive = tar_build({{"x", pattern(1000)}});
    std::uint8_t *record = archive.data();
    // Zero-padded to the full width, ended by NUL or by space.
    put_field(record, 100, 8, "0000664");
    put_field(record, 108, 8, "0001750 ");
    put_field(record, 116, 8, "0001750");
    put_field(record, 124, 12, "00000001750");
    put_field(record, 136, 12, "14524770400 ");
    std::memcpy(record + 257, "ustar\0" "00", 8);
    tar_reseal(record);
    tar_t tar;
    tar_header_t header;
    tar_mem_open_read(&tar, archive.data(), length_of(archive));
    ASSERT_EQ(tar_read_header(&tar, &header), TAR_OK);
    EXPECT_EQ(header.mode, 0664u);
    EXPECT_EQ(header.owner, 1000u);
    EXPECT_EQ(header.size, 1000u);
    EXPECT_EQ(header.mtime, 1700000000u);

    // Leading blanks, and a checksum written zero-padded to seven digits.
    put_field(record, 100, 8, "   664 ");
    put_field(record, 124, 12, "     1750 ");
    tar_reseal(record);
    char checksum[8];
    std::memcpy(checksum, record + 148, 6);
    put_field(record, 148, 8, ("0" + std::string(checksum, 6)).c_str());
    ASSERT_EQ(tar_read_header(&tar, &header), TAR_OK);
    EXPECT_EQ(header.mode, 0664u);
    EXPECT_EQ(header.size, 1000u);
    bytes data(1000);
    EXPECT_EQ(tar_read_data(&tar, data.data(), 1000), TAR_OK);
    EXPECT_EQ(data, pattern(1000));

    // Names filling all 100 bytes: kept within their field.
    std::memset(record, 'n', 100);
    std::memset(record + 157, 'l', 100);
    std::memset(record + 257, 'u', 255);
    tar_reseal(record);
    ASSERT_EQ(tar_read_header(&tar, &header), TAR_OK);
    EXPECT_EQ(std::string(header.name), std::string(99, 'n'));
    EXPECT_EQ(std::string(header.linkname), std::string(99, 'l'));

    // A size beyond 32 bits, or in binary form, cannot be represented.
    put_field(record, 124, 12, "40000000000");
    tar_reseal(record);
    EXPECT_EQ(tar_read_header(&tar, &header), TAR_FAILURE);
    put_field(record, 124, 12, "");
    record[124] = 0x80;
    record[135] = 0x01;
    tar_reseal(record);
    EXPECT_EQ(tar_read_header(&tar, &header), TAR_FAILURE);
    // A checksum field without digits.
    put_field(record, 124, 12, "1750");
    put_field(record, 148, 8, "       ");
    EXPECT_EQ(tar_read_header(&tar, &header), TAR_BAD_CHECKSUM);
}

TEST(TarRead, TruncatedArchives)
{
    bytes archive = tar_build({{"a", pattern(600)}, {"status.txt", pattern(40)}});
    tar_t tar;
    tar_header_t header;
    bytes data(600);

    // Cut inside the second header: the walk ends with the reader's failure.
    bytes cut(archive.begin(), archive.begin() + 1536 + 100);
    tar_mem_open_read(&tar, cut.data(), length_of(cut));
    ASSERT_EQ(tar_read_header(&tar, &header), TAR_OK);
    ASSERT_EQ(tar_next(&tar), TAR_OK);
    EXPECT_EQ(tar_read_header(&tar, &header), TAR_FAILURE);
    EXPECT_EQ(tar_find(&tar, "status.txt", &header), TAR_FAILURE);

    // Cut inside the data of the first entry.
    cut.assign(archive.begin(), archive.begin() + 512 + 300);
    tar_mem_open_read(&tar, cut.data(), length_of(cut));
    ASSERT_EQ(tar_read_header(&tar, &header), TAR_OK);
    EXPECT_FALSE(tar_entry_held(&tar, header.size));
    EXPECT_TRUE(tar_entry_held(&tar, 300));
    EXPECT_EQ(tar_read_data(&tar, data.data(), 600), TAR_FAILURE);
    EXPECT_EQ(tar_rewind(&tar), TAR_OK);
    EXPECT_EQ(tar_next(&tar), TAR_FAILURE);

    // A header claiming almost 4 GiB in a small archive.
    bytes huge = archive;
    put_field(huge.data(), 124, 12, "37777777777");
    tar_reseal(huge.data());
    tar_mem_open_read(&tar, huge.data(), length_of(huge));
    ASSERT_EQ(tar_read_header(&tar, &header), TAR_OK);
    EXPECT_EQ(header.size, 0xffffffffu);
    EXPECT_FALSE(tar_entry_held(&tar, header.size));
    EXPECT_EQ(tar_next(&tar), TAR_SEEK_FAILED);

    // Looking for another entry past such a header ends there instead of
    // reading the same header forever.
    EXPECT_EQ(tar_find(&tar, "status.txt", &header), TAR_SEEK_FAILED);
    EXPECT_EQ(tar_find(&tar, "a", &header), TAR_OK);

    // Nothing at all, and no buffer.
    tar_mem_open_read(&tar, archive.data(), 0);
    EXPECT_EQ(tar_read_header(&tar, &header), TAR_FAILURE);
    tar_mem_open_read(&tar, nullptr, 100);
    EXPECT_EQ(tar_read_header(&tar, &header), TAR_FAILURE);
    EXPECT_EQ(tar_close(&tar), TAR_FAILURE);
    EXPECT_EQ(tar_find(&tar, "a", &header), TAR_FAILURE);
}

TEST(TarFile, OpenWriteAndReadBack)
{
    tar_t tar;
    tar_header_t header;
    std::string path = temp_path("file.tar");
    std::remove(path.c_str());
    EXPECT_EQ(tar_open(&tar, path.c_str(), "r"), TAR_OPEN_FAILED);
    EXPECT_EQ(tar_open(&tar, (path + "/no/such/dir").c_str(), "w"), TAR_OPEN_FAILED);

    bytes data = pattern(1500);
    ASSERT_EQ(tar_open(&tar, path.c_str(), "w"), TAR_OK);
    ASSERT_EQ(tar_write_file_header(&tar, "/etc/config/rlc.cfg", 1500), TAR_OK);
    ASSERT_EQ(tar_write_data(&tar, data.data(), 1500), TAR_OK);
    ASSERT_EQ(tar_finalize(&tar), TAR_OK);
    EXPECT_EQ(tar.pos, 512u + 1536u + 1024u);
    ASSERT_EQ(tar_close(&tar), TAR_OK);

    ASSERT_EQ(tar_open(&tar, path.c_str(), "r"), TAR_OK);
    EXPECT_EQ(tar.pos, 0u);
    ASSERT_EQ(tar_find(&tar, "/etc/config/rlc.cfg", &header), TAR_OK);
    EXPECT_TRUE(tar_entry_held(&tar, header.size));
    bytes back(1500);
    ASSERT_EQ(tar_read_data(&tar, back.data(), 1500), TAR_OK);
    EXPECT_EQ(back, data);
    EXPECT_EQ(tar.pos, 0u);
    EXPECT_EQ(tar_find(&tar, "missing", &header), TAR_NOT_FOUND);
    ASSERT_EQ(tar_close(&tar), TAR_OK);

    // The same archive as the memory writer's, byte for byte.
    tar_t memory;
    tar_mem_open_write(&memory);
    tar_write_file_header(&memory, "/etc/config/rlc.cfg", 1500);
    tar_write_data(&memory, data.data(), 1500);
    tar_finalize(&memory);
    bytes on_disk(4096);
    std::FILE *file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    on_disk.resize(std::fread(on_disk.data(), 1, on_disk.size(), file));
    std::fclose(file);
    EXPECT_EQ(on_disk, tar_mem_take(&memory));

    // Too short for a first record; all NUL; appending.
    save(path, pattern(100));
    EXPECT_EQ(tar_open(&tar, path.c_str(), "r"), TAR_READ_FAILED);
    EXPECT_EQ(tar.file, nullptr);
    save(path, bytes(1024));
    EXPECT_EQ(tar_open(&tar, path.c_str(), "rb"), TAR_NULL_RECORD);
    EXPECT_EQ(tar.file, nullptr);
    ASSERT_EQ(tar_open(&tar, path.c_str(), "a"), TAR_OK);
    EXPECT_EQ(tar_close(&tar), TAR_OK);
    std::remove(path.c_str());
}

TEST(TarHandle, ErrorTextsAndMissingCallbacks)
{
    EXPECT_STREQ(tar_strerror(0), "success");
    EXPECT_STREQ(tar_strerror(-1), "failure");
    EXPECT_STREQ(tar_strerror(-2), "could not open");
    EXPECT_STREQ(tar_strerror(-3), "could not read");
    EXPECT_STREQ(tar_strerror(-4), "could not write");
    EXPECT_STREQ(tar_strerror(-5), "could not seek");
    EXPECT_STREQ(tar_strerror(-6), "bad checksum");
    EXPECT_STREQ(tar_strerror(-7), "null record");
    EXPECT_STREQ(tar_strerror(-8), "file not found");
    EXPECT_STREQ(tar_strerror(-9), "unknown error");
    EXPECT_STREQ(tar_strerror(1), "unknown error");

    // A writer is never read, sought or closed; a reader is never written.
    tar_t tar;
    tar_header_t header;
    tar_mem_open_write(&tar);
    EXPECT_EQ(tar_close(&tar), TAR_FAILURE);
    EXPECT_EQ(tar_read_header(&tar, &header), TAR_FAILURE);
    EXPECT_EQ(tar_rewind(&tar), TAR_FAILURE);
    EXPECT_EQ(tar_write_data(&tar, nullptr, 1), TAR_FAILURE);
    bytes archive = tar_build({{"a", pattern(1)}});
    tar_mem_open_read(&tar, archive.data(), length_of(archive));
    EXPECT_EQ(tar_write_file_header(&tar, "a", 1), TAR_FAILURE);
    EXPECT_EQ(tar_finalize(&tar), TAR_FAILURE);
    EXPECT_EQ(tar_read_header(nullptr, &header), TAR_FAILURE);
    EXPECT_EQ(tar_find(nullptr, "a", &header), TAR_FAILURE);
}
