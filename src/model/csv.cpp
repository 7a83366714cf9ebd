#include "model/csv.h"

#include "base/text.h"
#include "json/json.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

constexpr const char CSV_VERSION_PREFIX[] = "#dali-channel-csv-version: ";
constexpr std::size_t CSV_VERSION_OFFSET = sizeof CSV_VERSION_PREFIX - 1;  // 27
constexpr std::uint32_t CSV_FORMAT_VERSION = 1;
constexpr std::uint8_t FADE_LIMIT = 15;
constexpr std::uint32_t NAME_BYTES = DALI_DEV_NAME_SIZE - 1;
// A cell quoted in a message is cut to this many bytes (whole characters).
constexpr std::size_t CELL_SHOWN = 40;

constexpr const char *COLUMN_NAMES[CSV_COLUMNS] = {
    "id", "slot", "short address", "name", "groups", "power-on level", "system failure level",
    "min level", "max level", "fade rate", "fade time", "scene levels",
};

// What each column takes, as a message says it ("... is no <this>").
constexpr const char *COLUMN_VALUES[CSV_COLUMNS] = {
    "",
    "slot from 0 to 63",
    "short address from 0 to 63 or null",
    "name without a NUL character",
    "JSON array of groups from 0 to 15, such as [0,3] or []",
    "level from 0 to 255, null or false",
    "level from 0 to 255 or null",
    "level from 0 to 255",
    "level from 0 to 255",
    "fade rate from 0 to 255 (0 is stored as 1, above 15 as 15)",
    "fade time from 0 to 255 (above 15 is stored as 15)",
    "JSON array of up to 16 levels from 0 to 255 or null, such as [254,128,null]",
};

bool blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// A whole cell holding a decimal integer: blanks around it, an optional sign,
// then digits and nothing else. Nothing for any other cell (empty, "2.54E+02",
// "12abc") or for more digits than any column takes.
std::optional<long long> decimal(std::string_view text)
{
    text = trimmed(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

std::optional<std::uint8_t> in_range(std::string_view text, long long low, long long high)
{
    const std::optional<long long> value = decimal(text);
    if (!value || *value < low || *value > high)
        return std::nullopt;
    return static_cast<std::uint8_t>(*value);
}

// Stores a value that was read into its field; false when there is none.
template <typename Value, typename Field> bool take(const std::optional<Value> &value, Field &field)
{
    if (value)
        field = static_cast<Field>(*value);
    return value.has_value();
}

bool equals_ignoring_case(std::string_view text, const char *word)
{
    return text.size() == std::strlen(word) && strncasecmp(text.data(), word, text.size()) == 0;
}

// Closes the JSON stream of one cell whatever way the reading ends.
struct cell_reader {
    json_stream stream;
    explicit cell_reader(std::string_view text)
    {
        json_open_buffer(&stream, text.data(), text.size());
        json_set_streaming(&stream, false);
    }
    ~cell_reader() { json_close(&stream); }
    cell_reader(const cell_reader &) = delete;
    cell_reader &operator=(const cell_reader &) = delete;
    json_type next() { return json_next(&stream); }
    std::string_view token() { return json_get_string(&stream, nullptr); }
};

// The elements of a JSON array cell, each handed to `take` with its event
// (a number or a string, with its text; null) until `take` refuses one.
// False unless the cell is one array of such elements and nothing else.
template <typename Take> bool read_array(std::string_view text, Take take)
{
    cell_reader cell(text);
    if (cell.next() != JSON_ARRAY)
        return false;
    for (json_type event = cell.next(); event != JSON_ARRAY_END; event = cell.next()) {
        if (event != JSON_NUMBER && event != JSON_STRING && event != JSON_NULL)
            return false;
        if (!take(event, event == JSON_NULL ? std::string_view() : cell.token()))
            return false;
    }
    return cell.next() == JSON_DONE;
}

std::optional<std::uint16_t> read_groups(std::string_view text)
{
    std::uint16_t mask = 0;
    const bool valid = read_array(text, [&](json_type event, std::string_view token) {
        const std::optional<std::uint8_t> group = event == JSON_NULL ? std::nullopt : in_range(token, 0, 15);
        if (group)
            mask = static_cast<std::uint16_t>(mask | 1u << *group);
        return group.has_value();
    });
    return valid ? std::optional<std::uint16_t>(mask) : std::nullopt;
}

bool read_scene_levels(std::string_view text, std::uint8_t (&levels)[DALI_SCENE_COUNT])
{
    std::uint8_t read[DALI_SCENE_COUNT];
    std::memset(read, DALI_NO_LEVEL, sizeof read);
    std::uint32_t count = 0;
    const bool valid = read_array(text, [&](json_type event, std::string_view token) {
        const std::optional<std::uint8_t> level =
            event == JSON_NULL ? std::optional<std::uint8_t>(DALI_NO_LEVEL) : in_range(token, 0, 255);
        if (!level || count == DALI_SCENE_COUNT)
            return false;
        read[count++] = *level;
        return true;
    });
    if (valid)
        std::memcpy(levels, read, sizeof read);
    return valid;
}

// Columns 5 and 6: "null" in any letter case is 255.
std::optional<std::uint8_t> read_level(std::string_view text)
{
    return equals_ignoring_case(trimmed(text), "null") ? std::optional<std::uint8_t>(DALI_NO_LEVEL)
                                                        : in_range(text, 0, 255);
}

// A cell as a message quotes it: cut to a readable length, made safe for the console.
std::string shown(std::string_view text)
{
    const std::size_t kept = utf8_cut(text, CELL_SHOWN);
    std::string out(1, '"');
    out += console_line(text.substr(0, kept));
    out += kept < text.size() ? "...\"" : "\"";
    return out;
}

void note(csv_outcome &outcome, std::uint32_t row, std::string text)
{
    ++outcome.problems;
    if (outcome.listed.size() < CSV_PROBLEMS_LISTED)
        outcome.listed.push_back({row, std::move(text)});
}

bool begins_comment(const std::string &cell) { return !cell.empty() && cell[0] == '#'; }

// The stored name of device entry `slot`, up to its NUL.
std::string_view stored_name(const channel_config &config, std::uint32_t slot)
{
    const char *name =
        reinterpret_cast<const char *>(config.bytes + dali_device_offset(DALI_LAYOUT_1, slot) + DALI_LAYOUT_1.name);
    return std::string_view(name, strnlen(name, NAME_BYTES));
}

// A CSV file must be UTF-8 text, but a name that is not and that the slot it
// names holds already, byte for byte, is the controller's own (as get_channel
// wrote it) and changes nothing. The first cell that is neither, or nothing.
std::optional<std::size_t> cell_not_utf8(const sheet_row &row, bool device_row, const channel_csv_ctx &ctx)
{
    for (std::size_t i = 0; i < row.cells.size(); ++i) {
        if (utf8_valid(row.cells[i]))
            continue;
        if (device_row && i == 3 && ctx.config != nullptr) {
            const std::optional<long long> slot = row.cells.size() > 1 ? decimal(row.cells[1]) : std::nullopt;
            if (slot && *slot >= 0 && *slot < DALI_DEVICE_COUNT &&
                channel_csv_unguard_name(row.cells[i]) == stored_name(*ctx.config, static_cast<std::uint32_t>(*slot)))
                continue;
        }
        return i;
    }
    return std::nullopt;
}

// A row skipped only because a cell after its slot begins with '#' (a name
// such as "#1 Lobby", a spreadsheet's error value such as "#N/A") looks like
// a device: it is named. A row whose first cells say it is a comment is not.
void note_comment_row(const sheet_row &row, channel_csv_ctx &ctx)
{
    const std::vector<std::string> &cells = row.cells;
    if (ctx.version != CSV_FORMAT_VERSION || cells.size() < 3 || begins_comment(cells[0]) ||
        !in_range(cells[1], 0, DALI_MAX_SHORT_ADDRESS))
        return;
    for (std::size_t i = 2; i < cells.size(); ++i)
        if (begins_comment(cells[i])) {
            const char *column = i < CSV_COLUMNS ? COLUMN_NAMES[i] : "a cell";
            // A name keeps its '#' behind the guard the export writes.
            const std::string hint = i == 3 ? " (a name written as " + shown("'" + cells[i]) + " keeps it)" : "";
            note(ctx.outcome, row.number,
                 "row " + std::to_string(row.number) + " left out: read as a comment, since " + column + " " +
                     shown(cells[i]) + " begins with '#'" + hint);
            ++ctx.outcome.left_out;
            return;
        }
}

// The 12 cells of a device row, or null (the row named) when it has not
// that many: a CSV row has exactly its cells; a workbook's row ends with its
// last value, so a shorter one has empty cells at its end (in `padded`).
const std::vector<std::string> *device_cells(const sheet_row &row, channel_csv_ctx &ctx,
                                             std::vector<std::string> &padded)
{
    const std::size_t count = row.cells.size();
    if (count == CSV_COLUMNS)
        return &row.cells;
    if (ctx.kind == sheet_kind::workbook && count < CSV_COLUMNS) {
        padded = row.cells;
        padded.resize(CSV_COLUMNS);
        return &padded;
    }
    std::string why = ctx.kind == sheet_kind::workbook
                          ? "a value beyond the 12th column (L)"
                          : std::to_string(count) + " cell" + (count == 1 ? "" : "s") + ", a device row has 12";
    note(ctx.outcome, row.number, "row " + std::to_string(row.number) + " left out: " + why);
    ++ctx.outcome.left_out;
    return nullptr;
}

// What a row that was applied could not do, or did with a change: named.
std::vector<std::string> warnings(const std::string &name_cell, const channel_csv_ctx &ctx)
{
    const channel_csv_row &row = ctx.row;
    std::vector<std::string> found;
    if (row.name.size() < name_cell.size())
        found.push_back("name " + shown(name_cell) + " is cut to " + std::to_string(NAME_BYTES) + " bytes: " +
                        shown(row.name));
    if (row.min_level > row.max_level)
        found.push_back("min level " + std::to_string(row.min_level) + " is above max level " +
                        std::to_string(row.max_level) + "; applied as written");
    const std::uint8_t *entry = ctx.config->bytes + dali_device_offset(DALI_LAYOUT_1, row.slot);
    const std::uint32_t flags = dali_get_u32(entry, DALI_DEV_FLAGS);
    const std::string slot = "slot " + std::to_string(row.slot);
    if (row.short_address == DALI_NO_ADDRESS && (flags & DALI_FLAG_ADDRESSED)) {
        const std::uint32_t byte = entry[DALI_DEV_ADDRESS_BYTE];
        std::string address;
        if (byte % 2 == 1 && (byte - 1) / 2 <= DALI_MAX_SHORT_ADDRESS)
            address.append(1, ' ').append(std::to_string((byte - 1) / 2));
        found.push_back(slot + " keeps short address" + address + ": an import cannot remove a short address");
    }
    if (!row.power_on_false && row.power_on_level == 0 && (flags & DALI_FLAG_POWER_ON_OFF))
        found.push_back(slot + " keeps power-on \"false\": an import cannot remove it, so level 0 stays \"false\"");
    return found;
}

} // namespace

const char *channel_csv_column_name(std::uint32_t column)
{
    return column < CSV_COLUMNS ? COLUMN_NAMES[column] : "";
}

std::string channel_csv_unguard_name(std::string_view cell)
{
    const std::size_t quotes = cell.find_first_not_of('\'');
    if (quotes == 0 || quotes == std::string_view::npos ||
        std::strchr("=+-@#\t\r", cell[quotes]) == nullptr || cell[quotes] == '\0')
        return std::string(cell);
    return std::string(cell.substr(1));
}

std::string channel_csv_guard_name(std::string_view name)
{
    const std::size_t quotes = name.find_first_not_of('\'');
    if (quotes == std::string_view::npos || std::strchr("=+-@#\t\r", name[quotes]) == nullptr || name[quotes] == '\0')
        return std::string(name);
    std::string guarded(1, '\'');
    guarded += name;
    return guarded;
}

bool channel_csv_read_cell(std::uint32_t column, std::string_view text, channel_csv_row &row)
{
    switch (column) {
    case 1: return take(in_range(text, 0, DALI_MAX_SHORT_ADDRESS), row.slot);
    case 2: {
        const std::optional<std::uint8_t> address = equals_ignoring_case(trimmed(text), "null")
                                                        ? std::optional<std::uint8_t>(DALI_NO_ADDRESS)
                                                        : in_range(text, 0, 255);
        if (address && *address > DALI_MAX_SHORT_ADDRESS && *address != DALI_NO_ADDRESS)
            return false;
        return take(address, row.short_address);
    }
    case 3:
        if (text.find('\0') != std::string_view::npos)
            return false;
        row.name = std::string(text.substr(0, utf8_cut(text, NAME_BYTES)));
        return true;
    case 4: return take(read_groups(text), row.groups);
    case 5:
        row.power_on_false = equals_ignoring_case(trimmed(text), "false");
        return take(row.power_on_false ? std::optional<std::uint8_t>(0) : read_level(text), row.power_on_level);
    case 6: return take(read_level(text), row.system_failure_level);
    case 7: return take(in_range(text, 0, 255), row.min_level);
    case 8: return take(in_range(text, 0, 255), row.max_level);
    case 9: {
        // The format's limits: 0 is stored as 1, above 15 as 15.
        const std::optional<std::uint8_t> rate = in_range(text, 0, 255);
        return take(rate ? std::optional<std::uint8_t>(*rate == 0 ? 1 : std::min(*rate, FADE_LIMIT)) : std::nullopt,
                    row.fade_rate);
    }
    case 10: {
        const std::optional<std::uint8_t> time = in_range(text, 0, 255);
        return take(time ? std::optional<std::uint8_t>(std::min(*time, FADE_LIMIT)) : std::nullopt, row.fade_time);
    }
    case 11: return read_scene_levels(text, row.scene_levels);
    default: return column == 0;
    }
}

void channel_csv_take_row(const sheet_row &in, channel_csv_ctx &ctx)
{
    csv_outcome &outcome = ctx.outcome;
    ++outcome.rows;
    if (outcome.not_utf8)
        return; // the file is refused whole: nothing more of it is looked at

    // A cell beginning with '#' makes the row a comment; a version line
    // declares the format of the rows after it.
    bool comment = false;
    for (const std::string &cell : in.cells) {
        if (!begins_comment(cell))
            continue;
        comment = true;
        if (cell.find(CSV_VERSION_PREFIX) != std::string::npos) {
            // The number stands 27 characters after the cell's start (right
            // after the prefix when the cell begins with it).
            const long long version = std::strtoll(cell.c_str() + CSV_VERSION_OFFSET, nullptr, 10);
            ctx.version = static_cast<std::uint32_t>(static_cast<unsigned long long>(version));
            outcome.version_1 = outcome.version_1 || ctx.version == CSV_FORMAT_VERSION;
        }
    }
    const bool device_row = !comment && ctx.version == CSV_FORMAT_VERSION;
    if (const std::optional<std::size_t> bad = cell_not_utf8(in, device_row, ctx)) {
        const std::string &cell = in.cells[*bad];
        const std::size_t at = utf8_first_invalid(cell);
        char byte[8];
        std::snprintf(byte, sizeof byte, "0x%02x", static_cast<unsigned char>(cell[at]));
        const char *column = *bad < CSV_COLUMNS ? COLUMN_NAMES[*bad] : "cell";
        outcome.not_utf8 = csv_problem{in.number, "row " + std::to_string(in.number) + " is not UTF-8 text (byte " +
                                                      byte + " in " + column + " " + shown(cell) + ")"};
        return;
    }
    if (comment) {
        note_comment_row(in, ctx);
        return;
    }
    if (!device_row || std::all_of(in.cells.begin(), in.cells.end(), [](const std::string &c) { return c.empty(); }))
        return; // before any version line, or a spreadsheet's blank row

    std::vector<std::string> padded;
    const std::vector<std::string> *cells = device_cells(in, ctx, padded);
    if (cells == nullptr)
        return;
    const std::uint32_t row = in.number;
    ctx.row = channel_csv_row{};
    const std::string name_cell = channel_csv_unguard_name((*cells)[3]);
    bool valid = true;
    for (std::uint32_t column = 1; column < CSV_COLUMNS; ++column) {
        const auto &unvalued = in.formulas_without_value;
        if (std::find(unvalued.begin(), unvalued.end(), column) != unvalued.end()) {
            valid = false;
            note(outcome, row,
                 "row " + std::to_string(row) + " left out: " + COLUMN_NAMES[column] +
                     " holds a formula saved without its value (open and save the workbook in a spreadsheet)");
            continue;
        }
        const std::string &text = column == 3 ? name_cell : (*cells)[column];
        if (channel_csv_read_cell(column, text, ctx.row))
            continue;
        valid = false;
        note(outcome, row,
             "row " + std::to_string(row) + " left out: " + COLUMN_NAMES[column] + " " + shown(text) + " is no " +
                 COLUMN_VALUES[column]);
    }
    if (!valid) {
        ++outcome.left_out;
        return;
    }
    const std::vector<std::string> found = warnings(name_cell, ctx);
    for (const std::string &warning : found)
        note(outcome, row, "row " + std::to_string(row) + " applied: " + warning);
    outcome.warned += found.empty() ? 0 : 1;
    channel_csv_apply_row(ctx.row.slot, &ctx);
    ++outcome.applied;
}

void channel_csv_apply_row(std::uint32_t slot, channel_csv_ctx *context)
{
    if (context == nullptr || context->config == nullptr || slot >= DALI_DEVICE_COUNT)
        return;
    const channel_csv_row &row = context->row;
    std::uint8_t *file = context->config->bytes;
    std::uint8_t *entry = file + dali_device_offset(DALI_LAYOUT_1, slot);

    entry[DALI_DEV_IMPORT_MARK] = 255;
    std::uint32_t flags = dali_get_u32(entry, DALI_DEV_FLAGS);
    flags |= row.power_on_false ? DALI_FLAG_POWER_ON_OFF : DALI_FLAG_POWER_ON;
    if (row.short_address == DALI_NO_ADDRESS)
        std::memset(file + DALI_LAYOUT_1.device_blocks + DALI_DEVICE_BLOCK_SIZE * slot, 0, DALI_DEVICE_BLOCK_SIZE);
    else if (row.short_address <= DALI_MAX_SHORT_ADDRESS)
        flags |= DALI_FLAG_ADDRESSED;
    dali_put_u32(entry, DALI_DEV_FLAGS, flags);

    // The name is cut at a character boundary; NUL bytes fill the field.
    char *name = reinterpret_cast<char *>(entry + DALI_LAYOUT_1.name);
    std::memset(name, 0, DALI_DEV_NAME_SIZE);
    std::memcpy(name, row.name.data(), std::min<std::size_t>(row.name.size(), NAME_BYTES));

    if (row.short_address <= DALI_MAX_SHORT_ADDRESS)
        entry[DALI_DEV_ADDRESS_BYTE] = static_cast<std::uint8_t>(2 * row.short_address + 1);
    dali_put_u16(entry, DALI_DEV_GROUPS, row.groups);
    entry[DALI_DEV_POWER_ON_LEVEL] = row.power_on_level;
    entry[DALI_DEV_SYSTEM_FAILURE_LEVEL] = row.system_failure_level;
    entry[DALI_DEV_MIN_LEVEL] = row.min_level;
    entry[DALI_DEV_MAX_LEVEL] = row.max_level;
    entry[DALI_DEV_FADE_RATE] = row.fade_rate;
    entry[DALI_DEV_FADE_TIME] = row.fade_time;
    std::memcpy(entry + DALI_DEV_SCENE_LEVELS, row.scene_levels, DALI_SCENE_COUNT);
}

int channel_csv_load(const char *path, channel_config *config, csv_outcome *outcome)
{
    csv_outcome found;
    if (outcome == nullptr)
        outcome = &found;
    *outcome = csv_outcome{};
    if (path == nullptr || config == nullptr)
        return CSV_NOT_READ;
    channel_csv_ctx ctx;
    ctx.config = config;
    ctx.kind = sheet_is_workbook(path) ? sheet_kind::workbook : sheet_kind::csv;
    sheet_outcome read;
    const int result = sheet_read(path, [&](const sheet_row &row) { channel_csv_take_row(row, ctx); }, read);
    *outcome = std::move(ctx.outcome);
    outcome->open_error = read.error;
    outcome->unreadable = read.reason;
    if (result == SHEET_REJECTED)
        return CSV_REJECTED;
    if (result != SHEET_READ)
        return CSV_NOT_READ;
    std::printf("%lu fields, %lu rows\n", static_cast<unsigned long>(read.fields), static_cast<unsigned long>(read.rows));
    return CSV_LOADED;
}
