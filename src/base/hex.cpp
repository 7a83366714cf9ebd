#include "base/hex.h"

#include <cstring>

int hex_encode(const std::uint8_t *bytes, std::size_t count, char *destination)
{
    if (!bytes || !destination || count == 0)
        return -1;
    static const char DIGITS[] = "0123456789abcdef";
    for (std::size_t i = 0; i < count; ++i) {
        destination[2 * i] = DIGITS[bytes[i] >> 4];
        destination[2 * i + 1] = DIGITS[bytes[i] & 0x0F];
    }
    destination[2 * count] = '\0';
    return 0;
}

std::optional<std::vector<std::uint8_t>> hex_decode(const char *text)
{
    if (!text)
        return std::nullopt;
    const std::size_t length = std::strlen(text);
    if (length % 2 != 0)
        return std::nullopt;
    std::vector<std::uint8_t> bytes(length / 2);
    for (std::size_t i = 0; i < length; ++i) {
        const char c = text[i];
        int value;
        if (c >= '0' && c <= '9')
            value = c - '0';
        else if (c >= 'A' && c <= 'F')
            value = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            value = c - 'a' + 10;
        else
            return std::nullopt;
        bytes[i / 2] |= static_cast<std::uint8_t>(i % 2 == 0 ? value << 4 : value);
    }
    return bytes;
}
