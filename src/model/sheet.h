// Sheets: the table a technician edits in a spreadsheet, as rows of text
// cells. Read from a CSV file (tokenised by libcsv) or from the first
// worksheet of an .xlsx workbook (its zip archive read over the zip layer,
// its XML by expat); written as a workbook by libxlsxwriter. What the rows
// mean is for the caller (model/csv.h reads channel devices from them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

enum class sheet_kind {
    csv,      // every row has exactly the cells written, quoting removed
    workbook, // a row ends with its last cell that holds a value: cells past it are empty
};

struct sheet_row {
    std::uint32_t number = 0; // as a spreadsheet shows it, counted from 1
    std::vector<std::string> cells;
    // Cells of a workbook that hold a formula saved without its value (by a
    // program that does not calculate): they read as empty, but are not.
    std::vector<std::uint32_t> formulas_without_value;
};

using sheet_row_taker = std::function<void(const sheet_row &)>;

// What sheet_read reports.
enum : int {
    SHEET_READ = 0,     // read to its end
    SHEET_NOT_READ = 1, // the file could not be opened or read: `error` or `reason` says why
    SHEET_REJECTED = 2, // libcsv could not tokenise the file ("Error while parsing file: ..." printed)
};

struct sheet_outcome {
    sheet_kind kind = sheet_kind::csv;
    std::uint32_t rows = 0;   // rows ended (those of a CSV file as libcsv counts them)
    std::uint32_t fields = 0; // fields read after the last row ended (normally 0)
    int error = 0;            // errno when the file could not be opened or read
    std::string reason;       // why a workbook could not be read, when `error` does not say it
};

// Whether `path` names a workbook: its name ends in ".xlsx" in any letter case.
bool sheet_is_workbook(std::string_view path);

// Reads the sheet at `path` (a workbook when sheet_is_workbook, else CSV) and
// hands every row to `take`, in order. A CSV file's UTF-8 byte-order mark is
// skipped and its separator found by sheet_csv_separator; a file libcsv
// rejects prints "Error while parsing file: %s\n" on standard error (the rows
// before the rejection have been handed over). 0, 1 or 2 as above.
int sheet_read(const char *path, const sheet_row_taker &take, sheet_outcome &outcome);

// The first worksheet of the workbook at `path`, whatever its name.
int sheet_workbook_read(const char *path, const sheet_row_taker &take, sheet_outcome &outcome);

// The cell separator of a CSV file that begins with `text`: ',' unless its
// first device row (or, without one, its version line) is separated by ';',
// as spreadsheets write where the decimal separator is a comma.
char sheet_csv_separator(const char *text, std::size_t size);

// Workbook strings carry what XML cannot hold (control characters) as
// "_xHHHH_", a UTF-16 unit in hexadecimal, and so a literal "_xHHHH_" as
// "_x005F_xHHHH_". sheet_unescape reads both; sheet_escape writes the second
// (libxlsxwriter writes the first itself).
std::string sheet_unescape(std::string_view text);
std::string sheet_escape(std::string_view text);

// A cell to write: text, or a number written as one (its text a decimal integer).
struct sheet_cell {
    std::string text;
    bool number = false;
};
using sheet_table = std::vector<std::vector<sheet_cell>>;

// How a column of a written workbook looks: its width in characters, and
// whether cells typed into it later stay text ("007" stays 007).
struct sheet_column {
    double width;
    bool text;
};

// Writes `table` as the one worksheet `title` of a new workbook at `path`
// (a file of that name is replaced: the caller writes under a temporary
// name), the first `frozen` rows kept in view. 0, or 1 with `reason` set.
int sheet_workbook_write(const std::string &path, const char *title, const sheet_table &table,
                         const std::vector<sheet_column> &columns, std::uint32_t frozen, std::string &reason);
