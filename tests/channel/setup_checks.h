// Checks shared by the setup_channel tests against the simulated controller.
#pragma once

#include "channel_files.h"
#include "sim.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace channel_test {

extern const std::string VERSION_1;
// Two device rows and what they set.
extern const device_values HALL;  // "0,5,12,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\""
extern const device_values DOOR;  // "1,0,null,Door,[15],false,10,2,200,99,0,\"[1,2,3,4]\""
extern const std::string HALL_ROW;
extern const std::string DOOR_ROW;

// The configuration's file as the simulator holds it now (empty if none).
std::vector<std::uint8_t> stored(const controller_sim &sim, const std::string &name);
// Restore requests the simulator received so far.
std::size_t restores(const controller_sim &sim);
// The file as setup_channel uploads it: `before` with the rows' device fields,
// layout version 1 and a fresh checksum.
std::vector<std::uint8_t> expected_upload(std::vector<std::uint8_t> before,
                                          const std::vector<std::pair<std::uint32_t, device_values>> &rows);
// "equal", or where two files differ.
std::string where_different(const std::vector<std::uint8_t> &a, const std::vector<std::uint8_t> &b);
// The channel file in a fresh download of "dali<channel>".
std::vector<std::uint8_t> fetch_channel_file(const controller_sim &sim, std::uint32_t channel);

}  // namespace channel_test
