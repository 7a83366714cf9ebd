#include "json/json.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <string>
#include <vector>

namespace {

// Opens a stream over `text` (its exact bytes) and closes it at the end of the scope.
struct reader {
    std::string text;
    json_stream json;

    explicit reader(std::string t) : text(std::move(t)) { json_open_buffer(&json, text.data(), text.size()); }
    ~reader() { json_close(&json); }
    reader(const reader &) = delete;
    reader &operator=(const reader &) = delete;

    json_type next() { return json_next(&json); }
    std::string token()
    {
        std::size_t length = 0;
        const char *s = json_get_string(&json, &length);
        return length ? std::string(s, length - 1) : std::string();
    }
    std::string error()
    {
        const char *e = json_get_error(&json);
        return e ? e : "(none)";
    }
    // Events up to and including the first JSON_DONE or JSON_ERROR.
    std::vector<json_type> events()
    {
        std::vector<json_type> seen;
        for (int i = 0; i < 100; ++i) {
            seen.push_back(next());
            if (seen.back() == JSON_DONE || seen.back() == JSON_ERROR)
                break;
        }
        return seen;
    }
};

using events = std::vector<json_type>;

// The recorded error text of a text read until its end.
std::string error_of(const std::string &text)
{
    reader r(text);
    r.events();
    return r.error();
}

// The string token of a one-string text, or the error text.
std::string string_of(const std::string &text)
{
    reader r(text);
    if (r.next() != JSON_STRING)
        return "ERROR " + r.error();
    return r.token();
}

// Events up to the first JSON_DONE or JSON_ERROR, and the error then recorded.
struct sequence {
    std::string text;
    events seen;
    std::string error; // "(none)": nothing recorded
};

void expect_sequences(const std::vector<sequence> &cases)
{
    for (const sequence &c : cases) {
        reader r(c.text);
        EXPECT_EQ(r.events(), c.seen) << c.text;
        EXPECT_EQ(r.error(), c.error) << c.text;
    }
}

TEST(JsonEvents, BasicSequences)
{
    expect_sequences({
        {"", {JSON_ERROR}, "error: 1: unexpected end of data"},
        {"[1,2]", {JSON_ARRAY, JSON_NUMBER, JSON_NUMBER, JSON_ARRAY_END, JSON_DONE}, "(none)"},
        // Nothing after the first complete value is examined.
        {"5 x", {JSON_NUMBER, JSON_DONE}, "(none)"},
        {"[1 2]", {JSON_ARRAY, JSON_NUMBER, JSON_ERROR}, "error: 1: unexpected byte, '2'"},
        // A literal that does not match records nothing.
        {"[tru]", {JSON_ARRAY, JSON_ERROR}, "(none)"},
        {" \t\r\n{\"a\": [true, false, null, \"s\", -1], \"b\": {}}",
         {JSON_OBJECT, JSON_STRING, JSON_ARRAY, JSON_TRUE, JSON_FALSE, JSON_NULL, JSON_STRING, JSON_NUMBER,
          JSON_ARRAY_END, JSON_STRING, JSON_OBJECT, JSON_OBJECT_END, JSON_OBJECT_END, JSON_DONE},
         "(none)"},
        {"[]", {JSON_ARRAY, JSON_ARRAY_END, JSON_DONE}, "(none)"},
        {"{}", {JSON_OBJECT, JSON_OBJECT_END, JSON_DONE}, "(none)"},
        {"[,1]", {JSON_ARRAY, JSON_ERROR}, "error: 1: unexpected byte, ','"},
        {"[1", {JSON_ARRAY, JSON_NUMBER, JSON_ERROR}, "error: 1: unexpected end of data"},
        {"@", {JSON_ERROR}, "error: 1: unexpected byte, '@'"},
        {"]", {JSON_ERROR}, "error: 1: unexpected byte, ']'"},
        // A container as a property name is refused (it was opened already).
        {R"({[1]:2})", {JSON_OBJECT, JSON_ERROR}, "error: 1: expected property name or '}'"},
        // Depth: four levels and no more.
        {R"([{"a":[[1]]}])",
         {JSON_ARRAY, JSON_OBJECT, JSON_STRING, JSON_ARRAY, JSON_ARRAY, JSON_NUMBER, JSON_ARRAY_END, JSON_ARRAY_END,
          JSON_OBJECT_END, JSON_ARRAY_END, JSON_DONE},
         "(none)"},
        {"[[[[[1]]]]]", {JSON_ARRAY, JSON_ARRAY, JSON_ARRAY, JSON_ARRAY, JSON_ERROR}, "error: 1: too many nested levels"},
        {"{\"a\":{\"b\":{\"c\":{\n\"d\":{}}}}}",
         {JSON_OBJECT, JSON_STRING, JSON_OBJECT, JSON_STRING, JSON_OBJECT, JSON_STRING, JSON_OBJECT, JSON_STRING, JSON_ERROR},
         "error: 2: too many nested levels"},
    });
    // DONE forever after the end, ERROR forever after an error.
    reader done("[1,2]");
    done.events();
    EXPECT_EQ(done.next(), JSON_DONE);
    EXPECT_EQ(done.next(), JSON_DONE);
    reader deep("[[[[[1]]]]]");
    deep.events();
    EXPECT_EQ(json_get_depth(&deep.json), 4u);
    EXPECT_EQ(deep.next(), JSON_ERROR);
}

TEST(JsonEvents, FirstErrorWinsAndLinesAreCounted)
{
    reader r("[\n\n#\n]");
    EXPECT_EQ(r.events(), (events{JSON_ARRAY, JSON_ERROR}));
    EXPECT_EQ(r.error(), "error: 3: unexpected byte, '#'");
    EXPECT_EQ(json_get_lineno(&r.json), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(r.next(), JSON_ERROR);
    EXPECT_EQ(r.error(), "error: 3: unexpected byte, '#'");

    // Line feeds inside strings are escapes or errors, never counted.
    reader s("[\"a\\nb\",\n1,\r\n\"\n\"]");
    EXPECT_EQ(s.events(), (events{JSON_ARRAY, JSON_STRING, JSON_NUMBER, JSON_ERROR}));
    EXPECT_EQ(s.error(), "error: 3: unescaped control character in string");
}

TEST(JsonEvents, TokenTextBeforeAnyToken)
{
    reader r("[true]");
    std::size_t length = 99;
    EXPECT_STREQ(json_get_string(&r.json, &length), "");
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(json_get_number(&r.json), 0.0);
    EXPECT_EQ(json_get_string(&r.json, nullptr)[0], '\0');
    EXPECT_EQ(r.events(), (events{JSON_ARRAY, JSON_TRUE, JSON_ARRAY_END, JSON_DONE}));
    EXPECT_STREQ(json_get_string(&r.json, &length), "");
    EXPECT_EQ(length, 0u);
}

TEST(JsonNumbers, ValuesAndTexts)
{
    {
        reader r("0123");
        EXPECT_EQ(r.events(), (events{JSON_NUMBER, JSON_DONE}));
        EXPECT_EQ(r.token(), "0");
    }
    {
        reader r("1e5");
        EXPECT_EQ(r.next(), JSON_NUMBER);
        EXPECT_EQ(json_get_number(&r.json), 100000.0);
    }
    {
        reader r("-2.5E-3");
        EXPECT_EQ(r.next(), JSON_NUMBER);
        EXPECT_EQ(json_get_number(&r.json), -0.0025);
        std::size_t length = 0;
        json_get_string(&r.json, &length);
        EXPECT_EQ(length, 8u);
    }
    {
        reader r("[1.5e+2,-0,0.25,12E3,1e-2,007]");
        std::vector<std::string> texts;
        std::vector<double> values;
        for (json_type t = r.next(); t != JSON_ARRAY_END && t != JSON_ERROR && t != JSON_DONE; t = r.next())
            if (t == JSON_NUMBER) {
                texts.push_back(r.token());
                values.push_back(json_get_number(&r.json));
            }
        // 007: the leading 0 is a number of its own, then "0" is an unexpected byte.
        EXPECT_EQ(texts, (std::vector<std::string>{"1.5e+2", "-0", "0.25", "12E3", "1e-2", "0"}));
        EXPECT_EQ(values, (std::vector<double>{150.0, -0.0, 0.25, 12000.0, 0.01, 0.0}));
        EXPECT_EQ(r.error(), "error: 1: unexpected byte, '0'");
    }
    EXPECT_EQ(error_of("-x"), "error: 1: unexpected byte, 'x'");
    EXPECT_EQ(error_of("1ex"), "error: 1: unexpected byte in number, 'x'");
    // The end of the data is not shown as a byte.
    EXPECT_EQ(error_of("-"), "error: 1: unexpected end of data");
    EXPECT_EQ(error_of("1e"), "error: 1: unexpected end of data");
    {
        // A fraction or signed exponent without digits records nothing.
        for (const char *text : {"1.", "1.x", "1e+", "2E-x"}) {
            reader r(text);
            EXPECT_EQ(r.next(), JSON_ERROR) << text;
            EXPECT_EQ(json_get_error(&r.json), nullptr) << text;
        }
    }
}

TEST(JsonStrings, EscapesAndCodePoints)
{
    EXPECT_EQ(string_of(R"("plain text")"), "plain text");
    EXPECT_EQ(string_of(R"("")"), "");
    EXPECT_EQ(string_of(R"("\\\b\f\n\r\t\/\"")"), "\\\b\f\n\r\t/\"");
    {
        reader r(R"("\u00e9")");
        EXPECT_EQ(r.next(), JSON_STRING);
        std::size_t length = 0;
        const char *s = json_get_string(&r.json, &length);
        EXPECT_EQ(length, 3u);
        EXPECT_EQ(std::string(s, 2), "\xC3\xA9");
    }
    EXPECT_EQ(string_of(R"("\u0041\u007F\u0080\u07ff\u0800\uFFFF")"),
              "A\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
    EXPECT_EQ(string_of(R"("\ud83d\ude00")"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(string_of(R"("\udbff\udfff")"), "\xF4\x8F\xBF\xBF");
    EXPECT_EQ(string_of(R"("\uD800\uDC00")"), "\xF0\x90\x80\x80");
    {
        // An escaped zero stays inside the token.
        reader r(R"("a\u0000b")");
        EXPECT_EQ(r.next(), JSON_STRING);
        EXPECT_EQ(r.token(), std::string("a\0b", 3));
    }
    EXPECT_EQ(string_of(R"("\ud83dx")"), "ERROR error: 1: invalid continuation for surrogate pair: 'x', expected '\\'");
    EXPECT_EQ(string_of(R"("\ud83d\x")"), "ERROR error: 1: invalid continuation for surrogate pair: 'x', expected 'u'");
    EXPECT_EQ(string_of(R"("\ud83d\u0041")"),
              "ERROR error: 1: invalid surrogate pair continuation \\u0041 out of range (dc00-dfff)");
    EXPECT_EQ(string_of(R"("\ude00")"), "ERROR error: 1: dangling surrogate \\ude00");
    EXPECT_EQ(string_of(R"("\u00g0")"), "ERROR error: 1: bad escape unicode byte, 'g'");
    EXPECT_EQ(string_of(R"("\q")"), "ERROR error: 1: bad escaped byte, 'q'");
    EXPECT_EQ(string_of(R"("\u00)"), "ERROR error: 1: unterminated string literal in unicode");
    EXPECT_EQ(string_of(R"("\ud83d)"), "ERROR error: 1: unterminated string literal in unicode");
    EXPECT_EQ(string_of(R"("\ud83d\)"), "ERROR error: 1: unterminated string literal in unicode");
    EXPECT_EQ(string_of(R"("abc\)"), "ERROR error: 1: unterminated string literal in escape");
    EXPECT_EQ(string_of(R"("abc)"), "ERROR error: 1: unterminated string literal");
    EXPECT_EQ(string_of("\"a\nb\""), "ERROR error: 1: unescaped control character in string");
    EXPECT_EQ(string_of("\"a\tb\""), "ERROR error: 1: unescaped control character in string");
    EXPECT_EQ(string_of("\"a\x7f" "b\""), "a\x7f" "b");
    // The byte 0xFF reads as the end of the data.
    EXPECT_EQ(string_of("\"a\xFF\""), "ERROR error: 1: unterminated string literal");
}

TEST(JsonStrings, Utf8WellFormednessAtEveryBoundary)
{
    struct sample {
        const char *bytes;
        bool ok;
    };
    const sample samples[] = {
        {"\xC2\x80", true},          {"\xDF\xBF", true},          {"\xE0\xA0\x80", true},
        {"\xE0\xBF\xBF", true},      {"\xE1\x80\x80", true},      {"\xEC\xBF\xBF", true},
        {"\xED\x80\x80", true},      {"\xED\x9F\xBF", true},      {"\xEE\x80\x80", true},
        {"\xEF\xBF\xBF", true},      {"\xF0\x90\x80\x80", true},  {"\xF0\xBF\xBF\xBF", true},
        {"\xF1\x80\x80\x80", true},  {"\xF3\xBF\xBF\xBF", true},  {"\xF4\x80\x80\x80", true},
        {"\xF4\x8F\xBF\xBF", true},
        // Second byte out of its range.
        {"\xC2\x7F", false},         {"\xC2\xC0", false},         {"\xE0\x9F\x80", false},
        {"\xE0\xC0\x80", false},     {"\xE1\x7F\x80", false},     {"\xED\xA0\x80", false},
        {"\xED\xBF\xBF", false},     {"\xF0\x8F\xBF\xBF", false}, {"\xF0\xC0\x80\x80", false},
        {"\xF4\x90\x80\x80", false}, {"\xF4\x7F\x80\x80", false},
        // Later continuation bytes out of range.
        {"\xE1\x80\x7F", false},     {"\xE1\x80\xC0", false},     {"\xF1\x80\x80\x7F", false},
        {"\xF1\x80\xC0\x80", false},
    };
    for (const sample &s : samples) {
        std::string text = std::string("\"") + s.bytes + "\"";
        EXPECT_EQ(string_of(text), s.ok ? std::string(s.bytes) : "ERROR error: 1: No legal UTF8 found")
            << testing::PrintToString(std::string(s.bytes));
    }
    for (const char *lead : {"\x80", "\xBF", "\xC0\x80", "\xC1\xBF", "\xF5\x80\x80\x80", "\xF7", "\xFE"})
        EXPECT_EQ(string_of(std::string("\"") + lead + "\""), "ERROR error: 1: Bad character.")
            << testing::PrintToString(std::string(lead));
    // A sequence cut short by the closing quote or the end of the data.
    EXPECT_EQ(string_of("\"\xE1\x80\""), "ERROR error: 1: No legal UTF8 found");
    EXPECT_EQ(string_of("\"\xF0\x90"), "ERROR error: 1: No legal UTF8 found");
}

TEST(JsonObjects, StateMachine)
{
    {
        reader r(R"({"a":1,"b":"x"})");
        EXPECT_EQ(r.next(), JSON_OBJECT);
        EXPECT_EQ(r.next(), JSON_STRING);
        EXPECT_EQ(r.token(), "a");
        EXPECT_EQ(r.next(), JSON_NUMBER);
        EXPECT_EQ(r.next(), JSON_STRING);
        EXPECT_EQ(r.token(), "b");
        EXPECT_EQ(r.next(), JSON_STRING);
        EXPECT_EQ(r.token(), "x");
        EXPECT_EQ(r.next(), JSON_OBJECT_END);
        EXPECT_EQ(r.next(), JSON_DONE);
    }
    EXPECT_EQ(error_of(R"({"a" 1})"), "error: 1: expected ':' after property name");
    EXPECT_EQ(error_of(R"({"a")"), "error: 1: expected ':' after property name");
    EXPECT_EQ(error_of(R"({1:2})"), "error: 1: expected property name or '}'");
    EXPECT_EQ(error_of(R"({tru})"), "error: 1: expected property name or '}'");
    EXPECT_EQ(error_of(R"({"a":1,2})"), "error: 1: expected property name");
    EXPECT_EQ(error_of(R"({"a":1 "b":2})"), "error: 1: expected ',' or '}'");
    EXPECT_EQ(error_of(R"({"a":1)"), "error: 1: expected ',' or '}'");
    // The lexer's own error comes first and wins.
    EXPECT_EQ(error_of(R"({"a":1,})"), "error: 1: unexpected byte, '}'");
    EXPECT_EQ(error_of("{\n\"a\":\n#}"), "error: 3: unexpected byte, '#'");
}

TEST(JsonStream, PeekResetSkipAndAccessors)
{
    {
        reader r("[7]");
        EXPECT_EQ(json_get_depth(&r.json), 0u);
        EXPECT_EQ(json_peek(&r.json), JSON_ARRAY);
        EXPECT_EQ(json_peek(&r.json), JSON_ARRAY);
        EXPECT_EQ(r.next(), JSON_ARRAY);
        EXPECT_EQ(json_get_depth(&r.json), 1u);
        EXPECT_EQ(r.next(), JSON_NUMBER);
        EXPECT_EQ(json_get_position(&r.json), 2u);
        EXPECT_EQ(r.next(), JSON_ARRAY_END);
        EXPECT_EQ(json_get_depth(&r.json), 0u);
    }
    {
        reader r("#");
        EXPECT_EQ(json_peek(&r.json), JSON_ERROR);
        EXPECT_EQ(r.next(), JSON_ERROR);
    }
    {
        // Reset reads a further top-level value, also after an error.
        reader r("1 [2 3] 4");
        EXPECT_EQ(r.events(), (events{JSON_NUMBER, JSON_DONE}));
        json_reset(&r.json);
        EXPECT_EQ(r.events(), (events{JSON_ARRAY, JSON_NUMBER, JSON_ERROR}));
        json_reset(&r.json);
        EXPECT_EQ(json_get_error(&r.json), nullptr);
        EXPECT_EQ(json_get_depth(&r.json), 0u);
        // "3" is gone (the error consumed it); "]" cannot start a value.
        EXPECT_EQ(r.next(), JSON_ERROR);
        EXPECT_EQ(r.error(), "error: 1: unexpected byte, ']'");
        json_reset(&r.json);
        EXPECT_EQ(r.next(), JSON_NUMBER);
        EXPECT_EQ(r.token(), "4");
    }
    {
        reader r(R"([[1,[2]],{"a":{"b":[3]}},"s",5])");
        EXPECT_EQ(r.next(), JSON_ARRAY);
        EXPECT_EQ(json_skip(&r.json), JSON_ARRAY);
        EXPECT_EQ(json_get_depth(&r.json), 1u);
        EXPECT_EQ(json_skip(&r.json), JSON_OBJECT);
        EXPECT_EQ(json_skip_until(&r.json, JSON_NUMBER), JSON_NUMBER);
        EXPECT_EQ(r.token(), "5");
        EXPECT_EQ(json_skip(&r.json), JSON_ARRAY_END);
        EXPECT_EQ(json_skip_until(&r.json, JSON_NUMBER), JSON_DONE);
    }
    {
        reader r("[[1,2");
        EXPECT_EQ(r.next(), JSON_ARRAY);
        EXPECT_EQ(json_skip(&r.json), JSON_ERROR);
    }
    {
        // Outside streaming mode only whitespace may follow the value.
        reader r("5 \n");
        json_set_streaming(&r.json, false);
        EXPECT_EQ(r.events(), (events{JSON_NUMBER, JSON_DONE}));
        reader s("5 x");
        json_set_streaming(&s.json, false);
        EXPECT_EQ(s.events(), (events{JSON_NUMBER, JSON_ERROR}));
        EXPECT_EQ(json_get_error(&s.json), nullptr);
    }
    {
        json_stream json;
        json_open_string(&json, "[\"a\", 1]");
        EXPECT_EQ(json_next(&json), JSON_ARRAY);
        EXPECT_EQ(json_next(&json), JSON_STRING);
        EXPECT_STREQ(json_get_string(&json, nullptr), "a");
        json_close(&json);
        // A closed record opens again.
        json_open_string(&json, "true");
        EXPECT_EQ(json_next(&json), JSON_TRUE);
        EXPECT_EQ(json_next(&json), JSON_DONE);
        json_close(&json);
    }
}

TEST(JsonSources, FileAndCallerSources)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::tmpfile(), std::fclose);
    ASSERT_TRUE(file);
    std::fputs("{\"k\": [\"\xC3\xA9\", 2]}", file.get());
    std::rewind(file.get());
    json_stream json;
    json_open_stream(&json, file.get());
    std::vector<json_type> seen;
    for (json_type t = json_next(&json); t != JSON_DONE && t != JSON_ERROR; t = json_next(&json))
        seen.push_back(t);
    EXPECT_EQ(seen, (events{JSON_OBJECT, JSON_STRING, JSON_ARRAY, JSON_STRING, JSON_NUMBER, JSON_ARRAY_END,
                            JSON_OBJECT_END}));
    json_close(&json);

    struct cursor {
        const char *p;
    } c{"[\"\xFF\"]"};
    auto user_get = [](void *context) -> int {
        auto *k = static_cast<cursor *>(context);
        return *k->p ? static_cast<unsigned char>(*k->p++) : -1;
    };
    auto user_peek = [](void *context) -> int {
        auto *k = static_cast<cursor *>(context);
        return *k->p ? static_cast<unsigned char>(*k->p) : -1;
    };
    // Here 0xFF is a byte, and no valid lead byte.
    json_open_user(&json, user_get, user_peek, &c);
    EXPECT_EQ(json_next(&json), JSON_ARRAY);
    EXPECT_EQ(json_next(&json), JSON_ERROR);
    EXPECT_STREQ(json_get_error(&json), "error: 1: Bad character.");
    EXPECT_EQ(json_get_position(&json), 3u);
    json_close(&json);
}

// Counts allocations and refuses every one after `budget` of them.
class counting_resource : public std::pmr::memory_resource {
public:
    int allocations = 0;
    int budget = 1000;
    std::size_t largest = 0;

private:
    void *do_allocate(std::size_t bytes, std::size_t alignment) override
    {
        if (allocations >= budget)
            throw std::bad_alloc();
        ++allocations;
        largest = std::max(largest, bytes);
        return std::pmr::new_delete_resource()->allocate(bytes, alignment);
    }
    void do_deallocate(void *p, std::size_t bytes, std::size_t alignment) override
    {
        std::pmr::new_delete_resource()->deallocate(p, bytes, alignment);
    }
    bool do_is_equal(const memory_resource &other) const noexcept override { return this == &other; }
};

TEST(JsonBuffer, OneBufferDoubledOnDemand)
{
    counting_resource memory;
    std::string long_text(1000, 'x');
    std::string text = "[";
    for (int i = 0; i < 200; ++i)
        text += "\"abc\"," + std::to_string(i) + ",";
    text += "\"" + long_text + "\"]";
    reader r(text);
    json_set_allocator(&r.json, &memory);
    std::size_t strings = 0;
    json_type t;
    while ((t = r.next()) != JSON_DONE && t != JSON_ERROR)
        if (t == JSON_STRING)
            ++strings;
    EXPECT_EQ(t, JSON_DONE);
    EXPECT_EQ(strings, 201u);
    EXPECT_EQ(r.token(), long_text);
    // 256, 512, 1024 bytes: three allocations for 401 tokens.
    EXPECT_EQ(memory.allocations, 3);
    EXPECT_EQ(memory.largest, 1024u);

    // A buffer that cannot grow records the C library's text for ENOMEM.
    counting_resource tight;
    tight.budget = 1;
    reader s("[\"short\",\"" + long_text + "\"]");
    json_set_allocator(&s.json, &tight);
    EXPECT_EQ(s.next(), JSON_ARRAY);
    EXPECT_EQ(s.next(), JSON_STRING);
    EXPECT_EQ(s.next(), JSON_ERROR);
    EXPECT_EQ(s.error(), std::string("error: 1: ") + std::strerror(ENOMEM));
}

TEST(JsonRegression, TokenCutShortStillEndsInANul)
{
    // A number cut short (by a buffer that cannot grow, or by a bad byte
    // right where the buffer is full) used to be left without its NUL, and
    // json_get_number and json_get_string read past the buffer.
    counting_resource tight;
    tight.budget = 1;
    json_stream json;
    const std::string number(600, '1');
    json_open_string(&json, number.c_str());
    json_set_allocator(&json, &tight);
    EXPECT_EQ(json_next(&json), JSON_ERROR);
    std::size_t length = 0;
    const char *text = json_get_string(&json, &length);
    ASSERT_NE(json.data.bytes, std::nullopt);
    EXPECT_NE(std::memchr(text, '\0', json.data.bytes->size()), nullptr);
    EXPECT_GT(json_get_number(&json), 1e254);
    json_close(&json);

    // The same for a number that fills its buffer exactly and then meets a
    // bad byte: no allocation fails, and the text still ends in a NUL.
    const std::string filled = std::string(255, '1') + "ex";
    json_open_string(&json, filled.c_str());
    EXPECT_EQ(json_next(&json), JSON_ERROR);
    text = json_get_string(&json, &length);
    ASSERT_NE(json.data.bytes, std::nullopt);
    EXPECT_NE(std::memchr(text, '\0', json.data.bytes->size()), nullptr);
    json_close(&json);
}

} // namespace
