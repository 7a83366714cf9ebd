// The stream operations beyond reading events one by one: looking ahead,
// skipping whole values, resetting after an error, and the stream's settings
// and position.
#include "json/json.h"

#include <new>

json_type json_peek(json_stream *json)
{
    json_type type = json_next(json);
    json->next = type;
    return type;
}

void json_reset(json_stream *json)
{
    json->stack_top = JSON_NO_CONTAINER;
    json->ntokens = 0;
    json->next = 0;
    json->flags &= ~JSON_FLAG_ERROR;
    json->errmsg[0] = '\0';
}

json_type json_skip(json_stream *json)
{
    json_type type = json_next(json);
    if (type != JSON_ARRAY && type != JSON_OBJECT)
        return type;
    std::size_t depth = 1;
    while (depth > 0) {
        json_type skipped = json_next(json);
        if (skipped == JSON_ERROR || skipped == JSON_DONE)
            return skipped;
        if (skipped == JSON_ARRAY || skipped == JSON_OBJECT)
            depth++;
        else if (skipped == JSON_ARRAY_END || skipped == JSON_OBJECT_END)
            depth--;
    }
    return type;
}

json_type json_skip_until(json_stream *json, json_type type)
{
    for (;;) {
        json_type skipped = json_skip(json);
        if (skipped == type || skipped == JSON_ERROR || skipped == JSON_DONE)
            return skipped;
    }
}

std::uint32_t json_get_lineno(json_stream *json)
{
    return json->lineno;
}

std::size_t json_get_position(json_stream *json)
{
    return json->source.position;
}

std::size_t json_get_depth(json_stream *json)
{
    return json->stack_top + 1;
}

void json_set_allocator(json_stream *json, std::pmr::memory_resource *allocator)
{
    if (!allocator)
        allocator = std::pmr::new_delete_resource();
    if (json->data.bytes && allocator != json->allocator) {
        // A polymorphic vector keeps its resource for life: move the content
        // into a buffer of the new resource.
        // A failed copy leaves the stream as it was.
        try {
            const std::pmr::vector<char> &old = *json->data.bytes;
            std::pmr::vector<char> moved(old.begin(), old.end(), allocator);
            json->data.bytes.emplace(std::move(moved));
        } catch (const std::bad_alloc &) {
            return;
        }
    }
    json->allocator = allocator;
}

void json_set_streaming(json_stream *json, bool on)
{
    if (on)
        json->flags |= JSON_FLAG_STREAMING;
    else
        json->flags &= ~JSON_FLAG_STREAMING;
}
