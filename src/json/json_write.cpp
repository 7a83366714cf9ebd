#include "json/json_write.h"

#include <cstdio>

namespace {

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0.
std::size_t utf8_sequence(std::string_view text)
{
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || length > text.size() || (length == 2 && lead < 0xC2))
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            return 0;
    return length;
}

void escaped(std::string &out, unsigned value)
{
    char code[8];
    std::snprintf(code, sizeof code, "\\u%04X", value);
    out += code;
}

} // namespace

std::string json_quote(std::string_view text)
{
    std::string out = "\"";
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text[0]);
        std::size_t length = 1;
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            escaped(out, byte);
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
        } else if ((length = utf8_sequence(text)) != 0) {
            out.append(text.substr(0, length));
        } else {
            length = 1;
            escaped(out, byte);
        }
        text.remove_prefix(length);
    }
    return out + "\"";
}
