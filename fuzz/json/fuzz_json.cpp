// The JSON pull reader over arbitrary bytes. The first two bytes steer the
// run: how the text is handed over (buffer, NUL-terminated string, user
// callbacks, stdio stream), streaming on or off, a memory budget for the
// token buffer, and which calls (next, peek, skip, skip_until, reset) read the
// events. The rest is the text.
#include "fuzz/fuzz_support.h"
#include "json/json.h"

#include <cstring>
#include <memory_resource>
#include <new>
#include <string>

namespace {

// Hands out memory until its budget is spent, then refuses.
class budget_resource : public std::pmr::memory_resource {
public:
    explicit budget_resource(std::size_t budget) : left_(budget) {}

private:
    void *do_allocate(std::size_t bytes, std::size_t alignment) override
    {
        if (bytes > left_)
            throw std::bad_alloc();
        left_ -= bytes;
        return std::pmr::new_delete_resource()->allocate(bytes, alignment);
    }
    void do_deallocate(void *p, std::size_t bytes, std::size_t alignment) override
    {
        left_ += bytes;
        std::pmr::new_delete_resource()->deallocate(p, bytes, alignment);
    }
    bool do_is_equal(const std::pmr::memory_resource &other) const noexcept override { return this == &other; }

    std::size_t left_;
};

struct user_bytes {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t at;
};

int user_get(void *context)
{
    auto *bytes = static_cast<user_bytes *>(context);
    return bytes->at < bytes->size ? bytes->data[bytes->at++] : -1;
}

int user_peek(void *context)
{
    auto *bytes = static_cast<user_bytes *>(context);
    return bytes->at < bytes->size ? bytes->data[bytes->at] : -1;
}

// Small generator for the choice of call; the same input always makes the
// same choices.
struct chooser {
    std::uint32_t state;
    std::uint32_t next()
    {
        state = state * 1103515245u + 12345u;
        return state >> 16;
    }
};

// The position counts every byte asked for, the end of the data included,
// so it is not checked against the text's length.
void check_state(json_stream *json, json_type event)
{
    FUZZ_CHECK(event >= JSON_ERROR && event <= JSON_NULL);
    FUZZ_CHECK(json_get_depth(json) <= JSON_STACK_SIZE);
    std::size_t length = 99;
    const char *text = json_get_string(json, &length);
    FUZZ_CHECK(text != nullptr);
    // Right after a string or number the buffer holds that token, terminated
    // (after an error it may hold the part read so far).
    if (event == JSON_STRING || event == JSON_NUMBER)
        FUZZ_CHECK(length > 0 && text[length - 1] == '\0');
    // Whatever happened, the text buffer ends in a NUL somewhere: strtod and
    // strlen on it must stay inside (neither is checked by the sanitizer).
    if (json->data.bytes)
        FUZZ_CHECK(std::memchr(json->data.bytes->data(), '\0', json->data.bytes->size()) != nullptr);
    (void)json_get_number(json);
    (void)json_get_lineno(json);
    if (const char *error = json_get_error(json))
        FUZZ_CHECK(std::memchr(error, '\0', JSON_ERROR_SIZE) != nullptr);
    // A JSON_ERROR may come without a message: bytes after the value outside
    // streaming mode are refused without one.
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::uint8_t mode = data[0];
    chooser choose{data[1]};
    const std::uint8_t *text = data + 2;
    const std::size_t text_size = size - 2;

    // Bits 0-1: the source; bit 2: streaming off; bits 3-4: memory budget.
    const unsigned source_kind = mode & 3u;
    static constexpr std::size_t budgets[] = {0, 64, 700, 1u << 20};
    budget_resource budget(budgets[(mode >> 3) & 3u]);
    const bool limited = ((mode >> 3) & 3u) != 3;

    std::string terminated;
    user_bytes user{text, text_size, 0};
    std::FILE *stream = nullptr;
    json_stream json;
    switch (source_kind) {
    case 0: json_open_buffer(&json, text, text_size); break;
    case 1:
        terminated.assign(reinterpret_cast<const char *>(text), text_size);
        json_open_string(&json, terminated.c_str());
        break;
    case 2: json_open_user(&json, user_get, user_peek, &user); break;
    default:
        stream = fmemopen(const_cast<std::uint8_t *>(text), text_size, "rb");
        if (!stream)
            return 0;
        json_open_stream(&json, stream);
        break;
    }
    json_set_streaming(&json, (mode & 4u) == 0);
    if (limited)
        json_set_allocator(&json, &budget);

    // Bounded: after an error or the end, a reset lets a further value be read.
    const std::size_t steps = 4 * text_size + 64;
    unsigned resets = 0;
    for (std::size_t step = 0; step < steps; ++step) {
        json_type event;
        switch (choose.next() % 8) {
        case 0: event = json_peek(&json); break;
        case 1: event = json_skip(&json); break;
        case 2: event = json_skip_until(&json, static_cast<json_type>(JSON_OBJECT + choose.next() % 9)); break;
        default: event = json_next(&json); break;
        }
        check_state(&json, event);
        if (event == JSON_ERROR || event == JSON_DONE) {
            if (resets++ >= 8 || json_get_position(&json) >= text_size)
                break;
            json_reset(&json);
        }
        if (choose.next() % 64 == 0)
            json_set_allocator(&json, limited && choose.next() % 2 ? &budget : nullptr);
    }
    json_close(&json);
    if (stream)
        std::fclose(stream);
    return 0;
}
