// The format check of the tool's printf-like functions: the C99 conversions
// (%zu, %llu) that the tool's printf has on both systems. On Windows, GCC
// reads "printf" as the Microsoft C runtime's older set; mingw-w64's printf,
// which the tool uses there, is checked as "gnu_printf".
#pragma once

#if defined(__MINGW32__)
#define MERVO_PRINTF(format_index, first_argument) __attribute__((format(gnu_printf, format_index, first_argument)))
#else
#define MERVO_PRINTF(format_index, first_argument) __attribute__((format(printf, format_index, first_argument)))
#endif
