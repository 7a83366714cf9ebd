// Import of a channel CSV file: one 12-column row per DALI device, applied to
// the device entries of a layout 1 channel configuration image.
#pragma once

#include "model/channel_file.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The device row being read, filled column by column and cleared after every
// row (except `version`, which the version lines set).
struct channel_csv_row {
    std::uint32_t version = 0;        // of the last "#dali-channel-csv-version: " line
    bool power_on_false = false;      // column 5 held "false"
    std::int32_t column0 = 0;
    std::int32_t slot = 0;            // device entry, 0 to 63 (compared as unsigned)
    bool slot_given = false;          // the slot cell holds a number (not empty, as in a blank row)
    std::uint8_t short_address = 0;   // 255 = none
    std::optional<std::string> name;
    std::uint16_t groups = 0;
    std::uint8_t power_on_level = 0;
    std::uint8_t system_failure_level = 0;
    std::uint8_t min_level = 0;
    std::uint8_t max_level = 0;
    std::uint8_t fade_rate = 0;
    std::uint8_t fade_time = 0;
    std::uint8_t scene_levels[DALI_SCENE_COUNT] = {};
};

// What both parser callbacks are handed.
struct channel_csv_ctx {
    std::uint32_t column = 0;   // index of the next field in the row
    std::uint32_t rows = 0;     // rows ended so far
    bool comment = false;       // the current row has a field beginning with '#'
    channel_config *config = nullptr;
    channel_csv_row row;
    std::uint32_t applied = 0;  // device rows applied to the image
    bool version_1 = false;     // a "#dali-channel-csv-version: 1" line was read
    std::uint32_t skipped = 0;  // rows after that line that were no comment and not applied
    std::vector<std::uint32_t> skipped_rows; // the first CSV_SKIPPED_LISTED of them, counted from 1
};

// How many skipped rows an import names; the others are only counted.
inline constexpr std::size_t CSV_SKIPPED_LISTED = 10;

// What an import found, for the caller to report.
struct csv_outcome {
    std::uint32_t applied = 0;  // device rows applied
    bool version_1 = false;     // the file declared format version 1
    std::uint32_t skipped = 0;  // device rows left out (see channel_csv_ctx)
    std::vector<std::uint32_t> skipped_rows;
    int open_error = 0;         // errno when the file could not be opened or read
};

// The cell separator of a CSV file that begins with `text`: ',' unless its
// first device row (or, without one, its version line) is separated by ';',
// as spreadsheets write where the decimal separator is a comma.
char channel_csv_separator(const char *text, std::size_t size);

// What channel_csv_load reports.
enum : int {
    CSV_LOADED = 0,    // the file was read to its end
    CSV_NOT_READ = 1,  // missing argument, or the file could not be opened or read
    CSV_REJECTED = 2,  // the tokeniser rejected the file: the run must end with status 1
};

// Reads the CSV file at `path` and applies its device rows to `config`, then
// prints "%lu fields, %lu rows\n". A file that cannot be opened changes
// nothing and prints nothing. A UTF-8 byte-order mark at the start is
// skipped, and cells may be separated by ';' (channel_csv_separator).
// `outcome`, when given, receives what the import found. A file the tokeniser rejects prints "Error while
// parsing file: %s\n" on standard error; the rows read before the rejection
// have been applied, so the caller must not use the image.
int channel_csv_load(const char *path, channel_config *config, csv_outcome *outcome = nullptr);

// The tokeniser's field callback: `text` is NUL-terminated, `length` unused.
void channel_csv_field(void *text, std::size_t length, void *context);
// The tokeniser's end-of-row callback.
void channel_csv_row_end(int terminator, void *context);
// Copies the row record of `context` into device entry `slot` (0 to 63).
void channel_csv_apply_row(std::uint32_t slot, channel_csv_ctx *context);
