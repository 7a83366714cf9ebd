#include "channel_files.h"

#include "run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>

namespace channel_test {

const std::string VERSION_1 = "#dali-channel-csv-version: 1\n";

bytes patterned_file(std::uint32_t size, std::uint32_t layout_version, std::uint32_t seed)
{
    bytes file(size);
    for (std::uint32_t i = 0; i < size; ++i)
        file[i] = static_cast<std::uint8_t>((i * 7 + seed * 13 + i / 251) & 0xFF);
    if (size >= DALI_DEVICES) {
        dali_put_u32(file.data(), DALI_FILE_SIZE, size);
        dali_put_u32(file.data(), DALI_LAYOUT_VERSION, layout_version);
    }
    return file;
}

backup_download make_download(bytes archive, const char *firmware_version)
{
    backup_download download;
    download.size = static_cast<std::uint32_t>(archive.size());
    download.data = std::move(archive);
    if (firmware_version != nullptr)
        download.firmware_version = firmware_version;
    return download;
}

std::vector<std::uint32_t> differing_offsets(const std::uint8_t *a, const std::uint8_t *b, std::uint32_t size)
{
    std::vector<std::uint32_t> offsets;
    for (std::uint32_t i = 0; i < size; ++i)
        if (a[i] != b[i])
            offsets.push_back(i);
    return offsets;
}

void apply_expected(std::uint8_t *file, std::uint32_t slot, const device_values &v)
{
    std::uint8_t *e = file + DALI_DEVICES + 152 * slot;
    e[36] = 255;
    dali_put_u32(e, 0, dali_get_u32(e, 0) | v.add_flags);
    if (v.short_address >= 0)
        e[11] = static_cast<std::uint8_t>(2 * v.short_address + 1);
    std::memset(e + 94, 0, 33);
    std::memcpy(e + 94, v.name, std::min<std::size_t>(std::strlen(v.name), 32));
    dali_put_u16(e, 18, v.groups);
    const std::uint8_t levels[] = {v.power_on, v.system_failure, v.min, v.max, v.fade_rate, v.fade_time};
    std::memcpy(e + 5, levels, sizeof levels);
    std::memset(e + 20, 255, 16);
    std::copy(v.scenes.begin(), v.scenes.end(), e + 20);
}

const std::string HALL_ROW = "0,5,12,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n";
const device_values HALL = {DALI_FLAG_ADDRESSED | DALI_FLAG_POWER_ON, 12, "Hall", 0x0009, 254, 255, 1, 254, 7, 4,
                            {254, 200, 255}};
const std::string DOOR_ROW = "1,0,null,Door,[15],false,10,2,200,99,0,\"[1,2,3,4]\"\n";
const device_values DOOR = {DALI_FLAG_POWER_ON_OFF, -1, "Door", 0x8000, 0, 10, 2, 200, 15, 0, {1, 2, 3, 4}};

bytes expected_upload(bytes before, const std::vector<std::pair<std::uint32_t, device_values>> &rows)
{
    for (const auto &[slot, values] : rows)
        apply_expected(before.data(), slot, values);
    dali_put_u32(before.data(), DALI_LAYOUT_VERSION, 1);
    dali_put_u32(before.data(), DALI_CHECKSUM, channel_checksum(before));
    return before;
}

std::size_t restores(const controller_sim &sim) { return sim.requests("/api/v100/status.ssi", "action=restoreconfig").size(); }

bytes fetch_channel_file(const controller_sim &sim, std::uint32_t channel)
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

std::string huge_field_csv(const temp_dir &dir)
{
    const std::string path = dir.file("huge.csv");
    std::ofstream out(path, std::ios::binary);
    out << VERSION_1;
    const std::string block(1 << 20, 'a');
    for (int i = 0; i < 64; ++i)
        out << block;
    return path;
}

} // namespace channel_test
