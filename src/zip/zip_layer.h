// Layer: formats (json, tar, zip, firmware sit side by side above base and
// use nothing but base, the standard library and libzip). Results: -1 or a
// null handle on failure, as described per operation; nothing here prints.
//
// Zip archive layer: backups are zip archives whose entries are the tar
// archives the controller hands out. Open an archive for writing, reading or
// appending, write entries one after the other, walk the entries by index and
// take each one's whole content into memory, close.
//
// The zip format work is done by libzip. libzip writes an archive when it is
// closed, into a temporary file that is then renamed over the target, so a
// half-written backup never appears under the archive's name. An entry's bytes
// are kept by the handle until then.
//
// The functions live in namespace mzip so that they do not collide with
// libzip's own zip_open and zip_close. Every operation reports failure by its
// result (-1 or a null handle) and prints nothing.
#pragma once

#include "zip/zip_spans.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mzip {

// One open archive: the libzip archive, the compression level given at open,
// the mode, and the one entry currently open. Owned by the layer.
struct zip_handle_t;

// Opens the archive at `path`. `mode` is 'r' (read an existing archive), 'w'
// (create a new archive, replacing any file of that name once it is closed)
// or 'a' (append entries to an existing archive). `level` applies to entries
// written: a negative level stands for 6, 0 stores, 1 to 9 deflate at that
// level, 10 deflates at the strongest level; only the low four bits count, and
// a level whose low four bits exceed 10 is refused without touching the file.
// Returns null for a null or empty path, a refused level, an unknown mode, or
// an archive that cannot be opened (for 'w' and 'a': one whose file cannot be
// created next to the target).
// `reason`, when given, receives why the archive could not be opened.
zip_handle_t *zip_open(const char *path, int level, char mode, std::string *reason = nullptr);

// Writes an archive opened with 'w' or 'a' and releases the handle. An archive
// opened with 'w' and given no entries becomes a valid empty zip archive. An
// entry still open is left out. Does nothing for a null handle. Returns 0, or
// -1 when the archive could not be written (the target is then left as it
// was, and `reason`, when given, says why).
int zip_close(zip_handle_t *zip, std::string *reason = nullptr);

// Opens the entry called `name` ('\\' in the name stands for '/'). Reading:
// finds the entry (exact, case-sensitive). Writing: starts a new entry at the
// end of the archive, time-stamped now; -1 while another entry is open.
int zip_entry_open(zip_handle_t *zip, const char *name);

// Opens the entry at position `index` (archive order) of an archive being read.
int zip_entry_open_at(zip_handle_t *zip, std::int64_t index);

// The open entry's name with '/' separators, valid until the entry is closed;
// null for a null handle or when no entry is open.
const char *zip_entry_name(zip_handle_t *zip);

// 1 when the open entry is a directory (its name ends in '/', or it carries the
// directory attribute), 0 when not, -1 for a null handle or no open entry.
int zip_entry_is_directory(zip_handle_t *zip);

// Appends `count` bytes to the entry being written. -1 for a null handle, no
// entry being written, or an entry grown past what a zip archive without
// 64-bit extensions holds; 0 without doing anything when `data` is null or
// `count` is 0.
int zip_entry_write(zip_handle_t *zip, const void *data, std::size_t count);

// Reads the whole uncompressed content of the open entry of an archive being
// read into `*buf` (and its size into `*bufsize` when given). Returns the size,
// or -1 with `*buf` emptied for a null handle or buffer, an archive not being
// read, no open entry, a directory entry, or a failed extraction (damaged
// data, wrong checksum, unsupported method, encryption). Nothing is inflated
// for an entry that declares more than `max_size` bytes, and an entry whose
// content grows past it is not read further: ZIP_ENTRY_TOO_LARGE. An entry
// whose local header or data lies where another entry's does (a damaged or
// crafted archive: one stream read again and again under many names) is not
// read: ZIP_ENTRY_SHARES_DATA. Once the reads through the handle have
// inflated as much as zip_set_read_limit allows, an entry that would take
// more is not read (further): ZIP_READ_LIMIT_REACHED.
constexpr std::int64_t ZIP_ENTRY_TOO_LARGE = -2;
constexpr std::int64_t ZIP_ENTRY_SHARES_DATA = -3;
constexpr std::int64_t ZIP_READ_LIMIT_REACHED = -4;
std::int64_t zip_entry_read(zip_handle_t *zip, std::vector<unsigned char> *buf, std::size_t *bufsize,
                            std::size_t max_size = std::numeric_limits<std::size_t>::max());

// Bounds the bytes all reads through the handle may inflate together, the
// bytes of failed reads among them (by default, no bound).
void zip_set_read_limit(zip_handle_t *zip, std::uint64_t bytes);

// Ends the open entry. Writing: the entry joins the archive (-1 if it could
// not, and then it is left out). Reading: releases the entry and returns 0.
int zip_entry_close(zip_handle_t *zip);

// Number of entries in the archive (entries written so far included), or -1
// for a null handle.
std::int64_t zip_entry_count(zip_handle_t *zip);

// The entries and the bytes of central directory the archive at `path`
// declares (the most any of its end records names), read from its end before
// zip_open builds a record of every entry: a small file can declare millions.
// Nothing when the file cannot be read or has no end record.
std::optional<zip_directory_size> zip_directory_declared(const char *path);

// Owner of a handle for callers that want one: closes (and so writes) the
// archive when it goes out of scope.
struct zip_handle_closer {
    void operator()(zip_handle_t *zip) const { zip_close(zip); }
};
using zip_handle_ptr = std::unique_ptr<zip_handle_t, zip_handle_closer>;

} // namespace mzip
