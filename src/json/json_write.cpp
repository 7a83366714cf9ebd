#include "json/json_write.h"

#include "base/text.h"

#include <cstdio>

namespace {

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
        } else if ((length = utf8_sequence_length(text)) != 0) {
            out.append(text.substr(0, length));
        } else {
            length = 1;
            escaped(out, byte);
        }
        text.remove_prefix(length);
    }
    return out + "\"";
}
