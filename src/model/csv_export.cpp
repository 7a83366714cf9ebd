#include "model/csv_export.h"

#include "base/text.h"
#include "model/csv.h"

#include <cstring>
#include <string_view>

namespace {

constexpr const char CSV_VERSION_LINE[] = "#dali-channel-csv-version: 1";
constexpr std::size_t NAME_COLUMN = 3;

// The workbook's columns: widths for the header's words, and text columns
// where a spreadsheet would turn typed names and arrays into numbers or dates.
const std::vector<sheet_column> WORKBOOK_COLUMNS = {
    {6, false}, {6, false}, {13, false}, {34, true}, {16, true}, {14, false},
    {19, false}, {10, false}, {10, false}, {10, false}, {10, false}, {40, true},
};

// A cell as CSV needs it: in double quotes (doubled inside) when it holds a
// separator (',' or the ';' the import also takes), a quote or a line end,
// or begins or ends with a blank (unquoted cells lose those).
std::string quoted(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::string cell(std::string_view text)
{
    const bool needs_quotes = text.find_first_of(",;\"\r\n") != std::string_view::npos ||
                              (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.back() == ' ' ||
                                                 text.back() == '\t'));
    return needs_quotes ? quoted(text) : std::string(text);
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
    return out + "]";
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
    return out + "]";
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

std::string_view name(const std::uint8_t *entry, const dali_layout &layout)
{
    const char *text = reinterpret_cast<const char *>(entry + layout.name);
    // At most the 32 bytes the import keeps.
    return std::string_view(text, strnlen(text, DALI_DEV_NAME_SIZE - 1));
}

sheet_cell number(std::uint32_t value) { return {std::to_string(value), true}; }

// A cell whose text is a decimal number is written as a number.
sheet_cell value(std::string text)
{
    const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    return {std::move(text), digits};
}

// Text for a workbook: every byte that begins no UTF-8 sequence as U+FFFD.
std::string utf8_or_replaced(std::string_view text)
{
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8_sequence_length(text.substr(at));
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++at;
        } else {
            out.append(text.substr(at, length));
            at += length;
        }
    }
    return out;
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

channel_sheet channel_sheet_export(const std::uint8_t *file, const dali_layout &layout)
{
    channel_sheet out;
    out.table.push_back({{CSV_VERSION_LINE}});
    std::vector<sheet_cell> header;
    for (std::uint32_t column = 0; column < CSV_COLUMNS; ++column)
        header.push_back({(column == 0 ? "# " : "") + std::string(channel_csv_column_name(column))});
    out.table.push_back(std::move(header));
    for (std::uint32_t slot = 0; slot < DALI_DEVICE_COUNT; ++slot) {
        const std::uint8_t *entry = file + dali_device_offset(layout, slot);
        if (!channel_slot_holds_device(entry))
            continue;
        ++out.devices;
        const std::string_view stored = name(entry, layout);
        if (!utf8_valid(stored))
            out.names_not_utf8.push_back(slot);
        out.table.push_back({
            number(out.devices),
            number(slot),
            value(short_address(entry)),
            {std::string(stored)},
            {groups(dali_get_u16(entry, DALI_DEV_GROUPS))},
            value(power_on(entry)),
            value(level(entry[DALI_DEV_SYSTEM_FAILURE_LEVEL])),
            number(entry[DALI_DEV_MIN_LEVEL]),
            number(entry[DALI_DEV_MAX_LEVEL]),
            number(entry[DALI_DEV_FADE_RATE]),
            number(entry[DALI_DEV_FADE_TIME]),
            {scenes(entry + DALI_DEV_SCENE_LEVELS)},
        });
    }
    return out;
}

std::string channel_sheet_csv(const channel_sheet &sheet)
{
    std::string text;
    // The version line and the header come first; device rows after them.
    for (std::size_t row = 0; row < sheet.table.size(); ++row) {
        const std::vector<sheet_cell> &cells = sheet.table[row];
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (i > 0)
                text += ',';
            // A name is always quoted, so that a spreadsheet told to keep
            // quoted cells as text keeps "007" and "3.10" as they are.
            text += row >= 2 && i == NAME_COLUMN ? quoted(channel_csv_guard_name(cells[i].text)) : cell(cells[i].text);
        }
        text += '\n';
    }
    return text;
}

int channel_sheet_workbook(const channel_sheet &sheet, const std::string &path, const char *title, std::string &reason)
{
    sheet_table table = sheet.table;
    for (std::size_t row = 2; row < table.size(); ++row)
        table[row][NAME_COLUMN].text = channel_csv_guard_name(utf8_or_replaced(table[row][NAME_COLUMN].text));
    return sheet_workbook_write(path, title, table, WORKBOOK_COLUMNS, 2, reason);
}

channel_csv_text channel_csv_export(const std::uint8_t *file, const dali_layout &layout)
{
    channel_sheet sheet = channel_sheet_export(file, layout);
    return {channel_sheet_csv(sheet), sheet.devices, std::move(sheet.names_not_utf8)};
}
