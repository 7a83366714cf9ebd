#include "base/file_put.h"

#include "base/cleanup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace {

// The longest name a file in `folder` may have (255 bytes where that cannot
// be told).
std::size_t name_max(const std::string &folder)
{
    const long limit = pathconf(folder.c_str(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

// The name of the last part of `path`.
std::string last_name(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The template of the temporary file `path` is written to first.
std::string temp_template(const std::string &path)
{
    constexpr char SUFFIX[] = ".XXXXXX";
    if (last_name(path).size() + sizeof SUFFIX - 1 <= name_max(folder_of(path)))
        return path + SUFFIX;
    const std::string folder = folder_of(path);
    return (folder == "/" ? "" : folder) + "/.mervo-cli-XXXXXX";
}

// Writes all `size` bytes to `fd`; false with errno set when it could not.
bool write_all(int fd, const std::uint8_t *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Reserves a temporary name beside `path` (guarded against interruption)
// and opens it with the mode a file made with fopen would have; -1 with
// errno set when it cannot be made.
int stage_open(const std::string &path, std::string &temp)
{
    temp = temp_template(path);
    int fd;
    {
        signal_block block;
        fd = mkstemp(temp.data());
        if (fd < 0)
            return -1;
        cleanup_add(temp);
    }
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return fd;
}

} // namespace

int file_put(const std::string &path, const void *data, std::size_t size, file_put_mode mode)
{
    std::string temp;
    const int fd = stage_open(path, temp);
    if (fd < 0)
        return errno;
    int error = write_all(fd, static_cast<const std::uint8_t *>(data), size) ? 0 : errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        file_discard(temp);
        return error;
    }
    return file_place(temp, path, mode);
}

int file_stage(const std::string &path, std::string &temp)
{
    const int fd = stage_open(path, temp);
    if (fd < 0)
        return errno;
    close(fd);
    return 0;
}

int file_place(const std::string &temp, const std::string &path, file_put_mode mode)
{
    int error = 0;
    signal_block block;
    if (mode == file_put_mode::replace && std::rename(temp.c_str(), path.c_str()) != 0)
        error = errno;
    // link() refuses a name that exists, where rename() would replace it.
    if (mode == file_put_mode::keep_existing && link(temp.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0 || mode == file_put_mode::keep_existing)
        unlink(temp.c_str());
    cleanup_forget(temp);
    return error;
}

void file_discard(const std::string &temp)
{
    signal_block block;
    unlink(temp.c_str());
    cleanup_forget(temp);
}

std::uint64_t file_size(const std::string &path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

int file_name_fits(const std::string &path)
{
    return last_name(path).size() > name_max(folder_of(path)) ? ENAMETOOLONG : 0;
}

int folder_writable(const std::string &folder)
{
    std::string probe = folder + "/.mervo-cli-XXXXXX";
    signal_block block;
    const int fd = mkstemp(probe.data());
    if (fd < 0)
        return errno;
    close(fd);
    unlink(probe.c_str());
    return 0;
}

std::string folder_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

int file_readable(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat info {};
    const int error = fstat(fd, &info) != 0 ? errno : S_ISDIR(info.st_mode) ? EISDIR : 0;
    close(fd);
    return error;
}
