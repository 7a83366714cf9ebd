#include "backup/hex.h"

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
