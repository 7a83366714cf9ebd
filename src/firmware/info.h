// The firmware information block every image carries, the image's size limits
// and the model check.
#pragma once

#include "base/limits.h"

#include <cstddef>
#include <cstdint>

constexpr std::size_t FIRMWARE_INFO_OFFSET = 0x1C0000;   // 1,835,008
constexpr std::size_t FIRMWARE_INFO_SIZE = 184;
constexpr std::uint32_t FIRMWARE_IMAGE_MIN = FIRMWARE_INFO_OFFSET + FIRMWARE_INFO_SIZE; // 1,835,192
// FIRMWARE_IMAGE_MAX, 16,777,214, lives with the other limits in base/limits.h
constexpr char FIRMWARE_MODEL_NAME[] = "VESTRA-4";

// The block as it stands in the image, byte for byte (numbers little-endian).
struct firmware_info {
    std::uint8_t leading[12];
    char model_name[33];
    char model_description[33];
    char version_string[33];
    std::uint8_t padding;
    std::uint32_t version_number;
    char version_date[33];
    char version_time[33];
    std::uint8_t padding_end[2];
};
static_assert(sizeof(firmware_info) == FIRMWARE_INFO_SIZE);

// Copies the block out of the image. 0, or 1 (copying nothing) when the image
// or the destination is missing or the image is shorter than FIRMWARE_IMAGE_MIN.
int firmware_info_get(const std::uint8_t *image, std::uint32_t length, firmware_info *info);

// 0 when the image has an acceptable size and model name, after printing its
// information; nonzero otherwise, printing nothing.
int firmware_info_check(const std::uint8_t *image, std::uint32_t length);
