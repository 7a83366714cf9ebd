// Hexadecimal text of byte strings, both ways: the firmware digest travels as
// lowercase text in the upgrade request and is stored as text in a package.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// Writes 2 x count lowercase hex digits, high four bits of each byte first,
// then a NUL; `destination` must hold 2 x count + 1 characters.
// 0, or -1 writing nothing when a pointer is missing or count is 0.
int hex_encode(const std::uint8_t *bytes, std::size_t count, char *destination);

// Decodes hexadecimal text (either case) into bytes; absent for a null text,
// an odd length or any other character. Empty text gives an empty buffer.
std::optional<std::vector<std::uint8_t>> hex_decode(const char *text);
