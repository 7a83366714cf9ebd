// Reading firmware files into memory: the password-protected firmware package
// (a zip archive with "mervo.bh" and "mervo.binary") and the raw image.
#pragma once

#include "base/records.h"

#include <cstdint>
#include <optional>
#include <vector>

// The package password. The 40 characters themselves are the password.
inline constexpr char firmware_package_password[] = "5e0a7c21d9b84f36a2c17e90b4d35f8826ca1e73";

// A file, or the image inside a package, larger than any firmware image: the
// readers refuse it before reading or unpacking it, with a diagnostic and no
// message of their own.
constexpr int FIRMWARE_TOO_LARGE = -16;

// Reads the package at file->path: file->data/length receive the image from
// "mervo.binary", *stored_digest the 32 bytes decoded from "mervo.bh" (left
// absent when that entry is not 64 hexadecimal digits). Returns 0 or one of
// -2, -3, -4, -7, -8, -9, -10, -11, -12, -13, -15 after printing its message,
// or FIRMWARE_TOO_LARGE.
int firmware_package_read(file_data *file, std::optional<std::vector<std::uint8_t>> *stored_digest);

// Reads the file at file->path whole into file->data/length. A file that
// cannot be opened or read leaves the record empty and is not a failure.
// Returns 0, -10 without a record, -2 when the bytes cannot be held,
// FIRMWARE_TOO_LARGE for a file larger than any image (known from its size
// before it is read).
int firmware_raw_read(file_data *file);
