// The system layer on Windows (system.h): UTF-8 paths through the wide
// Windows API, Windows' own error numbers turned into the C library's.
// rand_s, the system's random numbers, for the names of temporary files.
#define _CRT_RAND_S

#include "base/system.h"

#include "base/cleanup.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// The C library's words on Linux, so that a message reads the same on both
// systems; the Windows C runtime words some differently ("Filename too long").
struct error_word {
    int error;
    const char *text;
};
constexpr error_word ERROR_WORDS[] = {
    {EPERM, "Operation not permitted"},
    {ENOENT, "No such file or directory"},
    {EINTR, "Interrupted system call"},
    {EIO, "Input/output error"},
    {ENXIO, "No such device or address"},
    {EBADF, "Bad file descriptor"},
    {EAGAIN, "Resource temporarily unavailable"},
    {ENOMEM, "Cannot allocate memory"},
    {EACCES, "Permission denied"},
    {EBUSY, "Device or resource busy"},
    {EEXIST, "File exists"},
    {EXDEV, "Invalid cross-device link"},
    {ENODEV, "No such device"},
    {ENOTDIR, "Not a directory"},
    {EISDIR, "Is a directory"},
    {EINVAL, "Invalid argument"},
    {ENFILE, "Too many open files in system"},
    {EMFILE, "Too many open files"},
    {EFBIG, "File too large"},
    {ENOSPC, "No space left on device"},
    {ESPIPE, "Illegal seek"},
    {EROFS, "Read-only file system"},
    {EPIPE, "Broken pipe"},
    {ERANGE, "Numerical result out of range"},
    {ENAMETOOLONG, "File name too long"},
    {ENOSYS, "Function not implemented"},
    {ENOTEMPTY, "Directory not empty"},
    {EILSEQ, "Invalid or incomplete multibyte or wide character"},
    {FILE_IN_USE, "the file is open in another program"},
};

// The error number of a Windows error code.
int error_of(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE:
    case ERROR_NETWORK_ACCESS_DENIED:
        return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        return FILE_IN_USE;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
        return EINVAL;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
        return EPIPE;
    case ERROR_NO_UNICODE_TRANSLATION:
        return EILSEQ;
    default:
        return EIO;
    }
}

int last_error() { return error_of(GetLastError()); }

// A path that runs through a file as if it were a folder ("notes.txt\\x")
// is no missing path: ENOTDIR, as Linux says, where Windows says "path not found".
int path_error(const std::wstring &path, DWORD code)
{
    if (code == ERROR_PATH_NOT_FOUND || code == ERROR_DIRECTORY) {
        std::wstring folder = path;
        for (std::size_t end; (end = folder.find_last_of(L"/\\")) != std::wstring::npos && end > 0;) {
            folder.resize(end);
            const DWORD attributes = GetFileAttributesW(folder.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES)
                return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ENOENT : ENOTDIR;
        }
    }
    return error_of(code);
}


std::wstring widen(std::string_view text)
{
    if (text.empty())
        return {};
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(),
                            length);
    return wide;
}

std::string narrow(const wchar_t *text, std::size_t count)
{
    if (count == 0)
        return {};
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), out.data(), length, nullptr, nullptr);
    return out;
}

// Paths shorter than this need no long form: the system takes them as they
// are (a folder must leave room for a 12-character file name in it).
constexpr std::size_t SHORT_PATH_MAX = MAX_PATH - 12;

// The path as the wide API takes it: absolute with "\\?\" before it when it
// is too long for the plain form. Empty when `path` is no UTF-8 (EILSEQ) or
// empty (ENOENT), with `error` set.
std::wstring system_path(const std::string &path, int &error)
{
    error = 0;
    if (path.empty()) {
        error = ENOENT;
        return {};
    }
    std::wstring wide = widen(path);
    if (wide.empty()) {
        error = EILSEQ;
        return {};
    }
    if (wide.size() < SHORT_PATH_MAX || wide.rfind(L"\\\\?\\", 0) == 0)
        return wide;
    const DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (length == 0)
        return wide;
    std::wstring full(length, L'\0');
    const DWORD written = GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
    full.resize(written);
    if (full.size() < SHORT_PATH_MAX)
        return full;
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

DWORD attributes_of(const std::wstring &path) { return path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str()); }

bool is_directory(const std::wstring &path)
{
    const DWORD attributes = attributes_of(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The error number of the call on `path` that just failed; Windows denies
// access to a folder where Linux names it (`if_directory`).
int failure_on(const std::wstring &path, int if_directory)
{
    const DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED && is_directory(path))
        return if_directory;
    return path_error(path, code);
}

// Whether another program holds the file at `path` open without letting it
// be removed or replaced (Windows then refuses a replacement as "access
// denied", which would wrongly blame the permissions).
bool held_by_another_program(const std::wstring &path)
{
    HANDLE handle = CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

// Sharing that lets other programs go on reading, writing, renaming and
// removing a file this program has open, as they can on Linux.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A C stream over an open handle; the handle is closed when that fails.
std::FILE *stream_of(HANDLE handle, int flags, const char *mode, int &error)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        error = EMFILE;
        return nullptr;
    }
    std::FILE *file = _fdopen(fd, mode);
    if (!file) {
        error = errno;
        _close(fd);
        return nullptr;
    }
    return file;
}

// What the console's output code page was before this run made it UTF-8.
UINT console_code_page = 0;

void restore_console_code_page()
{
    if (console_code_page != 0)
        SetConsoleOutputCP(console_code_page);
}

// The stream that the console output functions below write in one piece.
bool console_stream(std::FILE *stream) { return stream == stdout || stream == stderr; }

// Writes one piece to a console stream.
int write_piece(std::FILE *stream, const char *text, std::size_t length)
{
    return std::fwrite(text, 1, length, stream) == length ? static_cast<int>(length) : EOF;
}

} // namespace

const char *error_text(int error)
{
    for (const error_word &word : ERROR_WORDS)
        if (word.error == error)
            return word.text;
    return std::strerror(error);
}

path_status path_stat(const std::string &path, bool follow)
{
    path_status status;
    const std::wstring wide = system_path(path, status.error);
    if (status.error != 0)
        return status;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
        status.error = path_error(wide, GetLastError());
        return status;
    }
    DWORD attributes = data.dwFileAttributes;
    std::uint64_t size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        if (!follow) {
            status.type = path_type::other; // the link itself
            return status;
        }
        // What the link leads to.
        HANDLE handle = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        BY_HANDLE_FILE_INFORMATION information{};
        const bool known = handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &information);
        if (!known)
            status.error = last_error();
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        if (!known)
            return status;
        attributes = information.dwFileAttributes;
        size = (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        status.type = path_type::directory;
    } else if (attributes & FILE_ATTRIBUTE_DEVICE) {
        status.type = path_type::other;
    } else {
        status.type = path_type::regular;
        status.size = size;
    }
    return status;
}

std::FILE *file_open(const std::string &path, const char *mode, int *error)
{
    int failure = 0;
    std::FILE *file = nullptr;
    const std::wstring wide = system_path(path, failure);
    if (failure == 0) {
        DWORD access = GENERIC_READ, disposition = OPEN_EXISTING;
        int flags = _O_RDONLY;
        if (mode[0] == 'w') {
            access = GENERIC_WRITE;
            disposition = CREATE_ALWAYS;
            flags = _O_WRONLY;
        } else if (mode[0] == 'a') {
            access = FILE_APPEND_DATA;
            disposition = OPEN_ALWAYS;
            flags = _O_WRONLY | _O_APPEND;
        }
        if (mode[0] == 'r' && is_directory(wide)) {
            failure = EISDIR;
        } else {
            HANDLE handle =
                CreateFileW(wide.c_str(), access, SHARE_ALL, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
            // A name Windows refuses (a control character, '?', '*', ...)
            // names no file there is to read: no such file, as on Linux.
            if (handle == INVALID_HANDLE_VALUE)
                failure = mode[0] == 'r' && GetLastError() == ERROR_INVALID_NAME ? ENOENT : failure_on(wide, EISDIR);
            else
                file = stream_of(handle, flags, mode, failure);
        }
    }
    if (error)
        *error = file ? 0 : failure;
    return file;
}

std::optional<std::uint64_t> file_size(std::FILE *file)
{
    if (!file)
        return std::nullopt;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    BY_HANDLE_FILE_INFORMATION information{};
    if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(handle, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return std::nullopt;
    return (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
}

int file_seek(std::FILE *file, std::uint64_t offset)
{
    return _fseeki64(file, static_cast<long long>(offset), SEEK_SET);
}

int file_create_new(const std::string &path)
{
    int error = 0;
    const std::wstring wide = system_path(path, error);
    if (error != 0)
        return error;
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return failure_on(wide, EEXIST);
    CloseHandle(handle);
    return 0;
}

int file_remove(const std::string &path)
{
    int error = 0;
    const std::wstring wide = system_path(path, error);
    if (error != 0)
        return error;
    if (DeleteFileW(wide.c_str()))
        return 0;
    error = failure_on(wide, EISDIR);
    return error == EACCES && held_by_another_program(wide) ? FILE_IN_USE : error;
}

bool file_remove_now(const char *path) { return file_remove(path) == 0; }

std::FILE *temp_file(const std::string &prefix, std::string &temp, int &error, const std::string &)
{
    // A new file gets the access rules of its folder (`mode_of` is not
    // used: Windows has no permission bits to carry over).
    static const char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = prefix + "XXXXXX";
        for (std::size_t i = temp.size() - 6; i < temp.size(); ++i) {
            unsigned int random = 0;
            if (rand_s(&random) != 0)
                random = GetTickCount() + static_cast<unsigned>(attempt) * 7919u + static_cast<unsigned>(i);
            temp[i] = LETTERS[random % (sizeof LETTERS - 1)];
        }
        const std::wstring wide = system_path(temp, error);
        if (error != 0)
            return nullptr;
        HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            std::FILE *file = stream_of(handle, _O_WRONLY, "wb", error);
            if (!file)
                DeleteFileW(wide.c_str());
            else
                error = 0;
            return file;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
            error = failure_on(wide, EACCES);
            return nullptr;
        }
    }
    error = EEXIST;
    return nullptr;
}

int file_put_in_place(const std::string &temp, const std::string &path, bool replace)
{
    int error = 0;
    const std::wstring from = system_path(temp, error);
    const std::wstring to = error == 0 ? system_path(path, error) : std::wstring();
    if (error != 0)
        return error;
    // Without MOVEFILE_REPLACE_EXISTING the move fails where a file of that
    // name exists: Windows' own no-replace.
    if (MoveFileExW(from.c_str(), to.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0))
        return 0;
    error = failure_on(to, replace ? EISDIR : EEXIST);
    return error == EACCES && held_by_another_program(to) ? FILE_IN_USE : error;
}

std::string native_path(const std::string &path)
{
    int error = 0;
    const std::wstring wide = system_path(path, error);
    if (error != 0 || wide.rfind(L"\\\\?\\", 0) != 0)
        return path;
    return narrow(wide.data(), wide.size());
}

bool file_name_fits_in(const std::string &, std::string_view name)
{
    // Every file system Windows writes (NTFS, exFAT, FAT's long names, ReFS)
    // takes names of up to 255 UTF-16 characters.
    constexpr std::size_t NAME_MAX_UTF16 = 255;
    const std::wstring wide = widen(name);
    return !(wide.empty() && !name.empty()) && wide.size() <= NAME_MAX_UTF16;
}

std::string_view file_name_of(std::string_view path)
{
    const std::size_t end = path.find_last_of("/\\:");
    return end == std::string_view::npos ? path : path.substr(end + 1);
}

std::string folder_of(const std::string &path)
{
    const bool drive = path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
    const std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos)
        return drive ? path.substr(0, 2) + "." : ".";
    // The root of the drive, or of the current one.
    if (slash == 0 || (drive && slash == 2))
        return path.substr(0, slash + 1);
    return path.substr(0, slash);
}

std::string file_name_safe(std::string_view text)
{
    std::string out(text);
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>:\"/\\|?*", c))
            c = '_';
    return out;
}

bool local_time(std::time_t when, std::tm &local)
{
    return when != static_cast<std::time_t>(-1) && localtime_s(&local, &when) == 0;
}

std::optional<std::string> local_time_iso8601(std::time_t when)
{
    std::tm local{};
    char text[40];
    if (!local_time(when, local) || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local) == 0)
        return std::nullopt;
    // The Windows C runtime writes a zone's name for %z: the offset is the
    // local time read as UTC, less the time itself.
    std::tm copy = local;
    const long long offset = static_cast<long long>(_mkgmtime64(&copy)) - static_cast<long long>(when);
    const long long minutes = (offset < 0 ? -offset : offset) / 60;
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02lld:%02lld", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return std::string(text) + zone;
}

void pause_ms(unsigned milliseconds) { Sleep(milliseconds); }

void console_start()
{
    // Bytes as they are: the text mode would write "\r\n" for every "\n",
    // and the tool's own "\r\n" lines as "\r\r\n".
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // The Windows C runtime takes line buffering for full buffering: without
    // a buffer, each print goes out whole as it is made (see below).
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    // A console shows the UTF-8 text as such; its code page is put back at the end.
    DWORD console_mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &console_mode) && GetConsoleOutputCP() != CP_UTF8) {
        console_code_page = GetConsoleOutputCP();
        if (SetConsoleOutputCP(CP_UTF8))
            std::atexit(restore_console_code_page);
        else
            console_code_page = 0;
    }
}

// The command line as the C runtime splits it, in its wide form.
struct startup_information {
    int new_mode;
};
extern "C" int __wgetmainargs(int *count, wchar_t ***words, wchar_t ***environment, int expand_wildcards,
                              startup_information *information);

std::vector<std::string> command_line(int argc, char **argv)
{
    int count = 0;
    wchar_t **words = nullptr;
    wchar_t **environment = nullptr;
    startup_information information{};
    if (__wgetmainargs(&count, &words, &environment, 0, &information) != 0 || !words || count != argc)
        return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i)
        out.push_back(narrow(words[i], std::wcslen(words[i])));
    return out;
}

stdout_on_stderr::stdout_on_stderr(bool active)
{
    if (!active)
        return;
    std::fflush(stdout);
    saved_ = _dup(_fileno(stdout));
    _dup2(_fileno(stderr), _fileno(stdout));
}

stdout_on_stderr::~stdout_on_stderr()
{
    if (saved_ < 0)
        return;
    std::fflush(stdout);
    _dup2(saved_, _fileno(stdout));
    _close(saved_);
}

int stdout_on_stderr::write_original(std::string_view text) const
{
    const int fd = saved_ >= 0 ? saved_ : _fileno(stdout);
    std::size_t done = 0;
    while (done < text.size()) {
        const unsigned piece = static_cast<unsigned>(std::min<std::size_t>(text.size() - done, 1u << 30));
        const int written = _write(fd, text.data() + done, piece);
        if (written <= 0)
            return written < 0 ? errno : EIO;
        done += static_cast<std::size_t>(written);
    }
    return 0;
}

// Standard output and standard error have no buffer (console_start), and
// mingw-w64's printf family hands an unbuffered stream one character at a
// time: a line would reach a pipe or the console in as many pieces. The
// linker routes those calls here (--wrap, src/base/CMakeLists.txt), where a
// print to either stream is formatted first and written in one piece.
extern "C" int __real___mingw_vfprintf(std::FILE *stream, const char *format, va_list args);

extern "C" int __wrap___mingw_vfprintf(std::FILE *stream, const char *format, va_list args)
{
    if (!console_stream(stream))
        return __real___mingw_vfprintf(stream, format, args);
    char small[1024];
    va_list copy;
    va_copy(copy, args);
    const int length = __mingw_vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0)
        return __real___mingw_vfprintf(stream, format, args);
    if (static_cast<std::size_t>(length) < sizeof small)
        return write_piece(stream, small, static_cast<std::size_t>(length));
    std::string text(static_cast<std::size_t>(length), '\0');
    __mingw_vsnprintf(text.data(), text.size() + 1, format, args);
    return write_piece(stream, text.data(), text.size());
}

extern "C" int __wrap_puts(const char *text)
{
    std::string line(text);
    line += '\n';
    return write_piece(stdout, line.data(), line.size()) == EOF ? EOF : 0;
}

// ---- Interruptions (cleanup.h) ----

namespace {

// Held by signal_block, and by the handler while it removes the files: an
// interruption waits until a file is put in place, or has been removed.
CRITICAL_SECTION stop_lock;
bool stop_lock_ready = false;

void ensure_stop_lock()
{
    if (!stop_lock_ready) {
        InitializeCriticalSection(&stop_lock);
        stop_lock_ready = true;
    }
}

// Runs on a thread of its own when Ctrl-C or Ctrl-Break is pressed, the
// console window is closed, or the user logs off or the system shuts down.
BOOL WINAPI remove_and_end(DWORD)
{
    EnterCriticalSection(&stop_lock);
    cleanup_remove_all();
    // The process ends as an unhandled Ctrl-C ends it, without the exit
    // handlers: the console gets its code page back here. With no buffer on
    // standard output, nothing printed is lost.
    restore_console_code_page();
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

} // namespace

void cleanup_on_signal()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    ensure_stop_lock();
    // Ctrl-C ignored by whoever started the run is not passed to handlers,
    // and so stays ignored.
    SetConsoleCtrlHandler(remove_and_end, TRUE);
}

signal_block::signal_block()
{
    ensure_stop_lock();
    EnterCriticalSection(&stop_lock);
    active_ = true;
}

signal_block::~signal_block()
{
    if (active_)
        LeaveCriticalSection(&stop_lock);
}
