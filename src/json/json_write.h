// Writing JSON text: a string as a JSON string literal.
#pragma once

#include <string>
#include <string_view>

// `text` between double quotes with what JSON requires escaped: quote,
// backslash, control characters. Well-formed UTF-8 sequences stay as they
// are; a byte that begins none (a stray continuation byte, an overlong form,
// a surrogate, a code point above U+10FFFF, a cut sequence) is written as
// the character of its value (\u00XX), so the result is always valid JSON
// in UTF-8.
std::string json_quote(std::string_view text);
