// Formatted allocation: every URL, path and copied text of the tool is made here.
#pragma once

#include "base/printf_format.h"

#include <cstdarg>
#include <optional>
#include <string>

// Size of a fixed path field: 260 characters and the terminator.
constexpr std::size_t PATH_FIELD_SIZE = 261;

// Formats like printf into a new text of exactly the needed size and stores it
// in `out`. Returns the number of characters, or -1 (then `out` is untouched).
int format_alloc(std::string &out, const char *format, ...) MERVO_PRINTF(2, 3);
int vformat_alloc(std::string &out, const char *format, va_list args);

// Number of characters the format would produce, or -1.
int vformat_length(const char *format, va_list args);

// Whether a path fits a 261-byte field whole. A path that does not is
// refused, never cut: its first 260 characters could name another file.
bool path_fits(const char *path);

// Copies `text` into a 261-byte field: at most 260 characters and a NUL.
void copy_bounded(char (&field)[PATH_FIELD_SIZE], const char *text);

// An absent text is shown as "(null)"; no null pointer ever reaches printf.
inline const char *show(const char *text) { return text ? text : "(null)"; }
inline const char *show(const std::optional<std::string> &text) { return text ? text->c_str() : "(null)"; }
inline const char *text_or_null(const std::optional<std::string> &text) { return text ? text->c_str() : nullptr; }
