// Taking one WinZip-AES entry out of a firmware package: decryption by libzip,
// decompression (stored, deflate, bzip2, LZMA, XZ) here. Used by the package
// reader only.
#pragma once

#include <zip.h>

#include <cstdint>
#include <vector>

enum class entry_result {
    ok,
    open_failed,  // wrong password, unreadable entry or a method we cannot decode
    too_large,    // declared size above the caller's limit
    read_failed,  // decryption, authentication or decompression failed, or wrong size
    no_memory,    // the output buffer could not be enlarged
};

// Reads entry `index` (whose information is `info`) whole into `out`: exactly
// its declared uncompressed size, which must not exceed `limit`. `out` never
// grows past the declared size, whatever the compressed data holds.
entry_result package_entry_read(zip_t *archive, zip_uint64_t index, const zip_stat_t &info,
                                const char *password, std::uint64_t limit, std::vector<std::uint8_t> &out);
