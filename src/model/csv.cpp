#include "model/csv.h"

#include "base/format.h"
#include "json/json.h"

#include <csv.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>
#include <vector>

namespace {

constexpr const char CSV_VERSION_PREFIX[] = "#dali-channel-csv-version: ";
constexpr std::size_t CSV_VERSION_OFFSET = sizeof CSV_VERSION_PREFIX - 1;  // 27
constexpr std::uint32_t CSV_FORMAT_VERSION = 1;
constexpr std::uint32_t CSV_COLUMNS = 12;
constexpr std::size_t CSV_CHUNK = 1024;
// Bytes looked at to tell the separator: the version line and the first rows.
constexpr std::size_t CSV_SNIFF = 64 * 1024;
constexpr unsigned char UTF8_BOM[] = {0xEF, 0xBB, 0xBF};
constexpr std::uint8_t FADE_LIMIT = 15;

// A decimal cell as the C library's atoi reads it (blanks, sign, digits, 0
// without digits), wrapped to 32 bits instead of overflowing.
std::int32_t csv_decimal(const char *text)
{
    const long long value = std::strtoll(text, nullptr, 10);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long long>(value)));
}

std::uint8_t low_byte(std::int32_t value) { return static_cast<std::uint8_t>(value); }

// A JSON number truncated toward zero to 32 bits; a value outside that range
// (or not a number at all) gives the smallest 32-bit number, which no column
// takes as a valid value and whose low byte is 0.
std::int32_t json_number_i32(double value)
{
    if (!(value > -2147483649.0 && value < 2147483648.0))
        return INT32_MIN;
    return static_cast<std::int32_t>(std::trunc(value));
}

// Closes the JSON stream of one cell whatever way the reading ends.
struct cell_reader {
    json_stream stream;
    explicit cell_reader(const char *text) { json_open_string(&stream, text); }
    ~cell_reader() { json_close(&stream); }
    cell_reader(const cell_reader &) = delete;
    cell_reader &operator=(const cell_reader &) = delete;
    json_type next() { return json_next(&stream); }
    std::int32_t number() { return json_number_i32(json_get_number(&stream)); }
    std::int32_t string_decimal() { return csv_decimal(json_get_string(&stream, nullptr)); }
};

// Whether a decimal cell holds a number at all, as csv_decimal reads it. A
// spreadsheet writes a blank row as 12 empty cells, which would read as slot 0.
bool holds_number(const char *text)
{
    char *end = nullptr;
    std::strtoll(text, &end, 10);
    return end != text;
}

// Column 2: the last value the cell holds, wherever it stands; 0 when none.
std::uint8_t read_short_address(const char *text)
{
    std::uint8_t address = 0;
    cell_reader cell(text);
    for (json_type event = cell.next(); event != JSON_ERROR && event != JSON_DONE; event = cell.next()) {
        if (event == JSON_STRING)
            address = low_byte(cell.string_decimal());
        else if (event == JSON_NUMBER)
            address = low_byte(cell.number());
        else if (event == JSON_NULL)
            address = DALI_NO_ADDRESS;
    }
    return address;
}

// Column 4: the group numbers of a JSON array; 0 to 15 are taken.
std::uint16_t read_groups(const char *text)
{
    std::uint16_t mask = 0;
    bool in_array = false;
    cell_reader cell(text);
    for (json_type event = cell.next(); event != JSON_ERROR && event != JSON_DONE && event != JSON_ARRAY_END;
         event = cell.next()) {
        std::int32_t group = -1;
        if (event == JSON_ARRAY)
            in_array = true;
        else if (in_array && event == JSON_NUMBER)
            group = cell.number();
        else if (in_array && event == JSON_STRING)
            group = cell.string_decimal();
        if (group >= 0 && group < 16)
            mask = static_cast<std::uint16_t>(mask | 1u << group);
    }
    return mask;
}

// Column 11: up to 16 scene levels of a JSON array, the rest 255.
void read_scene_levels(const char *text, std::uint8_t (&levels)[DALI_SCENE_COUNT])
{
    std::memset(levels, DALI_NO_LEVEL, sizeof levels);
    std::uint32_t stored = 0;
    bool in_array = false;
    cell_reader cell(text);
    for (json_type event = cell.next();
         stored < DALI_SCENE_COUNT && event != JSON_ERROR && event != JSON_DONE && event != JSON_ARRAY_END;
         event = cell.next()) {
        if (event == JSON_ARRAY)
            in_array = true;
        else if (in_array && event == JSON_NUMBER)
            levels[stored++] = low_byte(cell.number());
        else if (in_array && event == JSON_STRING)
            levels[stored++] = low_byte(cell.string_decimal());
        else if (in_array && event == JSON_NULL)
            levels[stored++] = DALI_NO_LEVEL;
    }
}

// Columns 5 and 6: "null" in any letter case is 255.
std::uint8_t read_level(const char *text)
{
    return strcasecmp(text, "null") == 0 ? DALI_NO_LEVEL : low_byte(csv_decimal(text));
}

void read_column(channel_csv_row &row, std::uint32_t column, const char *text)
{
    switch (column) {
    case 0: row.column0 = csv_decimal(text); break;
    case 1:
        row.slot = csv_decimal(text);
        row.slot_given = holds_number(text);
        break;
    case 2: row.short_address = read_short_address(text); break;
    case 3: {
        std::string copy;
        if (format_alloc(copy, "%s", text) >= 0)
            row.name = std::move(copy);
        else
            row.name.reset();
        break;
    }
    case 4: row.groups = read_groups(text); break;
    case 5:
        if (strcasecmp(text, "false") == 0) {
            row.power_on_false = true;
            row.power_on_level = 0;
        } else {
            row.power_on_level = read_level(text);
        }
        break;
    case 6: row.system_failure_level = read_level(text); break;
    case 7: row.min_level = low_byte(csv_decimal(text)); break;
    case 8: row.max_level = low_byte(csv_decimal(text)); break;
    case 9: {
        const std::uint8_t rate = low_byte(csv_decimal(text));
        row.fade_rate = rate == 0 ? 1 : rate > FADE_LIMIT ? FADE_LIMIT : rate;
        break;
    }
    case 10: {
        const std::uint8_t time = low_byte(csv_decimal(text));
        row.fade_time = time > FADE_LIMIT ? FADE_LIMIT : time;
        break;
    }
    case 11: read_scene_levels(text, row.scene_levels); break;
    default: break;
    }
}

struct csv_parser_owner {
    csv_parser parser{};
    bool ready = false;
    ~csv_parser_owner()
    {
        if (ready)
            csv_free(&parser);
    }
};

struct file_closer {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

}  // namespace

void channel_csv_field(void *text, std::size_t, void *context)
{
    auto *ctx = static_cast<channel_csv_ctx *>(context);
    if (ctx == nullptr)
        return;
    const char *cell = text != nullptr ? static_cast<const char *>(text) : "";
    if (cell[0] == '#') {
        ctx->comment = true;
        if (const char *found = std::strstr(cell, CSV_VERSION_PREFIX); found != nullptr) {
            // The number stands 27 characters after the field's start (right
            // after the prefix when the field begins with it); holding the
            // prefix, the field is at least that long.
            ctx->row.version = static_cast<std::uint32_t>(csv_decimal(cell + CSV_VERSION_OFFSET));
            ctx->version_1 = ctx->version_1 || ctx->row.version == CSV_FORMAT_VERSION;
        }
    } else if (!ctx->comment && ctx->row.version == CSV_FORMAT_VERSION && ctx->column < CSV_COLUMNS) {
        read_column(ctx->row, ctx->column, cell);
    }
    ++ctx->column;
}

void channel_csv_row_end(int, void *context)
{
    auto *ctx = static_cast<channel_csv_ctx *>(context);
    if (ctx == nullptr)
        return;
    const bool device_row = !ctx->comment && ctx->row.version == CSV_FORMAT_VERSION;
    if (device_row && ctx->column == CSV_COLUMNS && ctx->row.slot_given &&
        static_cast<std::uint32_t>(ctx->row.slot) <= DALI_MAX_SHORT_ADDRESS) {
        channel_csv_apply_row(static_cast<std::uint32_t>(ctx->row.slot), ctx);
        ++ctx->applied;
    } else if (device_row) {
        ++ctx->skipped;
        if (ctx->skipped_rows.size() < CSV_SKIPPED_LISTED)
            ctx->skipped_rows.push_back(ctx->rows + 1);
    }
    const std::uint32_t version = ctx->row.version;
    ctx->row = channel_csv_row{};
    ctx->row.version = version;
    ctx->comment = false;
    ctx->column = 0;
    ++ctx->rows;
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

    char *name = reinterpret_cast<char *>(entry + DALI_LAYOUT_1.name);
    std::strncpy(name, row.name ? row.name->c_str() : "", DALI_DEV_NAME_SIZE);
    name[DALI_DEV_NAME_SIZE - 1] = '\0';

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

char channel_csv_separator(const char *text, std::size_t size)
{
    // Separators outside quotes and outside JSON arrays (a ';' file leaves
    // "[0,1,2,3]" unquoted, and a scene list has up to 15 commas), line by
    // line. The first line that is no comment and holds a separator decides;
    // without one, the first comment line that holds one does (spreadsheets
    // pad the version line with them).
    char comment_verdict = 0;
    std::size_t commas = 0, semicolons = 0, line_start = 0, brackets = 0;
    bool quoted = false;
    for (std::size_t i = 0; i <= size; ++i) {
        const char c = i < size ? text[i] : '\n';
        if (c == '"') {
            quoted = !quoted;
        } else if (quoted && i < size) {
            continue;
        } else if (c == '[') {
            ++brackets;
        } else if (c == ']') {
            brackets -= brackets > 0 ? 1 : 0;
        } else if (brackets > 0 && c != '\n' && c != '\r') {
            continue;
        } else if (c == ',') {
            ++commas;
        } else if (c == ';') {
            ++semicolons;
        } else if (c == '\n' || c == '\r') {
            if (commas + semicolons > 0) {
                const char verdict = semicolons > commas ? ';' : ',';
                if (text[line_start] != '#')
                    return verdict;
                if (comment_verdict == 0)
                    comment_verdict = verdict;
            }
            commas = semicolons = brackets = 0;
            quoted = false;
            line_start = i + 1;
        }
    }
    return comment_verdict != 0 ? comment_verdict : ',';
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

    csv_parser_owner csv;
    if (csv_init(&csv.parser, 0) != 0)
        return CSV_NOT_READ;
    csv.ready = true;
    csv_set_opts(&csv.parser, CSV_APPEND_NULL);

    std::unique_ptr<std::FILE, file_closer> file(std::fopen(path, "rb"));
    if (!file) {
        outcome->open_error = errno;
        return CSV_NOT_READ;
    }

    // The start of the file tells the separator; a byte-order mark is skipped.
    std::vector<char> start(CSV_SNIFF);
    start.resize(std::fread(start.data(), 1, start.size(), file.get()));
    // A file that opens but cannot be read (a folder, an I/O error) is not
    // an empty one: nothing of it is used.
    const auto read_failed = [&] {
        if (!std::ferror(file.get()))
            return false;
        outcome->open_error = errno != 0 ? errno : EIO;
        return true;
    };
    if (read_failed())
        return CSV_NOT_READ;
    std::size_t from = 0;
    if (start.size() >= sizeof UTF8_BOM && std::memcmp(start.data(), UTF8_BOM, sizeof UTF8_BOM) == 0)
        from = sizeof UTF8_BOM;
    csv_set_delim(&csv.parser, channel_csv_separator(start.data() + from, start.size() - from));

    const auto parse = [&](const char *bytes, std::size_t count) {
        if (csv_parse(&csv.parser, bytes, count, channel_csv_field, channel_csv_row_end, &ctx) == count)
            return true;
        std::fprintf(stderr, "Error while parsing file: %s\n", csv_strerror(csv_error(&csv.parser)));
        return false;
    };
    for (std::size_t at = from; at < start.size(); at += CSV_CHUNK)
        if (!parse(start.data() + at, std::min(CSV_CHUNK, start.size() - at)))
            return CSV_REJECTED;
    char chunk[CSV_CHUNK];
    for (std::size_t count; (count = std::fread(chunk, 1, sizeof chunk, file.get())) != 0;)
        if (!parse(chunk, count))
            return CSV_REJECTED;
    if (read_failed())
        return CSV_NOT_READ;
    csv_fini(&csv.parser, channel_csv_field, channel_csv_row_end, &ctx);
    file.reset();
    std::printf("%lu fields, %lu rows\n", static_cast<unsigned long>(ctx.column), static_cast<unsigned long>(ctx.rows));
    outcome->applied = ctx.applied;
    outcome->version_1 = ctx.version_1;
    outcome->skipped = ctx.skipped;
    outcome->skipped_rows = std::move(ctx.skipped_rows);
    return CSV_LOADED;
}
