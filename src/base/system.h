// The operating system, in one place: files and their names, temporary files,
// time, the pause, the console and the command line. Every call into the
// system that differs between Linux and Windows is made here (and in
// cleanup.h for interruptions), by system_posix.cpp or system_windows.cpp;
// the rest of the tool is the same source on both.
//
// Paths are UTF-8 text everywhere, as the command line gives them. Functions
// that can fail give an error number, the C library's errno values: 0 for
// success. error_text() words them the same on both systems.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// ---- Errors ----

// A file that another program holds open and does not share (a spreadsheet
// program locks the files it has open on Windows).
constexpr int FILE_IN_USE = ETXTBSY;

// The text of an error number: the C library's own words on Linux, and the
// same words on Windows (whose C runtime words some differently), where
// FILE_IN_USE reads "the file is open in another program".
const char *error_text(int error);

// ---- Files ----

enum class path_type { missing, regular, directory, other };

struct path_status {
    path_type type = path_type::missing;
    std::uint64_t size = 0; // of a regular file
    int error = 0;          // why it could not be looked at (ENOENT when missing)
};

// What is at `path`. With `follow` a symbolic link is looked through (as
// stat does); without, the link itself is what is there (as lstat does).
path_status path_stat(const std::string &path, bool follow = true);

// Opens a file as fopen does (modes "rb", "wb", "ab"); null with the error
// number in `error`. A folder opened for reading is refused with EISDIR.
std::FILE *file_open(const std::string &path, const char *mode, int *error = nullptr);

// Owns an open file and closes it when it goes. Where an error on closing
// matters (a file the program writes and keeps), release it and close it by
// hand, so that the error is seen.
struct file_closer {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// The size of an open regular file, or nothing.
std::optional<std::uint64_t> file_size(std::FILE *file);

// Moves an open file's position to `offset` bytes from its start (beyond
// 2 GiB too, which fseek cannot on Windows): 0 or -1.
int file_seek(std::FILE *file, std::uint64_t offset);

// Creates `path` as a new empty file, never over an existing one: EEXIST when
// the name is taken (the system's own no-replace creation).
int file_create_new(const std::string &path);

// Removes a file.
int file_remove(const std::string &path);
// The same from an interruption handler (async-signal-safe on Linux).
bool file_remove_now(const char *path);

// Creates a new, empty temporary file named `prefix` and six random
// characters ("backups/x.zip." gives "backups/x.zip.a8Xk2Q") and opens it
// for writing; its name goes to `temp`. The file gets the permissions a new
// file gets, or those of the file at `mode_of` if that is given and there is
// one. Null with the error number in `error`.
std::FILE *temp_file(const std::string &prefix, std::string &temp, int &error, const std::string &mode_of = {});

// Puts the finished file `temp` in place as `path`: over an existing file
// with `replace`, else only where no file of that name exists (EEXIST). When
// it returns 0, `temp` is gone; otherwise it is still there.
int file_put_in_place(const std::string &temp, const std::string &path, bool replace);

// The form of `path` to hand to a library that opens files itself (libzip):
// the same text on Linux; on Windows the long form for paths the system
// would otherwise refuse as too long.
std::string native_path(const std::string &path);

// Whether a file in `folder` can be named `name`: its length is within the
// limit of the folder's file system on Linux (255 bytes where that cannot be
// told, as for a missing folder), within 255 UTF-16 characters on Windows.
bool file_name_fits_in(const std::string &folder, std::string_view name);

// The file name at the end of `path`, after its last separator ('/', and on
// Windows also '\\' and a drive's ':').
std::string_view file_name_of(std::string_view path);

// The folder a file of `path` would be made in: what comes before the file
// name ("/" for a file at the root, "C:\\" at a drive's root on Windows), or
// "." when there is none.
std::string folder_of(const std::string &path);

// `text` as it can stand inside a file name: unchanged on Linux; on Windows
// each character that Windows refuses in a file name (< > : " / \ | ? * and
// control characters) becomes '_'. NTFS would read "backup_10.0.0.7:8080.zip"
// as a stream of a file "backup_10.0.0.7", and the backup would vanish.
std::string file_name_safe(std::string_view text);

// ---- Time ----

// The local time of `when`; false when the system cannot tell it.
bool local_time(std::time_t when, std::tm &local);

// `when` in local time with its offset from UTC, as ISO 8601
// ("2026-12-07T10:15:02+01:00"), or nothing.
std::optional<std::string> local_time_iso8601(std::time_t when);

// Waits `milliseconds`.
void pause_ms(unsigned milliseconds);

// ---- Console and command line ----

// Sets up standard output and standard error before anything is printed:
// every line goes out as it ends (so a log taken through a pipe keeps the
// order of both streams and what came before an interruption), bytes as they
// are (no "\r\n" made of "\n" on Windows), UTF-8 on a Windows console.
void console_start();

// The words of the command line as UTF-8 texts (on Windows read from the
// system's wide command line, so that any folder name arrives whole).
std::vector<std::string> command_line(int argc, char **argv);

// For its lifetime (when active), what the program prints on standard output
// goes to standard error instead; the real standard output stays reachable
// through write_original() ("--report -" has it to itself).
class stdout_on_stderr {
public:
    explicit stdout_on_stderr(bool active);
    ~stdout_on_stderr();
    stdout_on_stderr(const stdout_on_stderr &) = delete;
    stdout_on_stderr &operator=(const stdout_on_stderr &) = delete;
    // Writes all of `text` to the real standard output: 0 or the error number.
    int write_original(std::string_view text) const;

private:
    int saved_ = -1;
};
