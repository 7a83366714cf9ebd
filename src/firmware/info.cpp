#include "firmware/info.h"

#include "base/text.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// A text field of the information block as it may be shown: up to its NUL,
// never past its 33 bytes, control characters escaped.
std::string field_text(const char (&field)[33])
{
    return console_line(std::string_view(field, strnlen(field, sizeof field)));
}

} // namespace

static_assert(offsetof(firmware_info, model_name) == 12);
static_assert(offsetof(firmware_info, version_number) == 112);
static_assert(offsetof(firmware_info, version_date) == 116);
static_assert(offsetof(firmware_info, version_time) == 149);

int firmware_info_get(const std::uint8_t *image, std::uint32_t length, firmware_info *info)
{
    if (!image || !info || length < FIRMWARE_IMAGE_MIN)
        return 1;
    const std::uint8_t *block = image + FIRMWARE_INFO_OFFSET;
    std::memcpy(info, block, FIRMWARE_INFO_SIZE);
    // Little-endian in the image, whatever this machine's order.
    const std::uint8_t *number = block + offsetof(firmware_info, version_number);
    info->version_number = std::uint32_t{number[0]} | std::uint32_t{number[1]} << 8 |
                           std::uint32_t{number[2]} << 16 | std::uint32_t{number[3]} << 24;
    return 0;
}

int firmware_info_check(const std::uint8_t *image, std::uint32_t length)
{
    if (!image || length == 0 || length > FIRMWARE_IMAGE_MAX)
        return 1;
    firmware_info info;
    int result = firmware_info_get(image, length, &info);
    if (result != 0)
        return result;
    // The name and its terminator: trailing bytes after the NUL do not matter.
    if (std::memcmp(info.model_name, FIRMWARE_MODEL_NAME, sizeof FIRMWARE_MODEL_NAME) != 0)
        return 1;

    std::puts("\r\n== Firmware Info ==\r");
    std::printf("model_name=%s\r\n", field_text(info.model_name).c_str());
    std::printf("model_description=%s\r\n", field_text(info.model_description).c_str());
    std::printf("version_string=%s\r\n", field_text(info.version_string).c_str());
    std::printf("version_number=%u\r\n", info.version_number);
    std::printf("version_date=%s\r\n", field_text(info.version_date).c_str());
    std::printf("version_time=%s\r\n", field_text(info.version_time).c_str());
    std::puts("== ==\r\n\r");
    return 0;
}
