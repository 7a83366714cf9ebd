#include "cli/list_options.h"

#include "base/format.h"
#include "json/json.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

constexpr double INT32_LOW = std::numeric_limits<std::int32_t>::min();
constexpr double INT32_HIGH = std::numeric_limits<std::int32_t>::max();

// A number truncated toward zero; values beyond the 32-bit range are held at
// its ends, so that they stay visible as bad channels instead of wrapping.
std::int32_t channel_from_number(double value)
{
    if (std::isnan(value))
        return 0;
    return static_cast<std::int32_t>(std::clamp(std::trunc(value), INT32_LOW, INT32_HIGH));
}

// A string read as its leading decimal integer (blanks, sign, digits; 0 when
// there are none), held within the 32-bit range.
std::int32_t channel_from_text(const char *text)
{
    long value = std::strtol(text, nullptr, 10);
    if (value < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(value);
}

// Walks the JSON argument and hands every string or number event to `take`
// until the first array end, the end of the value or an error.
template <typename Take>
void read_list(const char *argument, Take take)
{
    json_stream json;
    json_open_string(&json, argument);
    for (;;) {
        json_type type = json_next(&json);
        if (type == JSON_ARRAY_END || type == JSON_DONE || type == JSON_ERROR)
            break;
        if (type == JSON_STRING || type == JSON_NUMBER)
            take(json, type);
    }
    json_close(&json);
}

} // namespace

// Each occurrence writes from element 0 on: its first element replaces the
// list, so an occurrence that yields k elements leaves exactly those k, and
// one that yields none leaves the list as it was.
void list_read_channels(const char *argument, std::vector<std::int32_t> &list)
{
    std::size_t count = 0;
    read_list(argument, [&](json_stream &json, json_type type) {
        std::int32_t channel = type == JSON_NUMBER ? channel_from_number(json_get_number(&json))
                                                   : channel_from_text(json_get_string(&json, nullptr));
        list.resize(count + 1);
        list[count++] = channel;
    });
}

void list_read_texts(const char *argument, std::optional<std::vector<std::string>> &list)
{
    std::size_t count = 0;
    read_list(argument, [&](json_stream &json, json_type type) {
        if (type != JSON_STRING)
            return;
        if (!list)
            list.emplace();
        list->resize(count + 1);
        format_alloc((*list)[count++], "%s", json_get_string(&json, nullptr));
    });
}
