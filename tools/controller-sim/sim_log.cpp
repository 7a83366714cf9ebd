#include "sim_log.h"

#include <cstdio>
#include <mutex>

namespace {
std::mutex log_mutex;
}

std::string json_quote(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

log_line::log_line(std::string_view event) : body_("{\"event\":" + json_quote(event)) {}

log_line &log_line::text(std::string_view key, std::string_view value)
{
    body_ += "," + json_quote(key) + ":" + json_quote(value);
    return *this;
}

log_line &log_line::number(std::string_view key, long long value)
{
    body_ += "," + json_quote(key) + ":" + std::to_string(value);
    return *this;
}

log_line &log_line::flag(std::string_view key, bool value)
{
    body_ += "," + json_quote(key) + (value ? ":true" : ":false");
    return *this;
}

void log_line::emit()
{
    const std::lock_guard<std::mutex> lock(log_mutex);
    std::fputs((body_ + "}\n").c_str(), stdout);
    std::fflush(stdout);
}
