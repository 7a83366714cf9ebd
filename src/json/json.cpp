#include "json/json.h"

#include "base/system.h"
#include "base/printf_format.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

constexpr int END_OF_DATA = -1;
constexpr std::size_t FIRST_BUFFER_SIZE = 256;

// ---- sources -------------------------------------------------------------

// Bytes come back as signed chars widened to int, so 0x80-0xFE are negative
// and 0xFF reads as the end of the data.
int buffer_peek(json_source *source)
{
    const json_source::memory_source &b = source->source.buffer;
    if (source->position >= b.length)
        return END_OF_DATA;
    return static_cast<signed char>(b.text[source->position]);
}

int buffer_get(json_source *source)
{
    int c = buffer_peek(source);
    source->position++;
    return c;
}

int stream_get(json_source *source)
{
    source->position++;
    return std::fgetc(source->source.stream);
}

int stream_peek(json_source *source)
{
    int c = std::fgetc(source->source.stream);
    if (c != EOF)
        std::ungetc(c, source->source.stream);
    return c;
}

int user_get(json_source *source)
{
    source->position++;
    return source->source.user.get(source->source.user.context);
}

int user_peek(json_source *source)
{
    return source->source.user.peek(source->source.user.context);
}

// The memory source is what every caller in the tool uses; calling it
// directly lets the compiler inline it in the byte loops.
inline int get(json_stream *json)
{
    if (json->source.get == buffer_get)
        return buffer_get(&json->source);
    return json->source.get(&json->source);
}

inline int peek(json_stream *json)
{
    if (json->source.peek == buffer_peek)
        return buffer_peek(&json->source);
    return json->source.peek(&json->source);
}

// Tab, line feed, carriage return and space, as one mask over bytes 0-63.
constexpr std::uint64_t WHITESPACE = (1ull << '\t') | (1ull << '\n') | (1ull << '\r') | (1ull << ' ');

inline bool is_space(int c)
{
    return static_cast<unsigned>(c) < 64 && ((WHITESPACE >> c) & 1u) != 0;
}

inline bool is_digit(int c)
{
    return c >= '0' && c <= '9';
}

// ---- errors --------------------------------------------------------------

// Only the first error is kept; the text always begins "error: <line>: ".
json_type record_error(json_stream *json, const char *format, ...) MERVO_PRINTF(2, 3);

json_type record_error(json_stream *json, const char *format, ...)
{
    if (json->flags & JSON_FLAG_ERROR)
        return JSON_ERROR;
    json->flags |= JSON_FLAG_ERROR;
    va_list args;
    va_start(args, format);
    std::vsnprintf(json->errmsg, sizeof json->errmsg, format, args);
    va_end(args);
    return JSON_ERROR;
}

json_type fail(json_stream *json, const char *message)
{
    return record_error(json, "error: %lu: %s", static_cast<unsigned long>(json->lineno), message);
}

// An unexpected byte; the end of the data is reported as such rather than as
// a byte.
json_type fail_byte(json_stream *json, const char *what, int c)
{
    if (c == END_OF_DATA)
        return fail(json, "unexpected end of data");
    return record_error(json, "error: %lu: %s, '%c'", static_cast<unsigned long>(json->lineno), what, c);
}

// ---- the text buffer -----------------------------------------------------

std::pmr::vector<char> &buffer_bytes(json_stream *json)
{
    return *json->data.bytes;
}

// Empties the buffer for a new token; the first token allocates it.
bool buffer_start(json_stream *json)
{
    json_text_buffer &data = json->data;
    if (!data.bytes) {
        try {
            data.bytes.emplace(FIRST_BUFFER_SIZE, '\0', json->allocator);
        } catch (const std::bad_alloc &) {
            data.bytes.reset();
            fail(json, error_text(ENOMEM));
            return false;
        }
    }
    data.fill = 0;
    buffer_bytes(json)[0] = '\0';
    return true;
}

bool buffer_grow(json_stream *json)
{
    std::pmr::vector<char> &bytes = buffer_bytes(json);
    try {
        bytes.resize(bytes.size() * 2);
    } catch (const std::bad_alloc &) {
        fail(json, error_text(ENOMEM));
        return false;
    } catch (const std::length_error &) {
        fail(json, error_text(ENOMEM));
        return false;
    }
    return true;
}

// The text read so far is always followed by a NUL inside the buffer, so
// json_get_string and json_get_number stay inside it whatever stopped the
// token (a bad byte, the end of the data, a buffer that could not grow).
inline bool buffer_push(json_stream *json, int c)
{
    json_text_buffer &data = json->data;
    if (data.fill + 1 == data.bytes->size() && !buffer_grow(json))
        return false;
    std::pmr::vector<char> &bytes = *data.bytes;
    bytes[data.fill++] = static_cast<char>(c);
    bytes[data.fill] = '\0';
    return true;
}

// ---- strings -------------------------------------------------------------

int hex_value(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Four hexadecimal digits of a \u escape into `value`.
bool read_hex4(json_stream *json, unsigned long &value)
{
    value = 0;
    for (int i = 0; i < 4; ++i) {
        int c = get(json);
        if (c == END_OF_DATA) {
            fail(json, "unterminated string literal in unicode");
            return false;
        }
        int digit = hex_value(c);
        if (digit < 0) {
            fail_byte(json, "bad escape unicode byte", c);
            return false;
        }
        value = value << 4 | static_cast<unsigned long>(digit);
    }
    return true;
}

bool push_utf8(json_stream *json, unsigned long cp)
{
    if (cp < 0x80)
        return buffer_push(json, static_cast<int>(cp));
    if (cp < 0x800)
        return buffer_push(json, static_cast<int>(0xC0 | cp >> 6)) &&
               buffer_push(json, static_cast<int>(0x80 | (cp & 0x3F)));
    if (cp < 0x10000)
        return buffer_push(json, static_cast<int>(0xE0 | cp >> 12)) &&
               buffer_push(json, static_cast<int>(0x80 | ((cp >> 6) & 0x3F))) &&
               buffer_push(json, static_cast<int>(0x80 | (cp & 0x3F)));
    return buffer_push(json, static_cast<int>(0xF0 | cp >> 18)) &&
           buffer_push(json, static_cast<int>(0x80 | ((cp >> 12) & 0x3F))) &&
           buffer_push(json, static_cast<int>(0x80 | ((cp >> 6) & 0x3F))) &&
           buffer_push(json, static_cast<int>(0x80 | (cp & 0x3F)));
}

// The rest of a \u escape: a code point, or a surrogate pair of two escapes.
bool read_unicode_escape(json_stream *json)
{
    unsigned long cp = 0;
    if (!read_hex4(json, cp))
        return false;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
        int c = get(json);
        if (c == END_OF_DATA) {
            fail(json, "unterminated string literal in unicode");
            return false;
        }
        if (c != '\\') {
            record_error(json, "error: %lu: invalid continuation for surrogate pair: '%c', expected '\\'",
                         static_cast<unsigned long>(json->lineno), c);
            return false;
        }
        c = get(json);
        if (c == END_OF_DATA) {
            fail(json, "unterminated string literal in unicode");
            return false;
        }
        if (c != 'u') {
            record_error(json, "error: %lu: invalid continuation for surrogate pair: '%c', expected 'u'",
                         static_cast<unsigned long>(json->lineno), c);
            return false;
        }
        unsigned long lo = 0;
        if (!read_hex4(json, lo))
            return false;
        if (lo < 0xDC00 || lo > 0xDFFF) {
            record_error(json, "error: %lu: invalid surrogate pair continuation \\u%04lx out of range (dc00-dfff)",
                         static_cast<unsigned long>(json->lineno), lo);
            return false;
        }
        cp = (cp - 0xD800) * 0x400 + (lo - 0xDC00) + 0x10000;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
        record_error(json, "error: %lu: dangling surrogate \\u%04lx", static_cast<unsigned long>(json->lineno), cp);
        return false;
    }
    return push_utf8(json, cp);
}

bool read_escape(json_stream *json)
{
    int c = get(json);
    switch (c) {
    case END_OF_DATA:
        fail(json, "unterminated string literal in escape");
        return false;
    case '\\':
        return buffer_push(json, '\\');
    case 'b':
        return buffer_push(json, '\b');
    case 'f':
        return buffer_push(json, '\f');
    case 'n':
        return buffer_push(json, '\n');
    case 'r':
        return buffer_push(json, '\r');
    case 't':
        return buffer_push(json, '\t');
    case '/':
        return buffer_push(json, '/');
    case '"':
        return buffer_push(json, '"');
    case 'u':
        return read_unicode_escape(json);
    default:
        fail_byte(json, "bad escaped byte", c);
        return false;
    }
}

// A raw multi-byte sequence whose lead byte has been read; it must be one of
// the well-formed UTF-8 sequences of the Unicode Standard.
bool read_utf8(json_stream *json, int lead)
{
    const int b = lead & 0xFF;
    int length = 0;
    if (b >= 0xC2 && b <= 0xDF)
        length = 2;
    else if (b >= 0xE0 && b <= 0xEF)
        length = 3;
    else if (b >= 0xF0 && b <= 0xF4)
        length = 4;
    else {
        fail(json, "Bad character.");
        return false;
    }
    int bytes[4] = {b, 0, 0, 0};
    for (int i = 1; i < length; ++i)
        bytes[i] = get(json) & 0xFF; // the end of the data becomes 0xFF and fails below
    int low = 0x80;
    int high = 0xBF;
    if (b == 0xE0)
        low = 0xA0;
    else if (b == 0xED)
        high = 0x9F;
    else if (b == 0xF0)
        low = 0x90;
    else if (b == 0xF4)
        high = 0x8F;
    bool ok = bytes[1] >= low && bytes[1] <= high;
    for (int i = 2; i < length; ++i)
        ok = ok && bytes[i] >= 0x80 && bytes[i] <= 0xBF;
    if (!ok) {
        fail(json, "No legal UTF8 found");
        return false;
    }
    for (int i = 0; i < length; ++i)
        if (!buffer_push(json, bytes[i]))
            return false;
    return true;
}

json_type read_string(json_stream *json)
{
    if (!buffer_start(json))
        return JSON_ERROR;
    for (;;) {
        int c = get(json);
        if (c == END_OF_DATA)
            return fail(json, "unterminated string literal");
        if (c == '"')
            return buffer_push(json, '\0') ? JSON_STRING : JSON_ERROR;
        bool ok;
        if (c == '\\')
            ok = read_escape(json);
        else if (c < 0 || c > 0x7F)
            ok = read_utf8(json, c);
        else if (c < 0x20)
            return fail(json, "unescaped control character in string");
        else
            ok = buffer_push(json, c);
        if (!ok)
            return JSON_ERROR;
    }
}

// ---- numbers -------------------------------------------------------------

// Digits while peek shows one. Returns false only when the buffer cannot grow.
bool read_digits(json_stream *json, std::size_t &count)
{
    count = 0;
    while (is_digit(peek(json))) {
        if (!buffer_push(json, get(json)))
            return false;
        ++count;
    }
    return true;
}

json_type read_number(json_stream *json, int c)
{
    if (!buffer_start(json) || !buffer_push(json, c))
        return JSON_ERROR;
    if (c == '-') {
        c = get(json);
        if (!is_digit(c))
            return fail_byte(json, "unexpected byte", c);
        if (!buffer_push(json, c))
            return JSON_ERROR;
    }
    std::size_t count = 0;
    // A leading 0 takes no further integer digits.
    if (c != '0' && !read_digits(json, count))
        return JSON_ERROR;
    if (peek(json) == '.') {
        if (!buffer_push(json, get(json)) || !read_digits(json, count))
            return JSON_ERROR;
        if (count == 0)
            return JSON_ERROR; // a fraction without digits; no message
    }
    int e = peek(json);
    if (e == 'e' || e == 'E') {
        if (!buffer_push(json, get(json)))
            return JSON_ERROR;
        int s = peek(json);
        if (s == '+' || s == '-') {
            if (!buffer_push(json, get(json)) || !read_digits(json, count))
                return JSON_ERROR;
            if (count == 0)
                return JSON_ERROR; // a signed exponent without digits; no message
        } else if (is_digit(s)) {
            if (!read_digits(json, count))
                return JSON_ERROR;
        } else {
            return fail_byte(json, "unexpected byte in number", s);
        }
    }
    return buffer_push(json, '\0') ? JSON_NUMBER : JSON_ERROR;
}

// ---- values and containers -----------------------------------------------

json_type read_literal(json_stream *json, const char *rest, json_type type)
{
    for (const char *p = rest; *p; ++p)
        if (get(json) != *p)
            return JSON_ERROR; // no message, the error flag stays clear
    return type;
}

json_type push(json_stream *json, json_type type)
{
    if (json->stack_top + 1 >= JSON_STACK_SIZE)
        return fail(json, "too many nested levels");
    json->stack_top++;
    json->stack[json->stack_top] = {type, 0};
    return type;
}

json_type pop(json_stream *json, json_type type)
{
    json->stack_top--;
    return type;
}

json_type read_value(json_stream *json, int c)
{
    json->ntokens++;
    switch (c) {
    case '{':
        return push(json, JSON_OBJECT);
    case '[':
        return push(json, JSON_ARRAY);
    case 't':
        return read_literal(json, "rue", JSON_TRUE);
    case 'f':
        return read_literal(json, "alse", JSON_FALSE);
    case 'n':
        return read_literal(json, "ull", JSON_NULL);
    case '"':
        return read_string(json);
    case END_OF_DATA:
        return fail(json, "unexpected end of data");
    default:
        if (c == '-' || is_digit(c))
            return read_number(json, c);
        return fail_byte(json, "unexpected byte", c);
    }
}

// The first byte after whitespace, consumed; line feeds are counted here only.
int next_byte(json_stream *json)
{
    int c = get(json);
    while (is_space(c)) {
        if (c == '\n')
            json->lineno++;
        c = get(json);
    }
    return c;
}

json_type read_in_array(json_stream *json, json_stack_entry &top, int c)
{
    if (c == ']')
        return pop(json, JSON_ARRAY_END);
    if (top.count == 0) {
        top.count = 1;
        return read_value(json, c);
    }
    if (c == ',') {
        top.count++;
        return read_value(json, next_byte(json));
    }
    return fail_byte(json, "unexpected byte", c);
}

json_type read_in_object(json_stream *json, json_stack_entry &top, int c)
{
    if (top.count == 0) {
        if (c == '}')
            return pop(json, JSON_OBJECT_END);
        if (read_value(json, c) != JSON_STRING)
            return fail(json, "expected property name or '}'");
        top.count = 1;
        return JSON_STRING;
    }
    if (top.count % 2 == 1) {
        if (c != ':')
            return fail(json, "expected ':' after property name");
        top.count++;
        return read_value(json, next_byte(json));
    }
    if (c == ',') {
        if (read_value(json, next_byte(json)) != JSON_STRING)
            return fail(json, "expected property name");
        top.count++;
        return JSON_STRING;
    }
    if (c == '}')
        return pop(json, JSON_OBJECT_END);
    return fail(json, "expected ',' or '}'");
}

json_type read_next(json_stream *json)
{
    if (json->ntokens > 0 && json->stack_top == JSON_NO_CONTAINER) {
        // The top-level value is complete.
        int c = peek(json);
        while (is_space(c)) {
            get(json);
            c = peek(json);
        }
        if (json->flags & JSON_FLAG_STREAMING)
            return JSON_DONE;
        return c == END_OF_DATA ? JSON_DONE : JSON_ERROR;
    }
    int c = next_byte(json);
    if (json->stack_top == JSON_NO_CONTAINER)
        return read_value(json, c);
    json_stack_entry &top = json->stack[json->stack_top];
    if (top.type == JSON_ARRAY)
        return read_in_array(json, top, c);
    if (top.type == JSON_OBJECT)
        return read_in_object(json, top, c);
    return fail(json, "invalid parser state");
}

void open_source(json_stream *json, json_source source)
{
    json->lineno = 1;
    json->stack_top = JSON_NO_CONTAINER;
    json->next = 0;
    json->flags = JSON_FLAG_STREAMING;
    json->data.bytes.reset();
    json->data.fill = 0;
    json->ntokens = 0;
    json->source = source;
    json->allocator = std::pmr::new_delete_resource();
    json->errmsg[0] = '\0';
}

} // namespace

void json_open_buffer(json_stream *json, const void *data, std::size_t length)
{
    json_source source;
    source.get = buffer_get;
    source.peek = buffer_peek;
    source.source.buffer = {static_cast<const char *>(data), data ? length : 0};
    open_source(json, source);
}

void json_open_string(json_stream *json, const char *text)
{
    json_open_buffer(json, text, text ? std::strlen(text) : 0);
}

void json_open_stream(json_stream *json, std::FILE *file)
{
    json_source source;
    source.get = stream_get;
    source.peek = stream_peek;
    source.source.stream = file;
    open_source(json, source);
}

void json_open_user(json_stream *json, json_user_io get, json_user_io peek, void *context)
{
    json_source source;
    source.get = user_get;
    source.peek = user_peek;
    source.source.user = {context, get, peek};
    open_source(json, source);
}

void json_close(json_stream *json)
{
    json->data.bytes.reset();
    json->data.fill = 0;
}

json_type json_next(json_stream *json)
{
    if (json->flags & JSON_FLAG_ERROR)
        return JSON_ERROR;
    if (json->next != 0) {
        auto type = static_cast<json_type>(json->next);
        json->next = 0;
        return type;
    }
    return read_next(json);
}

const char *json_get_string(json_stream *json, std::size_t *length)
{
    if (!json->data.bytes) {
        if (length)
            *length = 0;
        return "";
    }
    if (length)
        *length = json->data.fill;
    return json->data.bytes->data();
}

double json_get_number(json_stream *json)
{
    if (!json->data.bytes)
        return 0.0;
    return std::strtod(json->data.bytes->data(), nullptr);
}

const char *json_get_error(json_stream *json)
{
    return (json->flags & JSON_FLAG_ERROR) ? json->errmsg : nullptr;
}

