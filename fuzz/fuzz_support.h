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

// Stops the run as a finding when an invariant of the code under test fails.
#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)
