// The channel file: checksum, taking it out of a downloaded archive, writing
// it back as the entry of a new archive, and listing that archive.
#include "model/channel_file.h"

#include "../tar/tar_build.h"
#include "channel_files.h"

#include <cstring>

namespace {

const char *const DALI1 = "/etc/config/dali/dali1.bin";
const bytes STATUS_TXT = {'{', '}'};
const std::string HEAD = "backup\tbackup file contains: \r\n";

channel_config filled_image(std::uint8_t value)
{
    channel_config config;
    std::memset(config.bytes, value, sizeof config.bytes);
    return config;
}
bytes image_of(const channel_config &config) { return bytes(config.bytes, config.bytes + CHANNEL_CONFIG_SIZE); }

// Writes `config` for channel `channel` under the firmware version given and
// lists the archive: the results, the output and the archive.
struct written {
    int write_result;
    int list_result;
    std::string output;
    bytes archive;
};
written write_and_list(channel_config &config, std::uint32_t channel, const char *firmware)
{
    backup_download download = make_download({}, firmware);
    tar_t tar;
    tar_mem_open_write(&tar);
    written result{};
    result.output = capture_stdout([&] {
        result.write_result = channel_config_write(&tar, &download, channel, &config);
        result.list_result = result.write_result == 0 ? channel_archive_list(&tar) : -100;
    });
    result.archive = tar_mem_take(&tar);
    return result;
}

// The file written for `channel` and read back by the tar layer: `before`
// changed only in its checksum (bytes 4 to 7) and layout version (8 to 11).
void expect_restamped(const written &out, std::uint32_t channel, const bytes &before)
{
    ASSERT_EQ(out.write_result, 0);
    EXPECT_EQ(out.archive.size(), 12800u) << "header, 11168 bytes padded to 11264, two null records";
    bytes now;
    const std::string path = "/etc/config/dali/dali" + std::to_string(channel) + ".bin";
    ASSERT_TRUE(backup_take_file(out.archive.data(), static_cast<std::uint32_t>(out.archive.size()), path.c_str(), "t", now));
    ASSERT_EQ(now.size(), before.size());
    for (std::uint32_t offset : differing_offsets(now.data(), before.data(), static_cast<std::uint32_t>(now.size())))
        EXPECT_TRUE(offset >= DALI_CHECKSUM && offset < DALI_REVISION) << offset;
    EXPECT_EQ(dali_get_u32(now.data(), DALI_LAYOUT_VERSION), 1u);
    EXPECT_EQ(dali_get_u32(now.data(), DALI_CHECKSUM), channel_checksum(now));
}

} // namespace

TEST(ChannelChecksum, CheckValueAndStamp)
{
    const auto *digits = reinterpret_cast<const std::uint8_t *>("123456789");
    EXPECT_EQ(dali_file_crc(digits, 9), 0x6F91u);
    EXPECT_EQ(dali_file_crc(nullptr, 9), 0xFFFFFFFFu);
    EXPECT_EQ(dali_file_crc(digits, 0), 0xFFFFFFFFu);
    // Stamping stores the CRC of the file with the field zeroed, whatever it held.
    bytes file = patterned_file(CHANNEL_CONFIG_SIZE, 1);
    dali_put_u32(file.data(), DALI_CHECKSUM, 0xDEADBEEF);
    dali_file_stamp(file.data(), CHANNEL_CONFIG_SIZE);
    EXPECT_EQ(dali_get_u32(file.data(), DALI_CHECKSUM), channel_checksum(file));
}

TEST(ChannelConfigFile, ReadWriteAndList)
{
    // The whole file goes back changed only in its checksum and layout version.
    const bytes original = patterned_file(CHANNEL_CONFIG_SIZE, 0);
    backup_download download = make_download(tar_build({{"status.txt", STATUS_TXT}, {DALI1, original}}), "1.3.0");
    channel_config config = filled_image(0xAA);
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(channel_config_read(&download, 1, &config), 0); }), "");
    EXPECT_EQ(image_of(config), original);
    written out = write_and_list(config, 1, "1.3.0");
    EXPECT_EQ(out.list_result, 0);
    EXPECT_EQ(out.output, HEAD + "\t/etc/config/dali/dali1.bin (11168 bytes)\r\n");
    expect_restamped(out, 1, original);

    // 100 bytes fill the start of the image, the rest goes back zero; 20000
    // bytes give their first 11168.
    const bytes short_file = patterned_file(100, 0, 3);
    download = make_download(tar_build({{"/etc/config/dali/dali3.bin", short_file}}), "1.0.0");
    config = filled_image(0x55);
    ASSERT_EQ(channel_config_read(&download, 3, &config), 0);
    bytes expected(CHANNEL_CONFIG_SIZE, 0);
    std::copy(short_file.begin(), short_file.end(), expected.begin());
    expect_restamped(write_and_list(config, 3, "1.0.0"), 3, expected);
    const bytes long_file = patterned_file(20000, 1, 4);
    download = make_download(tar_build({{DALI1, long_file}, {"status.txt", STATUS_TXT}}), "1.3.0");
    ASSERT_EQ(channel_config_read(&download, 1, &config), 0);
    EXPECT_TRUE(std::equal(config.bytes, config.bytes + CHANNEL_CONFIG_SIZE, long_file.begin()));
}

TEST(ChannelConfigFile, ReadFailuresLeaveAZeroImage)
{
    channel_config config = filled_image(0x77);
    backup_download empty, download = make_download(tar_build({{"status.txt", STATUS_TXT}}), "1.3.0");
    EXPECT_EQ(capture_stdout([&] {
                  EXPECT_EQ(channel_config_read(nullptr, 1, &config), 1);
                  EXPECT_EQ(channel_config_read(&empty, 1, &config), 1);
                  EXPECT_EQ(channel_config_read(&download, 0, &config), 1);
                  EXPECT_EQ(channel_config_read(&download, 1, nullptr), 1);
              }),
              "");
    // The archive ends inside the entry's data: a read error, not a read past
    // the received bytes; a record claiming less than it holds.
    bytes cut = tar_build({{DALI1, patterned_file(CHANNEL_CONFIG_SIZE, 1)}});
    cut.resize(512 + 4000);
    backup_download short_record = make_download(cut, "1.3.0");
    short_record.size = 100;
    const struct {
        backup_download download;
        std::uint32_t channel;
        std::string message;
    } failures[] = {
        {download, 2, "backup\terror '/etc/config/dali/dali2.bin' file not found.\r\n"},
        {make_download(tar_build({{"/etc/config/dali/dali4.bin", {}}}), "1.3.0"), 4,
         "backup\terror '/etc/config/dali/dali4.bin' file size error\r\n"},
        {make_download(cut, "1.3.0"), 1, "backup\terror reading '/etc/config/dali/dali1.bin'\r\n"},
        {short_record, 1, "backup\terror '/etc/config/dali/dali1.bin' file not found.\r\n"},
    };
    for (const auto &f : failures) {
        config = filled_image(0x77);
        EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(channel_config_read(&f.download, f.channel, &config), 1); }), f.message);
        EXPECT_EQ(image_of(config), bytes(CHANNEL_CONFIG_SIZE, 0)) << f.message;
    }
}

TEST(ChannelConfigFile, FirmwareVersionRuleAndWriteFailures)
{
    // Versions compared numerically: newer firmware reads another layout.
    for (const char *accepted : {"1.3.0", "1.2.9", "1.3", "0.9"}) {
        channel_config config{};
        EXPECT_EQ(write_and_list(config, 1, accepted).archive.size(), 12800u) << accepted;
    }
    for (const char *refused : {"1.3.1", "1.3.0a", "1.10.0", "2"}) {
        channel_config config = filled_image(0x11);
        const written out = write_and_list(config, 1, refused);
        EXPECT_EQ(out.write_result, 2) << refused;
        EXPECT_EQ(out.output, std::string("backup\terror version ") + refused + " not supported.\r\n");
        EXPECT_EQ(out.archive.size(), 0u) << refused;
        EXPECT_EQ(config.bytes[DALI_LAYOUT_VERSION], 0x11) << "nothing stamped for " << refused;
    }

    // No firmware version, no tar, no image, channel 0: 1 and silence.
    channel_config config{};
    backup_download no_version = make_download({}, nullptr), version = make_download({}, "1.3.0");
    tar_t tar;
    tar_mem_open_write(&tar);
    EXPECT_EQ(capture_stdout([&] {
                  EXPECT_EQ(channel_config_write(&tar, &no_version, 1, &config), 1);
                  EXPECT_EQ(channel_config_write(nullptr, &version, 1, &config), 1);
                  EXPECT_EQ(channel_config_write(&tar, &version, 0, &config), 1);
                  EXPECT_EQ(channel_config_write(&tar, &version, 1, nullptr), 1);
                  EXPECT_EQ(channel_archive_list(nullptr), 1);
              }),
              "");
    EXPECT_EQ(tar.pos, 0u);

    // A stream refusing every write, or everything after the header.
    tar.write = [](tar_t *, const void *, std::uint32_t) -> int { return TAR_WRITE_FAILED; };
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(channel_config_write(&tar, &version, 2, &config), 1); }),
              "backup\terror writing file '/etc/config/dali/dali2.bin' header.\r\n");
    tar_mem_open_write(&tar);
    tar.write = [](tar_t *t, const void *data, std::uint32_t size) -> int {
        return t->pos == 0 ? tar_mem_write(t, data, size) : TAR_WRITE_FAILED;
    };
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(channel_config_write(&tar, &version, 2, &config), 1); }),
              "backup\terror writing file '/etc/config/dali/dali2.bin' data.\r\n");

    // A rebuilt archive whose header got damaged lists the unsigned code.
    tar_mem_open_write(&tar);
    ASSERT_EQ(channel_config_write(&tar, &version, 1, &config), 0);
    tar.buffer[0] ^= 1;
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(channel_archive_list(&tar), TAR_BAD_CHECKSUM); }),
              HEAD + "\tfile error 4294967290.\r\n");
}
