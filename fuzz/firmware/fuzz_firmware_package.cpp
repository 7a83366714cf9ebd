// The firmware package reader over arbitrary zip bytes. The reader takes the
// package from the path in its record, so each input is written to a scratch
// file first.
#include "firmware/package.h"
#include "fuzz/fuzz_support.h"

#include <cstring>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const char *path = fuzz_scratch().write(data, size);
    file_data file;
    FUZZ_CHECK(std::strlen(path) < sizeof file.path);
    std::strcpy(file.path, path);
    std::optional<std::vector<std::uint8_t>> digest;
    const int result = firmware_package_read(&file, &digest);
    if (result == 0) {
        FUZZ_CHECK(file.length == file.storage.size());
        FUZZ_CHECK(file.length == 0 || file.data == file.storage.data());
        // The image is read whole: touch every byte.
        unsigned sum = 0;
        for (std::uint32_t i = 0; i < file.length; ++i)
            sum += file.data[i];
        (void)sum;
    } else {
        FUZZ_CHECK(result < 0);
        FUZZ_CHECK(file.length == 0 && file.data == nullptr);
    }
    if (digest)
        FUZZ_CHECK(digest->size() == 32);
    return 0;
}
