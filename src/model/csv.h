// Import of a channel CSV file (or of an .xlsx workbook holding the same
// table): the rows read by model/sheet.h are checked here, every cell
// against its column, and each valid 12-column device row is applied to the
// device entries of a layout 1 channel configuration image. Both formats go
// through the same checks and give the same messages.
#pragma once

#include "model/channel_file.h"
#include "model/sheet.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The checked values of one device row.
struct channel_csv_row {
    bool power_on_false = false;    // column 5 held "false"
    std::uint32_t slot = 0;         // device entry, 0 to 63
    std::uint8_t short_address = 0; // 255 = none
    std::string name;               // at most 32 bytes, whole characters
    std::uint16_t groups = 0;
    std::uint8_t power_on_level = 0;
    std::uint8_t system_failure_level = 0;
    std::uint8_t min_level = 0;
    std::uint8_t max_level = 0;
    std::uint8_t fade_rate = 1;     // 1 to 15
    std::uint8_t fade_time = 0;     // 0 to 15
    std::uint8_t scene_levels[DALI_SCENE_COUNT] = {255, 255, 255, 255, 255, 255, 255, 255,
                                                   255, 255, 255, 255, 255, 255, 255, 255};
};

// How many problems an import lists; the others are only counted.
inline constexpr std::size_t CSV_PROBLEMS_LISTED = 10;
// A device row's cells.
inline constexpr std::uint32_t CSV_COLUMNS = 12;

// A row left out or applied with a warning: its number and what is wrong,
// in a technician's words ("row 4 left out: power-on level \"300\" is ...").
struct csv_problem {
    std::uint32_t row = 0;
    std::string text;
};

// What an import found, for the caller to report.
struct csv_outcome {
    std::uint32_t applied = 0;   // device rows applied, those with a warning included
    bool version_1 = false;      // the file declared format version 1
    std::uint32_t left_out = 0;  // device rows not applied (a cell not valid, not 12 cells, read as a comment)
    std::uint32_t warned = 0;    // device rows applied with a warning
    std::uint32_t problems = 0;  // problems found, several in one row included
    std::vector<csv_problem> listed; // the first CSV_PROBLEMS_LISTED of them
    // The first row of a file that is not UTF-8 text: nothing of the file may be used.
    std::optional<csv_problem> not_utf8;
    int open_error = 0;          // errno when the file could not be opened or read
    std::string unreadable;      // else why a workbook could not be read
    std::uint32_t rows = 0;      // rows read, comments and blank rows included
};

// What the import of one file carries from row to row.
struct channel_csv_ctx {
    channel_config *config = nullptr;
    sheet_kind kind = sheet_kind::csv;
    std::uint32_t version = 0;   // of the last "#dali-channel-csv-version: " cell
    channel_csv_row row;         // the device row being applied
    csv_outcome outcome;
};

// What channel_csv_load reports.
enum : int {
    CSV_LOADED = 0,    // the file was read to its end
    CSV_NOT_READ = 1,  // missing argument, or the file could not be opened or read
    CSV_REJECTED = 2,  // the tokeniser rejected the file: the run must end with status 1
};

// Reads the channel file at `path` (a workbook when its name ends in .xlsx,
// else CSV) and applies its valid device rows to `config`, then prints
// "%lu fields, %lu rows\n". A file that cannot be opened or read changes
// nothing and prints nothing. `outcome`, when given, receives what the import
// found; when it names a file that is not UTF-8 (`not_utf8`), rows may have
// been applied before that was found, so the caller must not use the image.
// A file the tokeniser rejects prints "Error while parsing file: %s\n" on
// standard error; the image must not be used then either.
int channel_csv_load(const char *path, channel_config *config, csv_outcome *outcome = nullptr);

// Takes one row of the sheet (version lines and comments too): checks it and
// applies it when it is a valid device row, noting in ctx.outcome what it found.
void channel_csv_take_row(const sheet_row &row, channel_csv_ctx &ctx);

// Reads cell `column` (1 to 11) of a device row into `row`; false when the
// cell holds no value its column takes. A name is taken as written, cut to
// 32 bytes at a character boundary (its guard is taken off before).
bool channel_csv_read_cell(std::uint32_t column, std::string_view text, channel_csv_row &row);

// The column's name, as in the header row ("power-on level").
const char *channel_csv_column_name(std::uint32_t column);

// A name cell that begins with one or more "'" before '=', '+', '-', '@',
// '#', a tab or CR loses one of them: the export writes that "'" (in CSV
// files and workbooks alike) so that a spreadsheet does not read the name as
// a formula, nor the import as a comment. channel_csv_guard_name adds it.
std::string channel_csv_unguard_name(std::string_view cell);
std::string channel_csv_guard_name(std::string_view name);

// Copies the row record of `context` into device entry `slot` (0 to 63).
void channel_csv_apply_row(std::uint32_t slot, channel_csv_ctx *context);
