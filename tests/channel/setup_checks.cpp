#include "setup_checks.h"

#include "backup/download.h"
#include "run.h"

#include <gtest/gtest.h>

#include <memory>

namespace channel_test {

const std::string VERSION_1 = "#dali-channel-csv-version: 1\n";

std::vector<std::uint8_t> stored(const controller_sim &sim, const std::string &name)
{
    const auto file = sim.stored(name);
    EXPECT_TRUE(file.has_value()) << name;
    return file.value_or(std::vector<std::uint8_t>{});
}

std::size_t restores(const controller_sim &sim)
{
    return sim.requests("/api/v100/status.ssi", "action=restoreconfig").size();
}

// The file as setup_channel uploads it: `before` with the device fields, the
// layout version 1 and a fresh checksum.
std::vector<std::uint8_t> expected_upload(std::vector<std::uint8_t> before,
                                          const std::vector<std::pair<std::uint32_t, device_values>> &rows)
{
    for (const auto &[slot, values] : rows)
        apply_expected(before.data(), slot, values);
    dali_put_u32(before.data(), DALI_LAYOUT_VERSION, 1);
    dali_put_u32(before.data(), DALI_CHECKSUM, expected_checksum(before));
    return before;
}

std::string where_different(const std::vector<std::uint8_t> &a, const std::vector<std::uint8_t> &b)
{
    if (a.size() != b.size())
        return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size());
    std::string text;
    for (std::uint32_t offset : differing_offsets(a.data(), b.data(), static_cast<std::uint32_t>(a.size())))
        text += " " + std::to_string(offset);
    return text.empty() ? "equal" : "differ at" + text;
}

// The channel file in a fresh download of configuration `name`.
std::vector<std::uint8_t> fetch_channel_file(const controller_sim &sim, std::uint32_t channel)
{
    backup_download download;
    auto config = std::make_unique<channel_config>();
    const std::string name = "dali" + std::to_string(channel);
    int fetched = -1, read = -1;
    capture_stdout([&] {
        fetched = backup_fetch(sim.base().c_str(), name.c_str(), &download);
        read = channel_config_read(&download, channel, config.get());
    });
    EXPECT_EQ(fetched, 0);
    EXPECT_EQ(read, 0);
    return {config->bytes, config->bytes + CHANNEL_CONFIG_SIZE};
}

const device_values HALL = {DALI_FLAG_ADDRESSED | DALI_FLAG_POWER_ON, 12, "Hall", 0x0009, 254, 255, 1, 254, 7, 4,
                                {254, 200, 255}};
const device_values DOOR = {DALI_FLAG_POWER_ON_OFF, -1, "Door", 0x8000, 0, 10, 2, 200, 15, 0, {1, 2, 3, 4}};

const std::string HALL_ROW = "0,5,12,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n";
const std::string DOOR_ROW = "1,0,null,Door,[15],false,10,2,200,99,0,\"[1,2,3,4]\"\n";

}  // namespace channel_test
