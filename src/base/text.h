// Text that comes from outside the tool: a controller's answers, the names
// inside a backup, the cells of a CSV file. UTF-8 is checked here, cut here,
// and made safe here before it reaches the console, where a control
// character could move the cursor, retitle the terminal or forge a line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Length of the well-formed UTF-8 sequence at the start of `text` (1 to 4),
// or 0 when it starts with none (a stray continuation byte, an overlong
// form, a surrogate, a code point above U+10FFFF, a cut sequence).
std::size_t utf8_sequence_length(std::string_view text);

// Whether the whole text is well-formed UTF-8.
bool utf8_valid(std::string_view text);

// Offset of the first byte that begins no well-formed sequence, or
// text.size() when there is none.
std::size_t utf8_first_invalid(std::string_view text);

// The longest start of `text` of at most `max_bytes` bytes that does not end
// inside a character: a name cut to its field keeps whole characters only.
// Bytes that begin no sequence count as characters of one byte.
std::size_t utf8_cut(std::string_view text, std::size_t max_bytes);

// `text` as it may stand inside one line of the console: every control
// character escaped (C0 including CR and LF as \r, \n, \t or \xNN; DEL; C1
// as the \xNN of its UTF-8 bytes) and every byte that begins no UTF-8
// sequence as \xNN. Ordinary text, non-ASCII letters included, is unchanged.
std::string console_line(std::string_view text);

// A multi-line text (a status document) as it may be printed whole: its line
// ends ("\n" and "\r\n") and tabs stay, every other control character is
// escaped as console_line() does.
std::string console_block(std::string_view text);
