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
std::string temp_file(const std::string &name, const std::string &text);
std::string temp_dir();

std::vector<std::uint8_t> read_file(const std::string &path);
void write_file(const std::string &path, const std::vector<std::uint8_t> &bytes);

// The offsets at which two byte strings of the same length differ.
std::vector<std::uint32_t> differing_offsets(const std::uint8_t *a, const std::uint8_t *b, std::uint32_t size);

// Checksum of a whole channel file, recomputed with its checksum field as 0.
std::uint32_t expected_checksum(std::vector<std::uint8_t> file);

}  // namespace channel_test
