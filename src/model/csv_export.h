// A channel's devices written as a channel CSV file or workbook, in exactly
// the format the import (model/csv.h) reads: the version line, a comment
// naming the columns, then one 12-cell row per device, in slot order. Read
// back by the import, the rows give every device the levels, fade, groups,
// scenes, name and short address it had, so exporting again gives the same
// file.
#pragma once

#include "model/dali_layout.h"
#include "model/sheet.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Whether a device entry (of any layout: the flags are its first u32) holds
// a device: its flags carry bit 0 (it has a short address), bit 1 (a power-on
// level is set) or bit 3 (power-on "false"), the bits a device gets when it
// is commissioned or imported from a CSV file. A slot without any of them is
// empty and is not written.
bool channel_slot_holds_device(const std::uint8_t *entry);

// The layout of a channel file of `size` bytes by its layout version field;
// null when the field names no layout or the file is shorter than its layout.
const dali_layout *channel_file_layout(const std::uint8_t *file, std::size_t size);

// The devices of a whole channel file in `layout` as a table: the version
// line, the header row, then one row of 12 cells per device. Names stand as
// they are stored.
struct channel_sheet {
    sheet_table table;
    std::uint32_t devices = 0;
    // Slots whose stored name is not UTF-8 text: a CSV file carries it byte
    // for byte, a workbook (XML) cannot.
    std::vector<std::uint32_t> names_not_utf8;
};
channel_sheet channel_sheet_export(const std::uint8_t *file, const dali_layout &layout);

// The table as CSV text: every name cell quoted and guarded
// (channel_csv_guard_name), other cells quoted where CSV needs it.
std::string channel_sheet_csv(const channel_sheet &sheet);

// The table as a workbook written to `path` (replaced if it exists: the
// caller writes under a temporary name): one worksheet `title`, numbers as
// numbers, names (guarded as in CSV) and arrays as text cells in columns that
// keep typed text as text. A name that is not UTF-8 text has U+FFFD for each
// byte that is not.
// 0, or 1 with `reason` set.
int channel_sheet_workbook(const channel_sheet &sheet, const std::string &path, const char *title, std::string &reason);

struct channel_csv_text {
    std::string text;
    std::uint32_t devices = 0;
    std::vector<std::uint32_t> names_not_utf8;
};

// The CSV text of the devices of a whole channel file in `layout`.
channel_csv_text channel_csv_export(const std::uint8_t *file, const dali_layout &layout);
