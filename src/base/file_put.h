// Writing a whole file so that nobody ever sees half of it: the bytes go to a
// temporary file beside it (removed if the run is interrupted), which is then
// put in place.
#pragma once

#include "base/system.h"

#include <cstddef>
#include <cstdint>
#include <string>

enum class file_put_mode {
    replace,      // an existing file of that name is replaced
    keep_existing // an existing file is left alone and the call fails with EEXIST
};

// 0 when the file holds `size` bytes of `data`, else the errno of the step
// that failed (nothing of the new file is left then). The temporary file is
// named after the file ("NAME.XXXXXX"), or, when that name would be too long
// for the folder, ".mervo-cli-XXXXXX": a name that fits fits whole.
int file_put(const std::string &path, const void *data, std::size_t size, file_put_mode mode);

// For a writer that makes its file itself, from a path (a library's file
// writer): file_stage reserves an empty temporary file beside `path`, with the
// mode file_put gives and removed if the run is interrupted, and names it in
// `temp`; the writer fills it; file_place then puts it in place as file_put
// does (the temporary name is gone afterwards, whatever the result), or
// file_discard removes it. Each returns 0 or the errno of the step that failed.
int file_stage(const std::string &path, std::string &temp);
int file_place(const std::string &temp, const std::string &path, file_put_mode mode);
void file_discard(const std::string &temp);

// The size of the file at `path`, or 0 when it has none.
std::uint64_t file_size(const std::string &path);

// 0 when the last part of `path` is a name its folder can hold, else
// ENAMETOOLONG: checked before anything is fetched that would be stored
// under that name. A folder whose limit cannot be told (it is missing) is
// taken to hold names of 255 bytes.
int file_name_fits(const std::string &path);

// 0 when files can be made in `folder` (a temporary one is made there and
// removed again), else the errno that says why not: checked before anything
// is fetched that would have to be stored there.
int folder_writable(const std::string &folder);

// folder_of(), the folder a file of a path would be made in: base/system.h.

// 0 when `path` names a file that can be opened for reading, else the errno
// that says why not (ENOENT, EACCES, EISDIR for a folder).
int file_readable(const std::string &path);
