#include "cli/list_options.h"

#include "base/format.h"
#include "base/text.h"
#include "json/json.h"
#include "json/json_write.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
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

namespace {

// How much of a long value a message shows.
constexpr std::size_t ARGUMENT_SHOWN_MAX = 60;

// A text as one word for a POSIX shell: in single quotes, a quote inside as '\''.
std::string shell_word(const std::string &text)
{
    std::string out = "'";
    for (const char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The values a person most likely meant by a bare argument: its parts between
// commas (outside double quotes), each without blanks or quotes around it, and
// without the brackets of a list typed without quotes.
std::vector<std::string> meant_values(std::string text)
{
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    std::vector<std::string> values;
    std::string part;
    bool quoted = false;
    const auto take = [&] {
        const std::size_t first = part.find_first_not_of(" \t");
        const std::size_t last = part.find_last_not_of(" \t");
        std::string value = first == std::string::npos ? "" : part.substr(first, last - first + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (!value.empty())
            values.push_back(value);
        part.clear();
    };
    for (const char c : text) {
        if (c == '"')
            quoted = !quoted;
        if (c == ',' && !quoted)
            take();
        else
            part += c;
    }
    take();
    return values;
}

// The form that works: "--channel 2", "--channel '[1,3]'",
// "--channelcsvfile '\"hall.csv\"'", "--backupconfig '[\"dali1\",\"dali2\"]'".
std::string working_form(const char *option, const char *argument, list_kind kind)
{
    std::vector<std::string> values;
    if (kind == list_kind::texts) {
        for (const std::string &value : meant_values(argument))
            values.push_back(json_quote(value));
    } else {
        // Every number in the text but 0, wherever it stands.
        for (const char *at = argument; *at;) {
            char *end = nullptr;
            const long number = std::isdigit(static_cast<unsigned char>(*at)) || *at == '-' ? std::strtol(at, &end, 10) : 0;
            if (end && end != at) {
                if (number != 0)
                    values.push_back(std::to_string(number));
                at = end;
            } else {
                ++at;
            }
        }
    }
    const std::string example = kind == list_kind::texts ? R"(["a.csv","b.csv"])" : "[1,3]";
    if (values.empty())
        return kind == list_kind::texts ? std::string(option) + " '\"name\"', or " + option + " " + shell_word(example) +
                                              " for several"
                                        : std::string(option) + " 2, or " + option + " " + shell_word(example) +
                                              " for several";
    if (values.size() == 1)
        return std::string(option) + " " + (kind == list_kind::texts ? shell_word(values[0]) : values[0]);
    std::string list = "[";
    for (const std::string &value : values)
        list += (list.size() > 1 ? "," : "") + value;
    return std::string(option) + " " + shell_word(list + "]");
}

// What the reading keeps of the argument, as a sentence's end: "channels 1
// and 2 are read", "'a.csv' is read", "nothing is read".
std::string what_is_read(const char *argument, list_kind kind)
{
    std::vector<std::string> read;
    if (kind == list_kind::channels) {
        std::vector<std::int32_t> channels;
        list_read_channels(argument, channels);
        for (const std::int32_t channel : channels) {
            if (channel == 0)
                break;
            read.push_back(std::to_string(channel));
        }
    } else {
        std::optional<std::vector<std::string>> texts;
        list_read_texts(argument, texts);
        for (const std::string &text : texts.value_or(std::vector<std::string>{}))
            read.push_back(std::string(1, '\'').append(console_line(text)).append(1, '\''));
    }
    if (read.empty())
        return kind == list_kind::channels ? "no channel is read" : "nothing is read";
    std::string out = kind == list_kind::channels ? (read.size() == 1 ? "channel " : "channels ") : "";
    for (std::size_t i = 0; i < read.size(); ++i)
        out += (i == 0 ? "" : i + 1 == read.size() ? " and " : ", ") + read[i];
    return out + (read.size() == 1 ? " is read" : " are read");
}

// How the whole argument reads as JSON.
struct list_shape {
    bool json = true;          // its first event is no error
    bool broken = false;       // an error after a good start
    bool trailing = false;     // text after the first complete value
    bool nested = false;       // a list or object inside the list
    bool object = false;       // an object where a value or list belongs
    std::string wrong_kind;    // the first element the reading passes over
};

list_shape shape_of(const char *argument, list_kind kind)
{
    list_shape shape;
    json_stream json;
    json_open_string(&json, argument);
    std::size_t depth = 0;
    for (bool first = true;; first = false) {
        const json_type type = json_next(&json);
        if (type == JSON_ERROR) {
            (first ? shape.json : shape.broken) = first ? false : true;
            break;
        }
        if (type == JSON_DONE) {
            const char *rest = argument + std::min(json_get_position(&json), std::strlen(argument));
            shape.trailing = rest[std::strspn(rest, " \t\r\n")] != '\0';
            break;
        }
        if (type == JSON_ARRAY || type == JSON_OBJECT) {
            shape.nested = shape.nested || depth > 0;
            shape.object = shape.object || type == JSON_OBJECT;
            ++depth;
        } else if (type == JSON_ARRAY_END || type == JSON_OBJECT_END) {
            --depth;
        } else if (shape.wrong_kind.empty() && depth <= 1) {
            const bool taken = type == JSON_STRING || (kind == list_kind::channels && type == JSON_NUMBER);
            if (!taken)
                shape.wrong_kind = type == JSON_NUMBER ? json_get_string(&json, nullptr)
                                   : type == JSON_TRUE  ? "true"
                                   : type == JSON_FALSE ? "false"
                                                        : "null";
        }
    }
    json_close(&json);
    return shape;
}

// Whether a channel 0 ends the list before channels that follow it.
bool zero_ends_early(const char *argument)
{
    std::vector<std::int32_t> channels;
    list_read_channels(argument, channels);
    const auto zero = std::find(channels.begin(), channels.end(), 0);
    return zero != channels.end() && zero + 1 != channels.end();
}

} // namespace

std::optional<std::string> list_option_complaint(const char *option, const char *argument, list_kind kind)
{
    if (!option || !argument)
        return std::nullopt;
    const list_shape shape = shape_of(argument, kind);
    // A value of any length is named by its start.
    const std::string_view typed = argument;
    const std::size_t shown = utf8_cut(typed, ARGUMENT_SHOWN_MAX);
    const std::string given =
        std::string(option) + ": '" + console_line(typed.substr(0, shown)) + (shown < typed.size() ? "...' " : "' ");
    const std::string read = what_is_read(argument, kind);
    const bool nothing = read.rfind("no", 0) == 0;
    const std::string only = nothing ? ", so " : "; only ";
    const std::string instead = "; write " + working_form(option, argument, kind);
    const char *wanted = kind == list_kind::channels ? "a JSON number or list" : "a JSON string or list";
    if (!shape.json || shape.object)
        return given + "is not " + wanted + ", so " + read + instead;
    if (shape.broken)
        return given + "is not valid JSON to its end" + only + read + instead;
    if (shape.trailing)
        return given + "holds more than one JSON value" + only + read + instead;
    if (shape.nested)
        return given + "holds lists inside the list" + only + read + instead;
    if (!shape.wrong_kind.empty())
        return given + "holds " + shape.wrong_kind + ", which is not " +
               (kind == list_kind::channels ? "a channel number" : "a JSON string") + only + read +
               instead;
    if (kind == list_kind::channels && zero_ends_early(argument))
        return given + "holds the channel 0, which ends the list" + only + read + instead;
    return std::nullopt;
}
