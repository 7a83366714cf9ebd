#include "base/text.h"

#include <cstdint>
#include <cstdio>

namespace {

bool in(unsigned char byte, unsigned char low, unsigned char high) { return byte >= low && byte <= high; }

void append_hex(std::string &out, unsigned char byte)
{
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
    out += escaped;
}

// Appends `text` with control characters escaped; `block` keeps line ends and tabs.
std::string escaped(std::string_view text, bool block)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const std::size_t length = utf8_sequence_length(text.substr(at));
        if (length == 0) {
            append_hex(out, byte);
            ++at;
            continue;
        }
        // U+0080 to U+009F, the C1 controls, are C2 80 to C2 9F.
        const bool c1 = length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F;
        const bool kept_in_block =
            block && (byte == '\n' || byte == '\t' || (byte == '\r' && at + 1 < text.size() && text[at + 1] == '\n'));
        if (c1) {
            append_hex(out, byte);
            append_hex(out, static_cast<unsigned char>(text[at + 1]));
        } else if ((byte < 0x20 || byte == 0x7F) && !kept_in_block) {
            if (byte == '\r')
                out += "\\r";
            else if (byte == '\n')
                out += "\\n";
            else if (byte == '\t')
                out += "\\t";
            else
                append_hex(out, byte);
        } else {
            out.append(text.substr(at, length));
        }
        at += length;
    }
    return out;
}

} // namespace

std::size_t utf8_sequence_length(std::string_view text)
{
    if (text.empty())
        return 0;
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = at(0);
    if (lead < 0x80)
        return 1;
    std::size_t length;
    unsigned char second_low = 0x80, second_high = 0xBF;
    if (in(lead, 0xC2, 0xDF)) {
        length = 2;
    } else if (in(lead, 0xE0, 0xEF)) {
        length = 3;
        if (lead == 0xE0)
            second_low = 0xA0; // shorter forms are overlong
        else if (lead == 0xED)
            second_high = 0x9F; // D800 to DFFF are surrogates
    } else if (in(lead, 0xF0, 0xF4)) {
        length = 4;
        if (lead == 0xF0)
            second_low = 0x90;
        else if (lead == 0xF4)
            second_high = 0x8F; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || !in(at(1), second_low, second_high))
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (!in(at(i), 0x80, 0xBF))
            return 0;
    return length;
}

std::size_t utf8_first_invalid(std::string_view text)
{
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t length = utf8_sequence_length(text.substr(at));
        if (length == 0)
            return at;
        at += length;
    }
    return at;
}

bool utf8_valid(std::string_view text) { return utf8_first_invalid(text) == text.size(); }

std::size_t utf8_cut(std::string_view text, std::size_t max_bytes)
{
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t length = utf8_sequence_length(text.substr(at));
        if (length == 0)
            length = 1;
        if (at + length > max_bytes)
            break;
        at += length;
    }
    return at;
}

std::string console_line(std::string_view text) { return escaped(text, false); }

std::string console_block(std::string_view text) { return escaped(text, true); }
