// Test material for the channel tests: channel files with distinct bytes in
// every field, the device fields a CSV row sets, and what the simulated
// controller holds.
#pragma once

#include "model/channel_file.h"
#include "controller/download.h"
#include "model/config_archive.h"

#include "expect.h"
#include "files.h"
#include "sim.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace channel_test {

extern const std::string VERSION_1; // "#dali-channel-csv-version: 1\n"

// `size` bytes of a channel file whose bytes all differ from their
// neighbours, with the given layout version in its header.
bytes patterned_file(std::uint32_t size, std::uint32_t layout_version, std::uint32_t seed = 1);

// A download record holding `archive`, with the given firmware version.
backup_download make_download(bytes archive, const char *firmware_version);

// The offsets at which two byte strings differ (where_different, in
// tests/support, gives them as a message).
std::vector<std::uint32_t> differing_offsets(const std::uint8_t *a, const std::uint8_t *b, std::uint32_t size);

// The device fields a CSV row sets, for building an expected image.
struct device_values {
    std::uint32_t add_flags;
    int short_address; // -1: address byte unchanged
    const char *name;
    std::uint16_t groups;
    std::uint8_t power_on, system_failure, min, max, fade_rate, fade_time;
    std::vector<std::uint8_t> scenes; // the rest 255
};
// Sets those fields of device entry `slot` of a layout 1 file as the import does.
void apply_expected(std::uint8_t *file, std::uint32_t slot, const device_values &values);

// Two device rows and what they set.
extern const std::string HALL_ROW; // "0,5,12,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n"
extern const device_values HALL;
extern const std::string DOOR_ROW; // "1,0,null,Door,[15],false,10,2,200,99,0,\"[1,2,3,4]\"\n"
extern const device_values DOOR;

// The file as setup_channel uploads it: `before` with the rows' device
// fields, layout version 1 and a fresh checksum.
bytes expected_upload(bytes before, const std::vector<std::pair<std::uint32_t, device_values>> &rows);

// Restore requests the simulator received so far.
std::size_t restores(const controller_sim &sim);
// The channel file in a fresh download of "dali<channel>".
bytes fetch_channel_file(const controller_sim &sim, std::uint32_t channel);

// A version 1 CSV file in `dir` whose second line is one field of 64 MB: more
// than the tokeniser can hold in a process under a memory limit.
std::string huge_field_csv(const temp_dir &dir);

} // namespace channel_test
