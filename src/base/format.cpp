#include "base/format.h"

#include <cstdio>
#include <cstring>

int vformat_length(const char *format, va_list args)
{
    if (!format)
        return -1;
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    return length < 0 ? -1 : length;
}

int vformat_alloc(std::string &out, const char *format, va_list args)
{
    int length = vformat_length(format, args);
    if (length < 0)
        return -1;
    std::string text(static_cast<std::size_t>(length), '\0');
    va_list copy;
    va_copy(copy, args);
    // std::string keeps room for its terminator, so the bound is length + 1.
    int written = std::vsnprintf(text.data(), text.size() + 1, format, copy);
    va_end(copy);
    if (written != length)
        return -1;
    out = std::move(text);
    return length;
}

int format_alloc(std::string &out, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int length = vformat_alloc(out, format, args);
    va_end(args);
    return length;
}

bool path_fits(const char *path) { return path == nullptr || std::strlen(path) < PATH_FIELD_SIZE; }

void copy_bounded(char (&field)[PATH_FIELD_SIZE], const char *text)
{
    std::snprintf(field, sizeof field, "%s", show(text));
}
