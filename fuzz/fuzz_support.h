// Helpers shared by the fuzz targets: silencing the listings the code under
// test prints, and a scratch file for the functions that read from a path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

// The listings and messages go to standard output; the fuzzer's own report
// goes to standard error and stays.
inline void fuzz_quiet_stdout()
{
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
}

// One file per fuzzing process, rewritten with every input and removed when
// the process ends.
class fuzz_scratch_file {
public:
    fuzz_scratch_file()
    {
        const char *dir = std::getenv("TMPDIR");
        path_ = std::string(dir && *dir ? dir : "/tmp") + "/mervo-fuzz-XXXXXX";
        const int fd = mkstemp(path_.data());
        if (fd < 0)
            std::abort();
        close(fd);
    }
    ~fuzz_scratch_file() { unlink(path_.c_str()); }
    fuzz_scratch_file(const fuzz_scratch_file &) = delete;
    fuzz_scratch_file &operator=(const fuzz_scratch_file &) = delete;

    // Replaces the file's content with the input; the path to read it from.
    const char *write(const std::uint8_t *data, std::size_t size)
    {
        std::FILE *file = std::fopen(path_.c_str(), "wb");
        if (!file)
            std::abort();
        if (size != 0 && std::fwrite(data, 1, size, file) != size)
            std::abort();
        if (std::fclose(file) != 0)
            std::abort();
        return path_.c_str();
    }

private:
    std::string path_;
};

// The process's scratch file, made on first use.
inline fuzz_scratch_file &fuzz_scratch()
{
    static fuzz_scratch_file file;
    return file;
}

// Tar headers carry a checksum that random changes almost never keep right,
// which would stop the fuzzer at the first check. A 512-byte record whose
// checksum field holds eight spaces gets its correct checksum here ("%06o", a
// NUL and a space), so that inputs written that way reach the header fields
// behind the check; records with a checksum of their own are left as they are.
inline void fuzz_fix_tar_checksums(std::uint8_t *data, std::size_t size)
{
    constexpr std::size_t record = 512, offset = 148, length = 8;
    for (std::size_t at = 0; at + record <= size; at += record) {
        std::uint8_t *header = data + at;
        bool blank = true;
        for (std::size_t i = offset; i < offset + length; ++i)
            blank = blank && header[i] == ' ';
        if (!blank)
            continue;
        unsigned sum = 0;
        for (std::size_t i = 0; i < record; ++i)
            sum += header[i]; // the eight spaces count as they stand
        char text[length + 1];
        std::snprintf(text, sizeof text, "%06o", sum & 0777777u);
        for (std::size_t i = 0; i < 6; ++i)
            header[offset + i] = static_cast<std::uint8_t>(text[i]);
        header[offset + 6] = 0;
        header[offset + 7] = ' ';
    }
}

// Stops the run as a finding when an invariant of the code under test fails.
#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)
