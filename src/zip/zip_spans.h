// Where the entries of a zip archive lie in its file, read from the central
// directory and the local headers themselves: in a sound archive every entry
// has a local header and data of its own, so two entries whose bytes overlap
// are the mark of a damaged or crafted archive (many records pointing to one
// deflate stream make a small file inflate without end).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace mzip {

// Reads `size` bytes of the archive at `offset` into `out`; the count read
// (fewer at the end of the file, 0 when nothing can be read).
using zip_byte_reader = std::function<std::size_t(std::uint64_t offset, std::size_t size, unsigned char *out)>;

// For each of the archive's entries, in central directory order, whether its
// local header, name, extra field or data overlaps another entry's. The
// archive is `file_size` bytes; `entries` is the count its reader found.
// Nothing when no end record leads to a central directory of exactly that
// many records (a layout this reader does not know): then nothing is known.
std::optional<std::vector<bool>> zip_entries_sharing_data(const zip_byte_reader &read, std::uint64_t file_size,
                                                          std::uint64_t entries);

// The central directory an archive declares: the most entries and bytes any
// end record in its last 64 KiB names (whichever a reader takes, none has
// more), read before any reader builds a record of each entry.
struct zip_directory_size {
    std::uint64_t entries = 0;
    std::uint64_t bytes = 0;
};
// Nothing when there is no end record.
std::optional<zip_directory_size> zip_directory_declared(const zip_byte_reader &read, std::uint64_t file_size);

} // namespace mzip
