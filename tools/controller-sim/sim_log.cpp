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

// The pieces are appended one by one: g++ 12 at -O3 takes the temporaries of
// "," + std::string for overlapping copies and warns (-Wrestrict).
log_line &log_line::text(std::string_view key, std::string_view value)
{
    body_.append(",").append(json_quote(key)).append(":").append(json_quote(value));
    return *this;
}

log_line &log_line::number(std::string_view key, long long value)
{
    body_.append(",").append(json_quote(key)).append(":").append(std::to_string(value));
    return *this;
}

log_line &log_line::flag(std::string_view key, bool value)
{
    body_.append(",").append(json_quote(key)).append(value ? ":true" : ":false");
    return *this;
}

void log_line::emit()
{
    const std::lock_guard<std::mutex> lock(log_mutex);
    std::fputs((body_ + "}\n").c_str(), stdout);
    std::fflush(stdout);
}
