// The channel file: checksum, taking it out of a downloaded archive, writing
// it back as the entry of a new archive, and listing that archive.
#include "backup/channel_config.h"
#include "channel_files.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace channel_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const char *const DALI1 = "/etc/config/dali/dali1.bin";
const std::vector<std::uint8_t> STATUS_TXT = {'{', '}'};

channel_config filled_image(std::uint8_t value)
{
    channel_config config;
    std::memset(config.bytes, value, sizeof config.bytes);
    return config;
}

bool all_zero(const channel_config &config)
{
    for (std::uint8_t byte : config.bytes)
        if (byte != 0)
            return false;
    return true;
}

// Writes `config` for channel `channel` with the firmware version given and
// finishes the archive; returns the archive, the results and the output.
struct written {
    int write_result;
    int list_result;
    std::string output;
    std::vector<std::uint8_t> archive;
};

written write_and_list(channel_config &config, std::uint32_t channel, const char *firmware)
{
    backup_download download = make_download({}, firmware);
    tar_t tar;
    tar_mem_open_write(&tar);
    written result{};
    CaptureStdout();
    result.write_result = channel_config_write(&tar, &download, channel, &config);
    result.list_result = result.write_result == 0 ? channel_archive_list(&tar) : -100;
    result.output = GetCapturedStdout();
    result.archive = tar_mem_take(&tar);
    return result;
}

}  // namespace

TEST(ChannelChecksum, CheckValueAndEdges)
{
    const char *digits = "123456789";
    EXPECT_EQ(dali_file_crc(reinterpret_cast<const std::uint8_t *>(digits), 9), 0x6F91u);
    EXPECT_EQ(dali_file_crc(nullptr, 9), 0xFFFFFFFFu);
    EXPECT_EQ(dali_file_crc(reinterpret_cast<const std::uint8_t *>(digits), 0), 0xFFFFFFFFu);

    // The step is the whole computation: folding the bytes by hand agrees.
    std::uint32_t crc = 0xFFFF;
    for (int i = 0; i < 9; ++i)
        crc = crc16_step(static_cast<std::uint8_t>(digits[i]), crc);
    EXPECT_EQ(crc, 0x6F91u);
    EXPECT_EQ(crc16_step(0, 0), 0u);

    // Stamping stores the CRC of the file with the field zeroed, high half 0,
    // and is the same whatever the field held before.
    std::vector<std::uint8_t> file = patterned_file(CHANNEL_CONFIG_SIZE, 1);
    dali_file_stamp(file.data(), CHANNEL_CONFIG_SIZE);
    const std::uint32_t stamped = dali_get_u32(file.data(), DALI_CHECKSUM);
    EXPECT_EQ(stamped, expected_checksum(file));
    EXPECT_LE(stamped, 0xFFFFu);
    dali_put_u32(file.data(), DALI_CHECKSUM, 0xDEADBEEF);
    dali_file_stamp(file.data(), CHANNEL_CONFIG_SIZE);
    EXPECT_EQ(dali_get_u32(file.data(), DALI_CHECKSUM), stamped);
}

TEST(ChannelConfigFile, WholeFileGoesBackChangedOnlyInChecksumAndLayoutVersion)
{
    std::vector<std::uint8_t> original = patterned_file(CHANNEL_CONFIG_SIZE, 0);
    backup_download download =
        make_download(make_archive({{"status.txt", STATUS_TXT}, {DALI1, original}}), "1.3.0");

    channel_config config = filled_image(0xAA);
    CaptureStdout();
    ASSERT_EQ(channel_config_read(&download, 1, &config), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(std::memcmp(config.bytes, original.data(), CHANNEL_CONFIG_SIZE), 0);

    written out = write_and_list(config, 1, "1.3.0");
    ASSERT_EQ(out.write_result, 0);
    EXPECT_EQ(out.list_result, 0);
    EXPECT_EQ(out.output, "backup\tbackup file contains: \r\n"
                          "\t/etc/config/dali/dali1.bin (11168 bytes)\r\n");
    // Header, 11168 bytes padded to 11264, two null records.
    EXPECT_EQ(out.archive.size(), 12800u);

    // An independent reader sees one entry with the stamped image.
    const std::string listing = gnu_tar_list(out.archive);
    EXPECT_NE(listing.find("11168"), std::string::npos) << listing;
    EXPECT_NE(listing.find("etc/config/dali/dali1.bin"), std::string::npos) << listing;
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 1) << listing;
    const std::vector<std::uint8_t> uploaded = gnu_tar_extract(out.archive, DALI1);
    ASSERT_EQ(uploaded.size(), CHANNEL_CONFIG_SIZE);
    EXPECT_EQ(std::memcmp(uploaded.data(), config.bytes, CHANNEL_CONFIG_SIZE), 0);

    for (std::uint32_t offset : differing_offsets(uploaded.data(), original.data(), CHANNEL_CONFIG_SIZE))
        EXPECT_TRUE(offset >= DALI_CHECKSUM && offset < DALI_REVISION) << offset;
    EXPECT_EQ(dali_get_u32(uploaded.data(), DALI_LAYOUT_VERSION), 1u);
    EXPECT_EQ(dali_get_u32(uploaded.data(), DALI_CHECKSUM), expected_checksum(uploaded));
    EXPECT_EQ(dali_get_u32(uploaded.data(), DALI_FILE_SIZE), CHANNEL_CONFIG_SIZE);
}

TEST(ChannelConfigFile, ShortAndLongEntries)
{
    // 100 bytes fill the start of the image; the rest stays and goes back zero.
    const std::vector<std::uint8_t> short_file = patterned_file(100, 0, 3);
    backup_download download = make_download(make_archive({{"/etc/config/dali/dali3.bin", short_file}}), "1.0.0");
    channel_config config = filled_image(0x55);
    ASSERT_EQ(channel_config_read(&download, 3, &config), 0);
    EXPECT_EQ(std::memcmp(config.bytes, short_file.data(), 100), 0);
    for (std::uint32_t i = 100; i < CHANNEL_CONFIG_SIZE; ++i)
        ASSERT_EQ(config.bytes[i], 0) << i;
    written out = write_and_list(config, 3, "1.0.0");
    ASSERT_EQ(out.write_result, 0);
    const std::vector<std::uint8_t> uploaded = gnu_tar_extract(out.archive, "/etc/config/dali/dali3.bin");
    ASSERT_EQ(uploaded.size(), CHANNEL_CONFIG_SIZE);
    std::vector<std::uint8_t> expected(CHANNEL_CONFIG_SIZE, 0);
    std::memcpy(expected.data(), short_file.data(), 100);
    for (std::uint32_t offset : differing_offsets(uploaded.data(), expected.data(), CHANNEL_CONFIG_SIZE))
        EXPECT_TRUE(offset >= DALI_CHECKSUM && offset < DALI_REVISION) << offset;

    // 20000 bytes give their first 11168.
    const std::vector<std::uint8_t> long_file = patterned_file(20000, 1, 4);
    download = make_download(make_archive({{DALI1, long_file}, {"status.txt", STATUS_TXT}}), "1.3.0");
    ASSERT_EQ(channel_config_read(&download, 1, &config), 0);
    EXPECT_EQ(std::memcmp(config.bytes, long_file.data(), CHANNEL_CONFIG_SIZE), 0);
}

TEST(ChannelConfigFile, ReadFailuresLeaveAZeroImage)
{
    channel_config config = filled_image(0x77);

    // Missing arguments: result 1, nothing printed.
    backup_download empty;
    CaptureStdout();
    EXPECT_EQ(channel_config_read(nullptr, 1, &config), 1);
    EXPECT_EQ(channel_config_read(&empty, 1, &config), 1);
    backup_download download = make_download(make_archive({{"status.txt", STATUS_TXT}}), "1.3.0");
    EXPECT_EQ(channel_config_read(&download, 0, &config), 1);
    EXPECT_EQ(channel_config_read(&download, 1, nullptr), 1);
    EXPECT_EQ(GetCapturedStdout(), "");

    // The entry is absent.
    CaptureStdout();
    EXPECT_EQ(channel_config_read(&download, 2, &config), 1);
    EXPECT_EQ(GetCapturedStdout(), "backup\terror '/etc/config/dali/dali2.bin' file not found.\r\n");
    EXPECT_TRUE(all_zero(config));

    // The entry is empty.
    config = filled_image(0x77);
    download = make_download(make_archive({{"/etc/config/dali/dali4.bin", {}}}), "1.3.0");
    CaptureStdout();
    EXPECT_EQ(channel_config_read(&download, 4, &config), 1);
    EXPECT_EQ(GetCapturedStdout(), "backup\terror '/etc/config/dali/dali4.bin' file size error\r\n");
    EXPECT_TRUE(all_zero(config));

    // The archive ends inside the entry's data: a read error, not a read
    // past the received bytes.
    config = filled_image(0x77);
    std::vector<std::uint8_t> archive = make_archive({{DALI1, patterned_file(CHANNEL_CONFIG_SIZE, 1)}});
    archive.resize(512 + 4000);
    download = make_download(archive, "1.3.0");
    CaptureStdout();
    EXPECT_EQ(channel_config_read(&download, 1, &config), 1);
    EXPECT_EQ(GetCapturedStdout(), "backup\terror reading '/etc/config/dali/dali1.bin'\r\n");
    EXPECT_TRUE(all_zero(config));

    // A record whose size field claims more than it holds.
    download.size = 100;
    CaptureStdout();
    EXPECT_EQ(channel_config_read(&download, 1, &config), 1);
    EXPECT_EQ(GetCapturedStdout(), "backup\terror '/etc/config/dali/dali1.bin' file not found.\r\n");
}

TEST(ChannelConfigFile, FirmwareVersionRule)
{
    for (const char *accepted : {"1.3.0", "1.2.9", "1.0.0", "1.3", "0.9"}) {
        channel_config config{};
        written out = write_and_list(config, 1, accepted);
        EXPECT_EQ(out.write_result, 0) << accepted;
        EXPECT_EQ(out.archive.size(), 12800u) << accepted;
    }
    for (const char *refused : {"1.3.1", "1.5.0", "1.3.0a", "1.10.0", "2"}) {
        channel_config config = filled_image(0x11);
        backup_download download = make_download({}, refused);
        tar_t tar;
        tar_mem_open_write(&tar);
        CaptureStdout();
        EXPECT_EQ(channel_config_write(&tar, &download, 1, &config), 2) << refused;
        EXPECT_EQ(GetCapturedStdout(), std::string("backup\terror version ") + refused + " not supported.\r\n");
        EXPECT_EQ(tar.pos, 0u) << refused;
        EXPECT_EQ(config.bytes[DALI_LAYOUT_VERSION], 0x11) << "nothing stamped for " << refused;
    }

    // No firmware version, no tar, no image, channel 0: 1 and silence.
    channel_config config{};
    backup_download no_version = make_download({}, nullptr);
    tar_t tar;
    tar_mem_open_write(&tar);
    CaptureStdout();
    EXPECT_EQ(channel_config_write(&tar, &no_version, 1, &config), 1);
    backup_download version = make_download({}, "1.3.0");
    EXPECT_EQ(channel_config_write(nullptr, &version, 1, &config), 1);
    EXPECT_EQ(channel_config_write(&tar, &version, 0, &config), 1);
    EXPECT_EQ(channel_config_write(&tar, &version, 1, nullptr), 1);
    EXPECT_EQ(channel_archive_list(nullptr), 1);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(tar.pos, 0u);
}

TEST(ChannelConfigFile, WriteFailuresAndDamagedListing)
{
    channel_config config{};
    backup_download download = make_download({}, "1.3.0");

    // A writer whose stream refuses every write.
    tar_t broken;
    tar_mem_open_write(&broken);
    broken.write = [](tar_t *, const void *, std::uint32_t) -> int { return TAR_WRITE_FAILED; };
    CaptureStdout();
    EXPECT_EQ(channel_config_write(&broken, &download, 2, &config), 1);
    EXPECT_EQ(GetCapturedStdout(), "backup\terror writing file '/etc/config/dali/dali2.bin' header.\r\n");

    // A writer that takes the header and then refuses the data.
    tar_t half;
    tar_mem_open_write(&half);
    half.write = [](tar_t *tar, const void *data, std::uint32_t size) -> int {
        return tar->pos == 0 ? tar_mem_write(tar, data, size) : TAR_WRITE_FAILED;
    };
    CaptureStdout();
    EXPECT_EQ(channel_config_write(&half, &download, 2, &config), 1);
    EXPECT_EQ(GetCapturedStdout(), "backup\terror writing file '/etc/config/dali/dali2.bin' data.\r\n");

    // A rebuilt archive whose header got damaged lists the unsigned code.
    tar_t tar;
    tar_mem_open_write(&tar);
    ASSERT_EQ(channel_config_write(&tar, &download, 1, &config), 0);
    tar.buffer[0] ^= 1;
    CaptureStdout();
    EXPECT_EQ(channel_archive_list(&tar), TAR_BAD_CHECKSUM);
    EXPECT_EQ(GetCapturedStdout(), "backup\tbackup file contains: \r\n\tfile error 4294967290.\r\n");
}
