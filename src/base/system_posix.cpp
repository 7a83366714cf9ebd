// The system layer on Linux (system.h).
#include "base/system.h"

#include "base/cleanup.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

namespace {

path_type type_of(mode_t mode)
{
    return S_ISREG(mode) ? path_type::regular : S_ISDIR(mode) ? path_type::directory : path_type::other;
}

} // namespace

const char *error_text(int error) { return std::strerror(error); }

path_status path_stat(const std::string &path, bool follow)
{
    struct stat info {};
    path_status status;
    if ((follow ? stat(path.c_str(), &info) : lstat(path.c_str(), &info)) != 0) {
        status.error = errno;
        return status;
    }
    status.type = type_of(info.st_mode);
    if (status.type == path_type::regular)
        status.size = static_cast<std::uint64_t>(info.st_size);
    return status;
}

std::FILE *file_open(const std::string &path, const char *mode, int *error)
{
    std::FILE *file = std::fopen(path.c_str(), mode);
    int failure = file ? 0 : errno;
    // A folder opens for reading here, but is no file to read.
    struct stat info {};
    if (file && mode[0] == 'r' && fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        file = nullptr;
        failure = EISDIR;
    }
    if (error)
        *error = failure;
    return file;
}

std::optional<std::uint64_t> file_size(std::FILE *file)
{
    struct stat info {};
    if (!file || fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

int file_seek(std::FILE *file, std::uint64_t offset)
{
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET);
}

int file_create_new(const std::string &path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    close(fd);
    return 0;
}

int file_remove(const std::string &path) { return unlink(path.c_str()) == 0 ? 0 : errno; }

bool file_remove_now(const char *path) { return unlink(path) == 0; }

std::FILE *temp_file(const std::string &prefix, std::string &temp, int &error, const std::string &mode_of)
{
    temp = prefix + "XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    // The mode a file made with fopen would have, or the replaced file's.
    struct stat info {};
    mode_t mode;
    if (!mode_of.empty() && stat(mode_of.c_str(), &info) == 0) {
        mode = info.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(fd, mode);
    std::FILE *file = fdopen(fd, "wb");
    if (!file) {
        error = errno;
        close(fd);
        unlink(temp.c_str());
        return nullptr;
    }
    error = 0;
    return file;
}

int file_put_in_place(const std::string &temp, const std::string &path, bool replace)
{
    if (replace)
        return std::rename(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
    // link() refuses a name that exists, where rename() would replace it.
    if (link(temp.c_str(), path.c_str()) != 0)
        return errno;
    unlink(temp.c_str());
    return 0;
}

std::string native_path(const std::string &path) { return path; }

bool file_name_fits_in(const std::string &folder, std::string_view name)
{
    const long limit = pathconf(folder.c_str(), _PC_NAME_MAX);
    return name.size() <= (limit > 0 ? static_cast<std::size_t>(limit) : 255);
}

std::string_view file_name_of(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string folder_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string file_name_safe(std::string_view text) { return std::string(text); }

bool local_time(std::time_t when, std::tm &local)
{
    return when != static_cast<std::time_t>(-1) && localtime_r(&when, &local) != nullptr;
}

std::optional<std::string> local_time_iso8601(std::time_t when)
{
    std::tm local{};
    char text[40];
    if (!local_time(when, local) || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0)
        return std::nullopt;
    // strftime writes the offset as +0100.
    const std::string_view written = text;
    std::string stamp(written.substr(0, written.size() - 2));
    stamp += ':';
    stamp += written.substr(written.size() - 2);
    return stamp;
}

void pause_ms(unsigned milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

void console_start() { std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }

std::vector<std::string> command_line(int argc, char **argv) { return std::vector<std::string>(argv, argv + argc); }

stdout_on_stderr::stdout_on_stderr(bool active)
{
    if (!active)
        return;
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

stdout_on_stderr::~stdout_on_stderr()
{
    if (saved_ < 0)
        return;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
}

int stdout_on_stderr::write_original(std::string_view text) const
{
    const int fd = saved_ >= 0 ? saved_ : STDOUT_FILENO;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : EIO;
        done += static_cast<std::size_t>(written);
    }
    return 0;
}

// ---- Interruptions (cleanup.h) ----

namespace {

// Ctrl-C, kill, a closed terminal or SSH session, a closed pipe (`| head`).
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : STOP_SIGNALS)
        sigaddset(&set, signal_number);
    return set;
}

extern "C" void remove_and_end(int signal_number)
{
    cleanup_remove_all();
    // The process ends by the signal, as it would have without this handler.
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

} // namespace

void cleanup_on_signal()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    struct sigaction action {};
    action.sa_handler = remove_and_end;
    action.sa_mask = stop_signals();
    for (const int signal_number : STOP_SIGNALS) {
        // A signal the caller chose to ignore (nohup, a shell's trap) stays ignored.
        struct sigaction before {};
        if (sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        sigaction(signal_number, &action, nullptr);
    }
}

signal_block::signal_block()
{
    const sigset_t set = stop_signals();
    active_ = sigprocmask(SIG_BLOCK, &set, nullptr) == 0;
}

signal_block::~signal_block()
{
    if (active_) {
        const sigset_t set = stop_signals();
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
    }
}
