#include "configs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::string_view OTHER_PREFIX = "/etc/config/other/";
constexpr std::string_view BIN_SUFFIX = ".bin";

void put_u8(bytes &file, std::size_t offset, unsigned value) { file[offset] = static_cast<std::uint8_t>(value); }

void put_u16(bytes &file, std::size_t offset, unsigned value)
{
    put_u8(file, offset, value & 0xFF);
    put_u8(file, offset + 1, (value >> 8) & 0xFF);
}

void put_u32(bytes &file, std::size_t offset, std::uint32_t value)
{
    put_u16(file, offset, value & 0xFFFF);
    put_u16(file, offset + 2, value >> 16);
}

void put_text(bytes &file, std::size_t offset, std::size_t field, const char *text)
{
    std::memset(&file[offset], 0, field);
    std::memcpy(&file[offset], text, std::min(std::strlen(text), field - 1));
}

// Fills bytes [from, to) with a repeatable pattern seeded by `seed`.
void put_pattern(bytes &file, std::size_t from, std::size_t to, std::uint32_t seed)
{
    for (std::size_t i = from; i < to; ++i) {
        seed = seed * 1103515245u + 12345u;
        file[i] = static_cast<std::uint8_t>(seed >> 16);
    }
}

const char *const DEVICE_NAMES[4][6] = {
    {"Entrance downlight", "Entrance wall washer", "Reception", "Corridor west", "Corridor east", "Stairs"},
    {"Office 1.01", "Office 1.02", "Office 1.03", "Meeting room", "Kitchen", ""},
    {"Hall A row 1", "Hall A row 2", "Hall A row 3", "Hall A tunable white", "", ""},
    {"Car park ramp", "Car park level -1", "Emergency exit", "Plant room", "Outdoor canopy", ""},
};

// A layout 1 DALI channel file for channel 1 to 4 with a few named devices.
bytes channel_file(unsigned channel)
{
    bytes file(CHANNEL_FILE_SIZE, 0);
    put_u32(file, 0, CHANNEL_FILE_SIZE);
    put_u32(file, 8, 1);              // layout version
    put_u32(file, 12, 3 + channel);   // revision
    put_u32(file, 16, channel);       // channel settings
    put_u32(file, 20, 1);
    put_u16(file, 24, 200);
    put_pattern(file, 26, 56, 0xC0 + channel);
    put_u8(file, 56, 1);
    put_u8(file, 57, 0);
    put_u8(file, 58, 254);
    for (unsigned i = 0; i < 64; ++i) {
        const std::size_t entry = CHANNEL_DEVICES + CHANNEL_DEVICE_SIZE * i;
        const char *name = i < 6 ? DEVICE_NAMES[channel - 1][i] : "";
        if (*name == '\0') {
            // Empty slot: no short address, no levels.
            for (std::size_t offset : {5, 6, 11, 36, 42})
                put_u8(file, entry + offset, 255);
            std::memset(&file[entry + 20], 255, 16);
            continue;
        }
        const unsigned type = i == 3 ? 8 : (i == 2 ? 5 : 6);
        put_u32(file, entry + 0, 1 | 2);         // flags: short address, power-on level
        put_u8(file, entry + 5, 254);            // power-on level
        put_u8(file, entry + 6, 254);            // system-failure level
        put_u8(file, entry + 7, 1);              // minimum level
        put_u8(file, entry + 8, 254);            // maximum level
        put_u8(file, entry + 9, 7);              // fade rate
        put_u8(file, entry + 10, i % 4);         // fade time
        put_u8(file, entry + 11, 2 * i + 1);     // short address i
        put_u16(file, entry + 18, (1u << (i % 4)) | 0x8000u);
        std::memset(&file[entry + 20], 255, 16);
        put_u8(file, entry + 20, 254);           // scene 0: full
        put_u8(file, entry + 21, 128);           // scene 1: half
        put_u8(file, entry + 22, 0);             // scene 2: off
        put_u8(file, entry + 36, 255);
        put_u16(file, entry + 40, 100 + i);
        put_u8(file, entry + 42, type);
        if (type == 5) {
            put_u16(file, entry + 44, 0x0102);
            put_u8(file, entry + 46, 3);
        } else if (type == 6) {
            put_u32(file, entry + 44, 0x0A0B0C0D + i);
            put_u16(file, entry + 48, 0x1122);
            put_u8(file, entry + 50, 0x33);
        } else {
            put_pattern(file, entry + 44, entry + 92, 0x80 + i);
            put_u16(file, entry + 92, 2700);
        }
        put_text(file, entry + CHANNEL_DEVICE_NAME, 33, name);
        put_u32(file, entry + 128, 0x00A10000 + (channel << 8) + i);
        put_u32(file, entry + 132, 0);
        put_pattern(file, entry + 136, entry + 152, channel * 64 + i);
        put_pattern(file, 10396 + 12 * i, 10396 + 12 * (i + 1), 0x5000 + channel * 64 + i);
    }
    for (unsigned group = 0; group < 16; ++group) {
        const std::size_t entry = 9788 + 38 * group;
        char label[24];
        std::snprintf(label, sizeof label, "Group %u", group);
        put_u8(file, entry, group);
        put_u8(file, entry + 1, group < 4 ? 1 : 0);
        put_text(file, entry + 2, 33, label);
    }
    put_u32(file, 11164, 0x0000A55A);
    put_u32(file, 4, channel_file_crc(file.data(), file.size()));
    return file;
}

// A further channel set (cd1 to cd4): size, checksum, version field 1.
bytes channel_set_file(unsigned set)
{
    bytes file(1536, 0);
    put_u32(file, 0, static_cast<std::uint32_t>(file.size()));
    put_u32(file, 8, 1);
    put_u32(file, 12, set);
    put_pattern(file, 16, file.size(), 0x6C00 + set);
    put_u32(file, 4, channel_file_crc(file.data(), file.size()));
    return file;
}

bytes system_file()
{
    bytes file(2048, 0);
    put_text(file, 0, 8, "VSYSCFG");
    put_u32(file, 8, 2);
    put_text(file, 16, 64, "vestra-4");
    put_text(file, 80, 16, "192.168.1.50");
    put_text(file, 96, 16, "255.255.255.0");
    put_text(file, 112, 16, "192.168.1.1");
    put_text(file, 128, 64, "Europe/Berlin");
    put_pattern(file, 256, 1024, 0x51);
    return file;
}

bytes schedule_file()
{
    bytes file(3072, 0);
    put_text(file, 0, 8, "VSCHED");
    put_u32(file, 8, 1);
    put_u32(file, 12, 3);  // three schedules
    const char *const names[] = {"Office hours", "Night setback", "Weekend"};
    for (unsigned i = 0; i < 3; ++i) {
        const std::size_t entry = 64 + 256 * i;
        put_text(file, entry, 32, names[i]);
        put_u8(file, entry + 32, i == 2 ? 0x60 : 0x1F);  // weekdays
        put_u16(file, entry + 34, i == 1 ? 1320 : 420);  // start minute
        put_pattern(file, entry + 40, entry + 256, 0x7100 + i);
    }
    return file;
}

bytes rlc_file()
{
    bytes file(640, 0);
    put_text(file, 0, 8, "VRLC");
    put_u32(file, 8, 1);
    put_pattern(file, 16, file.size(), 0x91C);
    return file;
}

} // namespace

bool sim_config_name_valid(std::string_view name)
{
    if (name.empty() || name.size() > 64)
        return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                        c == '-';
        if (!ok)
            return false;
    }
    return true;
}

std::string config_path(std::string_view name)
{
    for (const config_entry &config : config_catalogue)
        if (name == config.name)
            return config.path;
    return std::string(OTHER_PREFIX) + std::string(name) + std::string(BIN_SUFFIX);
}

std::optional<std::string> config_name_for_path(std::string_view path)
{
    std::string full;
    if (path.substr(0, 2) == "./")
        path.remove_prefix(1);
    if (path.substr(0, 1) != "/")
        full = "/";
    full += path;
    for (const config_entry &config : config_catalogue)
        if (full == config.path)
            return std::string(config.name);
    const std::string_view view = full;
    if (view.size() > OTHER_PREFIX.size() + BIN_SUFFIX.size() && view.substr(0, OTHER_PREFIX.size()) == OTHER_PREFIX &&
        view.substr(view.size() - BIN_SUFFIX.size()) == BIN_SUFFIX) {
        const std::string_view name =
            view.substr(OTHER_PREFIX.size(), view.size() - OTHER_PREFIX.size() - BIN_SUFFIX.size());
        if (sim_config_name_valid(name) && config_path(name) == full)
            return std::string(name);
    }
    return std::nullopt;
}

bytes default_config(std::string_view name)
{
    if (name == "systemconfig")
        return system_file();
    if (name == "schedules")
        return schedule_file();
    if (name == "rlc")
        return rlc_file();
    if (name.size() == 5 && name.substr(0, 4) == "dali" && name[4] >= '1' && name[4] <= '4')
        return channel_file(static_cast<unsigned>(name[4] - '0'));
    if (name.size() == 3 && name.substr(0, 2) == "cd" && name[2] >= '1' && name[2] <= '4')
        return channel_set_file(static_cast<unsigned>(name[2] - '0'));
    return {};
}

std::uint16_t channel_file_crc(const std::uint8_t *data, std::size_t length)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}
