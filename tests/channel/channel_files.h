// Test material for the channel tests: channel files with distinct bytes in
// every field, one-entry archives, temporary files, captured output.
#pragma once

#include "backup/channel_config.h"
#include "backup/download.h"
#include "tar/tar.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace channel_test {

// `size` bytes of a channel file whose bytes all differ from their
// neighbours, with the given layout version in its header.
std::vector<std::uint8_t> patterned_file(std::uint32_t size, std::uint32_t layout_version, std::uint32_t seed = 1);

// An archive written by the tar layer holding the given entries in order.
std::vector<std::uint8_t> make_archive(const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> &entries);

// A download record holding `archive`, with the given firmware version.
backup_download make_download(std::vector<std::uint8_t> archive, const char *firmware_version);

// The data of entry `name` as GNU tar extracts it from `archive` (written to a
// temporary file), and GNU tar's verbose listing of it.
std::vector<std::uint8_t> gnu_tar_extract(const std::vector<std::uint8_t> &archive, const std::string &name);
std::string gnu_tar_list(const std::vector<std::uint8_t> &archive);

// A fresh file below the test's temporary directory holding `text`.
std::string scratch_file(const std::string &name, const std::string &text);
std::string scratch_dir();

// A version 1 CSV file whose second line is one field of 64 MB: more than
// the tokeniser can hold in a process under a memory limit.
std::string huge_field_csv();

std::vector<std::uint8_t> read_bytes(const std::string &path);
void write_bytes(const std::string &path, const std::vector<std::uint8_t> &bytes);

// The offsets at which two byte strings of the same length differ.
std::vector<std::uint32_t> differing_offsets(const std::uint8_t *a, const std::uint8_t *b, std::uint32_t size);

// Checksum of a whole channel file, recomputed with its checksum field as 0.
std::uint32_t expected_checksum(std::vector<std::uint8_t> file);

// The device fields a CSV row sets, for building an expected image.
struct device_values {
    std::uint32_t add_flags;
    int short_address;  // -1: address byte unchanged
    const char *name;
    std::uint16_t groups;
    std::uint8_t power_on, system_failure, min, max, fade_rate, fade_time;
    std::vector<std::uint8_t> scenes;  // the rest 255
};
// Sets those fields of device entry `slot` of a layout 1 file as the import does.
void apply_expected(std::uint8_t *file, std::uint32_t slot, const device_values &values);

}  // namespace channel_test
