// Writing a whole file so that nobody ever sees half of it: the bytes go to a
// temporary file beside it (removed if the run is interrupted), which is then
// put in place.
#pragma once

#include <cstddef>
#include <string>

enum class file_put_mode {
    replace,      // an existing file of that name is replaced
    keep_existing // an existing file is left alone and the call fails with EEXIST
};

// 0 when the file holds `size` bytes of `data`, else the errno of the step
// that failed (nothing of the new file is left then).
int file_put(const std::string &path, const void *data, std::size_t size, file_put_mode mode);

// 0 when files can be made in `folder` (a temporary one is made there and
// removed again), else the errno that says why not: checked before anything
// is fetched that would have to be stored there.
int folder_writable(const std::string &folder);

// The folder a file of `path` would be made in: what comes before its last
// '/' ("/" for a file at the root), or "." when there is none.
std::string folder_of(const std::string &path);

// 0 when `path` names a file that can be opened for reading, else the errno
// that says why not (ENOENT, EACCES, EISDIR for a folder).
int file_readable(const std::string &path);
