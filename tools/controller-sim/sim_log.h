// The simulator's log: one JSON object per line on standard output, flushed
// at once, so that tests can follow every request and every change.
#pragma once

#include <string>
#include <string_view>

// Builds one log line: {"event":"...", ...members in the order added}.
class log_line {
public:
    explicit log_line(std::string_view event);
    log_line &text(std::string_view key, std::string_view value);
    log_line &number(std::string_view key, long long value);
    log_line &flag(std::string_view key, bool value);
    // Writes the line and flushes; lines from several threads never mix.
    void emit();

private:
    std::string body_;
};

// The JSON string literal for `text` (quotes included). Bytes that are not
// printable ASCII are escaped as \u00XX.
std::string json_quote(std::string_view text);
