// A channel's devices written as a channel CSV file, in exactly the format
// the import (model/csv.h) reads: the version line, a comment naming the
// columns, then one 12-cell row per device, in slot order. Read back by the
// import, the rows give every device the levels, fade, groups, scenes, name
// and short address it had, so exporting again gives the same file.
#pragma once

#include "model/dali_layout.h"

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

struct channel_csv_text {
    std::string text;
    std::uint32_t devices = 0;
    // Slots whose device name begins with '#': the import reads such a row
    // as a comment, so those devices would not go back.
    std::vector<std::uint32_t> names_read_as_comments;
};

// The CSV text of the devices of a whole channel file in `layout`.
channel_csv_text channel_csv_export(const std::uint8_t *file, const dali_layout &layout);
