#include "base/file_put.h"

#include "base/cleanup.h"

#include <cstdint>
#include <cstdio>

namespace {

// `name` in `folder` ("/" and a drive's root "C:\\" have their separator already).
std::string in_folder(const std::string &folder, const char *name)
{
    const bool separated = !folder.empty() && (folder.back() == '/' || folder.back() == '\\');
    return folder + (separated ? "" : "/") + name;
}

// The start of the name of the temporary file that `path` is written to
// first: "NAME.", or, when NAME.XXXXXX would be too long a name for the
// folder, ".mervo-cli-" in that folder.
std::string temp_prefix(const std::string &path)
{
    const std::string folder = folder_of(path);
    if (file_name_fits_in(folder, std::string(file_name_of(path)) + ".XXXXXX"))
        return path + ".";
    return in_folder(folder, ".mervo-cli-");
}

// Reserves a temporary file for `path` (guarded against interruption), open
// for writing with the mode a file made with fopen would have; null with the
// error number when it cannot be made.
std::FILE *stage_open(const std::string &path, std::string &temp, int &error)
{
    signal_block block;
    std::FILE *file = temp_file(temp_prefix(path), temp, error);
    if (file)
        cleanup_add(temp);
    return file;
}

} // namespace

int file_put(const std::string &path, const void *data, std::size_t size, file_put_mode mode)
{
    std::string temp;
    int error = 0;
    std::FILE *file = stage_open(path, temp, error);
    if (!file)
        return error;
    if (size > 0 && std::fwrite(data, 1, size, file) != size)
        error = errno;
    if (std::fclose(file) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        file_discard(temp);
        return error;
    }
    return file_place(temp, path, mode);
}

int file_stage(const std::string &path, std::string &temp)
{
    int error = 0;
    std::FILE *file = stage_open(path, temp, error);
    if (!file)
        return error;
    std::fclose(file);
    return 0;
}

int file_place(const std::string &temp, const std::string &path, file_put_mode mode)
{
    signal_block block;
    const int error = file_put_in_place(temp, path, mode == file_put_mode::replace);
    if (error != 0)
        file_remove(temp);
    cleanup_forget(temp);
    return error;
}

void file_discard(const std::string &temp)
{
    signal_block block;
    file_remove(temp);
    cleanup_forget(temp);
}

std::uint64_t file_size(const std::string &path) { return path_stat(path).size; }

int file_name_fits(const std::string &path)
{
    return file_name_fits_in(folder_of(path), file_name_of(path)) ? 0 : ENAMETOOLONG;
}

int folder_writable(const std::string &folder)
{
    std::string probe;
    int error = 0;
    signal_block block;
    std::FILE *file = temp_file(in_folder(folder, ".mervo-cli-"), probe, error);
    if (!file)
        return error;
    std::fclose(file);
    file_remove(probe);
    return 0;
}

int file_readable(const std::string &path)
{
    int error = 0;
    if (std::FILE *file = file_open(path, "rb", &error))
        std::fclose(file);
    return error;
}
