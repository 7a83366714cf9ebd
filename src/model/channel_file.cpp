#include "model/channel_file.h"

#include "base/format.h"
#include "base/text.h"
#include "base/version.h"
#include "model/catalogue.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr const char *LOG_TAG = "backup";

constexpr std::uint32_t CRC_START = 0xFFFF;
constexpr std::uint32_t CRC_NO_DATA = 0xFFFFFFFF;

}  // namespace

std::uint32_t crc16_step(std::uint8_t byte, std::uint32_t crc)
{
    std::uint32_t x = (byte ^ crc) & 0xFF;
    x ^= (x << 4) & 0xFF;
    return ((crc >> 8) ^ (x << 8) ^ (x << 3) ^ (x >> 4)) & 0xFFFF;
}

std::uint32_t dali_file_crc(const std::uint8_t *data, std::uint32_t length)
{
    if (data == nullptr || length == 0)
        return CRC_NO_DATA;
    std::uint32_t crc = CRC_START;
    for (std::uint32_t i = 0; i < length; ++i)
        crc = crc16_step(data[i], crc);
    return crc;
}

void dali_file_stamp(std::uint8_t *file, std::uint32_t size)
{
    if (file == nullptr || size < DALI_DEVICES)
        return;
    dali_put_u32(file, DALI_CHECKSUM, 0);
    dali_put_u32(file, DALI_CHECKSUM, dali_file_crc(file, size) & 0xFFFF);
}

bool dali_file_checksum_valid(const std::uint8_t *file, std::uint32_t size)
{
    if (file == nullptr || size < DALI_DEVICES)
        return false;
    std::vector<std::uint8_t> copy(file, file + size);
    dali_file_stamp(copy.data(), size);
    return dali_get_u32(copy.data(), DALI_CHECKSUM) == dali_get_u32(file, DALI_CHECKSUM);
}

int channel_config_read(const backup_download *download, std::uint32_t channel, channel_config *config)
{
    if (download == nullptr || download->data.empty() || channel == 0 || config == nullptr)
        return 1;
    std::memset(config->bytes, 0, sizeof config->bytes);

    std::string name;
    if (format_alloc(name, CONFIG_CHANNEL_PATH, channel) < 0)
        return 1;

    // The record's size is what was received; never read past the bytes held.
    const std::uint32_t held = mem_buffer_held(*download);
    std::vector<std::uint8_t> data;
    if (!backup_take_file(download->data.data(), held, name.c_str(), LOG_TAG, data))
        return 1;
    std::memcpy(config->bytes, data.data(), std::min(data.size(), sizeof config->bytes));
    return 0;
}

int channel_config_write(tar_t *tar, const backup_download *download, std::uint32_t channel, channel_config *config)
{
    if (tar == nullptr || download == nullptr || !download->firmware_version || channel == 0 || config == nullptr)
        return 1;
    std::string name;
    if (format_alloc(name, CONFIG_CHANNEL_PATH, channel) < 0)
        return 1;

    // A version that names no number ("unknown") may be any firmware: its
    // layout cannot be known, so none is written for it.
    const char *firmware = download->firmware_version->c_str();
    if (!version_has_number(firmware) || version_compare(firmware, CONFIG_LAST_LAYOUT_1_FIRMWARE) > 0) {
        std::printf("%s\terror version %s not supported.\r\n", LOG_TAG, console_line(firmware).c_str());
        return 2;
    }

    dali_put_u32(config->bytes, DALI_LAYOUT_VERSION, DALI_LAYOUT_1.version);
    dali_file_stamp(config->bytes, CHANNEL_CONFIG_SIZE);

    if (tar_write_file_header(tar, name.c_str(), CHANNEL_CONFIG_SIZE) != TAR_OK) {
        std::printf("%s\terror writing file '%s' header.\r\n", LOG_TAG, name.c_str());
        return 1;
    }
    if (tar_write_data(tar, config->bytes, CHANNEL_CONFIG_SIZE) != TAR_OK) {
        std::printf("%s\terror writing file '%s' data.\r\n", LOG_TAG, name.c_str());
        return 1;
    }
    return 0;
}

int channel_archive_list(tar_t *tar)
{
    if (tar == nullptr)
        return 1;
    tar_finalize(tar);

    // The archive is the first `pos` bytes of the writer's buffer.
    const std::uint32_t length = std::min<std::uint32_t>(tar->pos, static_cast<std::uint32_t>(tar->buffer.size()));
    tar_t reader;
    tar_mem_open_read(&reader, tar->buffer.data(), length);
    return backup_list_entries(&reader, nullptr);
}
