// Lowercase hexadecimal text of a byte string (the firmware digest in the
// upgrade request).
#pragma once

#include <cstddef>
#include <cstdint>

// Writes 2 x count lowercase hex digits, high four bits of each byte first,
// then a NUL; `destination` must hold 2 x count + 1 characters.
// 0, or -1 writing nothing when a pointer is missing or count is 0.
int hex_encode(const std::uint8_t *bytes, std::size_t count, char *destination);
