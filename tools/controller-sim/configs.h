// The controller's configurations as the simulator holds them: the paths of
// their files in the archives (the tool's own catalogue for the standard ones)
// and the factory content the simulator starts with.
#pragma once

#include "model/catalogue.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using bytes = std::vector<std::uint8_t>;

// A configuration name is 1 to 64 letters, digits, '_' or '-'.
bool sim_config_name_valid(std::string_view name);
// Path of the configuration's file inside its archive: the standard ones
// under /etc/config/<area>/, any other name as /etc/config/other/NAME.bin.
std::string config_path(std::string_view name);
// The configuration stored under an archive entry path (a leading "/" or "./"
// may be missing), or nothing for a path that names no configuration.
std::optional<std::string> config_name_for_path(std::string_view path);

// Factory content of a standard configuration (empty for any other name).
// The DALI channel files are 11168-byte layout 1 files with a valid checksum.
bytes default_config(std::string_view name);

// CRC-16 over a channel file (reflected polynomial 0x8408, start 0xFFFF, no
// final XOR), computed bit by bit.
std::uint16_t channel_file_crc(const std::uint8_t *data, std::size_t length);

// Sizes and offsets of a layout 1 channel file.
constexpr std::size_t CHANNEL_FILE_SIZE = 11168;
constexpr std::size_t CHANNEL_DEVICES = 60;
constexpr std::size_t CHANNEL_DEVICE_SIZE = 152;
constexpr std::size_t CHANNEL_DEVICE_NAME = 94;
