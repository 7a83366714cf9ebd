// Layer: formats (json, tar, zip, firmware sit side by side above base and
// use nothing but base, the standard library and their own third-party
// library). Results: json_next reports by its event (JSON_ERROR on failure);
// nothing here prints.
//
// A small pull reader for JSON texts: the caller asks for one event at a time,
// no document tree is built, and the text of the current string or number
// token lives in one buffer per stream that every token reuses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory_resource>
#include <optional>
#include <vector>

// Event kinds. 0 is never returned; inside the stream it means "no pending event".
enum json_type {
    JSON_ERROR = 1, // malformed text, exhausted resource, or an earlier error pending
    JSON_DONE,      // the top-level value is complete
    JSON_OBJECT,
    JSON_OBJECT_END,
    JSON_ARRAY,
    JSON_ARRAY_END,
    JSON_STRING, // a string value, or a property name inside an object
    JSON_NUMBER,
    JSON_TRUE,
    JSON_FALSE,
    JSON_NULL,
};

// Flag bits of json_stream::flags.
constexpr std::uint32_t JSON_FLAG_ERROR = 1;
constexpr std::uint32_t JSON_FLAG_STREAMING = 2;
// stack_top while no container is open
constexpr std::size_t JSON_NO_CONTAINER = static_cast<std::size_t>(-1);

// Room for this many open containers; opening one more is an error.
constexpr std::size_t JSON_STACK_SIZE = 4;
constexpr std::size_t JSON_ERROR_SIZE = 128;

// A caller-supplied byte source: returns the next byte (0-255) or -1 at the end.
using json_user_io = int (*)(void *context);

struct json_source;
using json_source_io = int (*)(json_source *source);

// Where the bytes come from. get consumes a byte, peek does not; both give -1
// at the end of the data.
struct json_source {
    json_source_io get = nullptr;
    json_source_io peek = nullptr;
    std::size_t position = 0; // bytes consumed
    struct memory_source {
        const char *text;
        std::size_t length;
    };
    struct user_source {
        void *context;
        json_user_io get;
        json_user_io peek;
    };
    union {
        memory_source buffer;
        std::FILE *stream;
        user_source user;
    } source = {};
};

// One open container: its kind (JSON_OBJECT or JSON_ARRAY) and how many
// members were read. In an object the count is odd after a property name
// (a ":" and a value are due) and even after a value.
struct json_stack_entry {
    json_type type = JSON_ERROR;
    std::size_t count = 0;
};

// The token text buffer: `bytes.size()` is the room allocated, `fill` the
// bytes in use (the terminating NUL included). Absent until the first string
// or number token.
struct json_text_buffer {
    std::optional<std::pmr::vector<char>> bytes;
    std::size_t fill = 0;
};

struct json_stream {
    std::uint32_t lineno = 1;
    std::array<json_stack_entry, JSON_STACK_SIZE> stack{};
    std::size_t stack_top = JSON_NO_CONTAINER;
    int next = 0;                                           // pending event (json_peek), 0 when none
    std::uint32_t flags = JSON_FLAG_STREAMING;
    json_text_buffer data;
    std::size_t ntokens = 0; // values begun, containers included
    json_source source;
    std::pmr::memory_resource *allocator = std::pmr::new_delete_resource();
    char errmsg[JSON_ERROR_SIZE] = {};
};

// Opening: line 1, streaming mode, nothing read yet, the default allocator.
// The text must stay valid (and unchanged) until the stream is closed.
void json_open_string(json_stream *json, const char *text);
void json_open_buffer(json_stream *json, const void *data, std::size_t length);
void json_open_stream(json_stream *json, std::FILE *file);
void json_open_user(json_stream *json, json_user_io get, json_user_io peek, void *context);
// Releases the text buffer.
void json_close(json_stream *json);

json_type json_next(json_stream *json);
// As json_next, but the event stays pending for the next json_next.
json_type json_peek(json_stream *json);
// Clears a recorded error and the nesting so that a further top-level value can be read.
void json_reset(json_stream *json);
// Reads one event and, when it opens a container, everything up to its end.
// Returns that first event, or JSON_ERROR / JSON_DONE when one of those came first.
json_type json_skip(json_stream *json);
// json_skip until it returns `type`, JSON_ERROR or JSON_DONE.
json_type json_skip_until(json_stream *json, json_type type);

// The text of the latest string or number token (NUL-terminated; a string may
// hold further NULs from \u0000). `length` receives the bytes in use, the
// terminating NUL included; both are empty/0 before the first such token.
// Valid until the next event or json_close.
const char *json_get_string(json_stream *json, std::size_t *length);
// strtod of the token text; 0.0 before the first string or number token.
double json_get_number(json_stream *json);
// The recorded error text when an error has been recorded, otherwise null.
const char *json_get_error(json_stream *json);

std::uint32_t json_get_lineno(json_stream *json);
std::size_t json_get_position(json_stream *json);
std::size_t json_get_depth(json_stream *json);

// Memory for the text buffer from now on (the buffer's content is kept).
// Null restores the default allocator.
void json_set_allocator(json_stream *json, std::pmr::memory_resource *allocator);
// Streaming mode (on after opening): nothing after the first complete
// top-level value is read. Off: anything but whitespace after it is an error.
void json_set_streaming(json_stream *json, bool on);
