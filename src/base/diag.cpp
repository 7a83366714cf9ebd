#include "base/diag.h"

#include <cstdarg>
#include <cstdio>

void diag(const char *format, ...)
{
    // Standard output goes first, so that both streams read in order where
    // they end up in the same place.
    std::fflush(stdout);
    std::fputs("mervo-cli: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}
