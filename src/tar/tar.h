// Layer: formats (json, tar, zip, firmware sit side by side above base and
// use nothing but base and the standard library). Results: every operation
// returns TAR_OK (0) or one of the negative TAR_ codes below, which the tool
// prints where an archive fails to list; nothing here prints.
//
// Small tar reader and writer. The controller keeps each configuration file as
// a one-entry tar archive; every such archive passes through this layer.
//
// A handle carries four stream callbacks (read, write, seek, close); two stream
// kinds exist: a file on disk and a byte buffer in memory. The layer keeps the
// byte position itself and does everything through the callbacks.
//
// Headers are written in the controller's own dialect: numbers as plain "%o"
// text, the checksum as "%06o" followed by a NUL and a space, no format magic.
// Zero-padded headers of other tar writers are read as well.
#pragma once

#include "base/system.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

enum {
    TAR_OK = 0,
    TAR_FAILURE = -1,
    TAR_OPEN_FAILED = -2,
    TAR_READ_FAILED = -3,
    TAR_WRITE_FAILED = -4,
    TAR_SEEK_FAILED = -5,
    TAR_BAD_CHECKSUM = -6,
    TAR_NULL_RECORD = -7,
    TAR_NOT_FOUND = -8,
};

constexpr std::uint32_t TAR_RECORD_SIZE = 512;
constexpr std::size_t TAR_NAME_SIZE = 100;

struct tar_t {
    // Stream callbacks; each returns 0 or an error code. A missing callback
    // makes the operation that needs it fail with TAR_FAILURE.
    int (*read)(tar_t *tar, void *data, std::uint32_t size) = nullptr;
    int (*write)(tar_t *tar, const void *data, std::uint32_t size) = nullptr;
    int (*seek)(tar_t *tar, std::uint32_t pos) = nullptr;
    int (*close)(tar_t *tar) = nullptr;
    // The stream's object: the open file, the archive bytes being read, or the
    // bytes written so far.
    const void *stream = nullptr;
    std::uint32_t pos = 0;            // position of the next read or write
    std::uint32_t remaining_data = 0; // data bytes of the current entry still to go
    std::uint32_t last_header = 0;    // position of the header last read
    // Length of the stream when reading: the memory reader's buffer, the file's size.
    std::uint32_t stream_size = 0;
    // Owners behind `stream`: the file of a file stream, the archive a memory writer builds.
    file_ptr file;
    std::vector<std::uint8_t> buffer;
};

struct tar_header_t {
    std::uint32_t mode = 0;
    std::uint32_t owner = 0;
    std::uint32_t size = 0;
    std::uint32_t mtime = 0;
    std::int32_t type = 0;            // type character; 0 is written as '0'
    char name[TAR_NAME_SIZE] = {};    // at most 99 characters and a NUL
    char linkname[TAR_NAME_SIZE] = {};
};

const char *tar_strerror(int code);

// File stream. A mode with 'r' opens "rb" and checks the first header at once,
// 'w' opens "wb", 'a' opens "ab"; any other mode goes to fopen as it stands.
int tar_open(tar_t *tar, const char *path, const char *mode);
int tar_file_read(tar_t *tar, void *data, std::uint32_t size);
int tar_file_write(tar_t *tar, const void *data, std::uint32_t size);
int tar_file_seek(tar_t *tar, std::uint32_t pos);
int tar_file_close(tar_t *tar);

// Memory reader over `size` bytes owned by the caller (they must outlive the
// handle). Reads and seeks beyond the end are refused with TAR_FAILURE.
int tar_mem_open_read(tar_t *tar, const void *data, std::uint32_t size);
int tar_mem_read(tar_t *tar, void *data, std::uint32_t size);
int tar_mem_seek(tar_t *tar, std::uint32_t pos);
int tar_mem_close(tar_t *tar);

// Memory writer: only written and finalized. After tar_finalize the archive is
// the first `pos` bytes of `buffer`; tar_mem_take hands them to the caller.
int tar_mem_open_write(tar_t *tar);
int tar_mem_write(tar_t *tar, const void *data, std::uint32_t size);
std::vector<std::uint8_t> tar_mem_take(tar_t *tar);

int tar_close(tar_t *tar);
int tar_seek(tar_t *tar, std::uint32_t pos);
int tar_rewind(tar_t *tar);

// Decodes the record at `pos` into `header`; `pos` stays where it was.
int tar_read_header(tar_t *tar, tar_header_t *header);
// Moves `pos` past the current entry to the next header record.
int tar_next(tar_t *tar);
// Finds the first entry named exactly `name` (TAR_NOT_FOUND if none); `pos` is
// then at its header. `header` may be null.
int tar_find(tar_t *tar, const char *name, tar_header_t *header);
// Whether the reader's stream holds all `size` data bytes of the entry whose
// header is at `pos`. Check it before allocating from a header's size.
bool tar_entry_held(const tar_t *tar, std::uint32_t size);
// Reads the next `count` bytes of the current entry's data. After the entry's
// last byte `pos` is back at its header.
int tar_read_data(tar_t *tar, void *data, std::uint32_t count);

int tar_write_header(tar_t *tar, const tar_header_t *header);
// Regular file: type '0', mode 0664, owner 0, mtime 0, no link name.
int tar_write_file_header(tar_t *tar, const char *name, std::uint32_t size);
// Writes entry data; after the entry's last byte the padding follows.
int tar_write_data(tar_t *tar, const void *data, std::uint32_t count);
// Writes the end marker (two records of NUL bytes).
int tar_finalize(tar_t *tar);
