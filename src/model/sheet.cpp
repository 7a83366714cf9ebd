// Sheets read from CSV files; the workbook side is in sheet_workbook.cpp.
#include "model/sheet.h"

#include "base/system.h"

#include <csv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <strings.h>

namespace {

constexpr std::size_t CSV_CHUNK = 1024;
// Bytes looked at to tell the separator: the version line and the first rows.
constexpr std::size_t CSV_SNIFF = 64 * 1024;
constexpr unsigned char UTF8_BOM[] = {0xEF, 0xBB, 0xBF};

struct csv_parser_owner {
    csv_parser parser{};
    bool ready = false;
    ~csv_parser_owner()
    {
        if (ready)
            csv_free(&parser);
    }
};

// The row being tokenised, handed over whole at its end.
struct csv_reading {
    const sheet_row_taker *take = nullptr;
    sheet_row row;
    std::uint32_t rows = 0;
    std::uint32_t fields = 0;
};

// libcsv's field callback: `text` holds `length` bytes (and a NUL after them).
void csv_field(void *text, std::size_t length, void *context)
{
    auto *reading = static_cast<csv_reading *>(context);
    if (text != nullptr)
        reading->row.cells.emplace_back(static_cast<const char *>(text), length);
    else
        reading->row.cells.emplace_back();
    ++reading->fields;
}

// libcsv's end-of-row callback.
void csv_row_end(int, void *context)
{
    auto *reading = static_cast<csv_reading *>(context);
    reading->row.number = ++reading->rows;
    (*reading->take)(reading->row);
    reading->row.cells.clear();
    reading->fields = 0;
}

int csv_read(const char *path, const sheet_row_taker &take, sheet_outcome &outcome)
{
    csv_parser_owner csv;
    if (csv_init(&csv.parser, 0) != 0)
        return SHEET_NOT_READ;
    csv.ready = true;
    csv_set_opts(&csv.parser, CSV_APPEND_NULL);

    int open_error = 0;
    file_ptr file(file_open(path, "rb", &open_error));
    if (!file) {
        outcome.error = open_error;
        return SHEET_NOT_READ;
    }

    // The start of the file tells the separator; a byte-order mark is skipped.
    std::vector<char> start(CSV_SNIFF);
    start.resize(std::fread(start.data(), 1, start.size(), file.get()));
    // A file that opens but cannot be read (a folder, an I/O error) is not
    // an empty one: nothing of it is used.
    const auto read_failed = [&] {
        if (!std::ferror(file.get()))
            return false;
        outcome.error = errno != 0 ? errno : EIO;
        return true;
    };
    if (read_failed())
        return SHEET_NOT_READ;
    std::size_t from = 0;
    if (start.size() >= sizeof UTF8_BOM && std::memcmp(start.data(), UTF8_BOM, sizeof UTF8_BOM) == 0)
        from = sizeof UTF8_BOM;
    csv_set_delim(&csv.parser, sheet_csv_separator(start.data() + from, start.size() - from));

    csv_reading reading;
    reading.take = &take;
    const auto parse = [&](const char *bytes, std::size_t count) {
        if (csv_parse(&csv.parser, bytes, count, csv_field, csv_row_end, &reading) == count)
            return true;
        std::fprintf(stderr, "Error while parsing file: %s\n", csv_strerror(csv_error(&csv.parser)));
        return false;
    };
    for (std::size_t at = from; at < start.size(); at += CSV_CHUNK)
        if (!parse(start.data() + at, std::min(CSV_CHUNK, start.size() - at)))
            return SHEET_REJECTED;
    char chunk[CSV_CHUNK];
    for (std::size_t count; (count = std::fread(chunk, 1, sizeof chunk, file.get())) != 0;)
        if (!parse(chunk, count))
            return SHEET_REJECTED;
    if (read_failed())
        return SHEET_NOT_READ;
    csv_fini(&csv.parser, csv_field, csv_row_end, &reading);
    outcome.rows = reading.rows;
    outcome.fields = reading.fields;
    return SHEET_READ;
}

} // namespace

bool sheet_is_workbook(std::string_view path)
{
    constexpr std::string_view extension = ".xlsx";
    return path.size() > extension.size() &&
           strncasecmp(path.data() + path.size() - extension.size(), extension.data(), extension.size()) == 0;
}

int sheet_read(const char *path, const sheet_row_taker &take, sheet_outcome &outcome)
{
    outcome = sheet_outcome{};
    if (path == nullptr)
        return SHEET_NOT_READ;
    if (sheet_is_workbook(path))
        return sheet_workbook_read(path, take, outcome);
    return csv_read(path, take, outcome);
}

char sheet_csv_separator(const char *text, std::size_t size)
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
