#include "model/csv_export.h"

#include <cstring>
#include <string_view>

namespace {

constexpr const char CSV_HEADER[] =
    "#dali-channel-csv-version: 1\n"
    "# id,slot,short address,name,groups,power-on level,system failure level,min level,max level,fade rate,"
    "fade time,scene levels\n";

// A cell as CSV needs it: in double quotes (doubled inside) when it holds a
// separator (',' or the ';' the import also takes), a quote or a line end,
// or begins or ends with a blank (unquoted cells lose those).
std::string cell(std::string_view text)
{
    const bool quoted = text.find_first_of(",;\"\r\n") != std::string_view::npos ||
                        (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.back() == ' ' ||
                                           text.back() == '\t'));
    if (!quoted)
        return std::string(text);
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

// A level: 255 stands for none.
std::string level(std::uint8_t value) { return value == DALI_NO_LEVEL ? "null" : std::to_string(value); }

std::string groups(std::uint16_t mask)
{
    std::string out = "[";
    for (unsigned group = 0; group < 16; ++group)
        if (mask & (1u << group)) {
            if (out.size() > 1)
                out += ',';
            out += std::to_string(group);
        }
    return cell(out + "]");
}

// Scenes 0 to 15, the ones without a level after the last that has one left
// out (the import gives every scene it is not told about no level).
std::string scenes(const std::uint8_t *levels)
{
    unsigned count = DALI_SCENE_COUNT;
    while (count > 0 && levels[count - 1] == DALI_NO_LEVEL)
        --count;
    std::string out = "[";
    for (unsigned scene = 0; scene < count; ++scene) {
        if (scene > 0)
            out += ',';
        out += level(levels[scene]);
    }
    return cell(out + "]");
}

// The short address of a device whose address byte is 2 x address + 1, or
// "null" when it has none.
std::string short_address(const std::uint8_t *entry)
{
    const std::uint32_t flags = dali_get_u32(entry, DALI_DEV_FLAGS);
    const std::uint32_t byte = entry[DALI_DEV_ADDRESS_BYTE];
    if (!(flags & DALI_FLAG_ADDRESSED) || byte % 2 == 0 || (byte - 1) / 2 > DALI_MAX_SHORT_ADDRESS)
        return "null";
    return std::to_string((byte - 1) / 2);
}

std::string power_on(const std::uint8_t *entry)
{
    const std::uint32_t flags = dali_get_u32(entry, DALI_DEV_FLAGS);
    const std::uint8_t value = entry[DALI_DEV_POWER_ON_LEVEL];
    return (flags & DALI_FLAG_POWER_ON_OFF) && value == 0 ? "false" : level(value);
}

std::string name(const std::uint8_t *entry, const dali_layout &layout)
{
    const char *text = reinterpret_cast<const char *>(entry + layout.name);
    // At most the 32 characters the import keeps.
    return cell(std::string_view(text, strnlen(text, DALI_DEV_NAME_SIZE - 1)));
}

} // namespace

bool channel_slot_holds_device(const std::uint8_t *entry)
{
    return (dali_get_u32(entry, DALI_DEV_FLAGS) & (DALI_FLAG_ADDRESSED | DALI_FLAG_POWER_ON | DALI_FLAG_POWER_ON_OFF)) != 0;
}

const dali_layout *channel_file_layout(const std::uint8_t *file, std::size_t size)
{
    if (file == nullptr || size < DALI_DEVICES)
        return nullptr;
    const dali_layout *layout = dali_layout_for_version(dali_get_u32(file, DALI_LAYOUT_VERSION));
    return layout != nullptr && size >= layout->file_size ? layout : nullptr;
}

channel_csv_text channel_csv_export(const std::uint8_t *file, const dali_layout &layout)
{
    channel_csv_text out;
    out.text = CSV_HEADER;
    for (std::uint32_t slot = 0; slot < DALI_DEVICE_COUNT; ++slot) {
        const std::uint8_t *entry = file + dali_device_offset(layout, slot);
        if (!channel_slot_holds_device(entry))
            continue;
        ++out.devices;
        if (entry[layout.name] == '#')
            out.names_read_as_comments.push_back(slot);
        const std::string cells[] = {
            std::to_string(out.devices),
            std::to_string(slot),
            short_address(entry),
            name(entry, layout),
            groups(dali_get_u16(entry, DALI_DEV_GROUPS)),
            power_on(entry),
            level(entry[DALI_DEV_SYSTEM_FAILURE_LEVEL]),
            std::to_string(entry[DALI_DEV_MIN_LEVEL]),
            std::to_string(entry[DALI_DEV_MAX_LEVEL]),
            std::to_string(entry[DALI_DEV_FADE_RATE]),
            std::to_string(entry[DALI_DEV_FADE_TIME]),
            scenes(entry + DALI_DEV_SCENE_LEVELS),
        };
        for (std::size_t i = 0; i < std::size(cells); ++i)
            out.text += (i > 0 ? "," : "") + cells[i];
        out.text += '\n';
    }
    return out;
}
