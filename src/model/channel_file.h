// The DALI channel configuration file "/etc/config/dali/dali%u.bin" in layout
// 1: taken out of the controller's one-entry archive into an image, stamped
// with its layout version and CRC, and written as the entry of a new archive.
#pragma once

#include "model/config_archive.h"
#include "model/dali_layout.h"
#include "tar/tar.h"

#include <cstdint>

constexpr std::uint32_t CHANNEL_CONFIG_SIZE = DALI_LAYOUT_1.file_size;

// The 11168 bytes of a layout 1 channel file, laid out exactly as the file
// (offsets in model/dali_layout.h). A value-initialised image is all zero.
struct channel_config {
    std::uint8_t bytes[CHANNEL_CONFIG_SIZE];
};

// CRC-16 with the reflected polynomial 0x8408, start 0xFFFF, no final
// inversion, over `length` bytes; 0xFFFFFFFF when data is null or length 0.
std::uint32_t dali_file_crc(const std::uint8_t *data, std::uint32_t length);
// The CRC after one more byte.
std::uint32_t crc16_step(std::uint8_t byte, std::uint32_t crc);
// Stores the checksum of a whole channel file of `size` bytes (at least the
// header) in its `checksum` field: computed with the field 0, high half 0.
void dali_file_stamp(std::uint8_t *file, std::uint32_t size);

// Whether a whole channel file of `size` bytes holds the checksum of its
// contents in its `checksum` field.
bool dali_file_checksum_valid(const std::uint8_t *file, std::uint32_t size);

// Copies "/etc/config/dali/dali<channel>.bin" out of the downloaded archive
// into `config` (cleared first; a shorter file leaves the rest zero, a longer
// one is cut). 0 on success, 1 on any failure.
int channel_config_read(const backup_download *download, std::uint32_t channel, channel_config *config);
// Refuses firmware after 1.3.0 (result 2, message), stamps layout version 1
// and the checksum into `config` and writes it as the entry of the memory
// tar writer `tar`. 0 on success, 1 on failure.
int channel_config_write(tar_t *tar, const backup_download *download, std::uint32_t channel, channel_config *config);
// Finalizes the archive written into `tar` and lists its entries.
// 0, or the tar layer's error code.
int channel_archive_list(tar_t *tar);
