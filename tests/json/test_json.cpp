#include "json/json.h"
#include "json/json_write.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <string>
#include <vector>

namespace {

using events = std::vector<json_type>;

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
    events all()
    {
        events seen;
        for (int i = 0; i < 100 && (seen.empty() || (seen.back() != JSON_DONE && seen.back() != JSON_ERROR)); ++i)
            seen.push_back(next());
        return seen;
    }
};

// The string token of a one-string text, or "ERROR " and the error text.
std::string string_of(const std::string &text)
{
    reader r(text);
    return r.next() == JSON_STRING ? r.token() : "ERROR " + r.error();
}

constexpr json_type A = JSON_ARRAY, AE = JSON_ARRAY_END, O = JSON_OBJECT, OE = JSON_OBJECT_END, S = JSON_STRING,
                    N = JSON_NUMBER, T = JSON_TRUE, F = JSON_FALSE, NUL = JSON_NULL, D = JSON_DONE, E = JSON_ERROR;

TEST(JsonEvents, SequencesAndTheErrorRecorded)
{
    const struct {
        std::string text;
        events seen;   // up to the first DONE or ERROR; empty: not compared
        std::string error;
    } cases[] = {
        {"", {E}, "error: 1: unexpected end of data"},
        {"[1,2]", {A, N, N, AE, D}, "(none)"},
        // Nothing after the first complete value is examined.
        {"5 x", {N, D}, "(none)"},
        {"[1 2]", {A, N, E}, "error: 1: unexpected byte, '2'"},
        // A literal that does not match records nothing.
        {"[tru]", {A, E}, "(none)"},
        {" \t\r\n{\"a\": [true, false, null, \"s\", -1], \"b\": {}}", {O, S, A, T, F, NUL, S, N, AE, S, O, OE, OE, D}, "(none)"},
        {"[]", {A, AE, D}, "(none)"},
        {"{}", {O, OE, D}, "(none)"},
        {"[,1]", {A, E}, "error: 1: unexpected byte, ','"},
        {"[1", {A, N, E}, "error: 1: unexpected end of data"},
        {"@", {E}, "error: 1: unexpected byte, '@'"},
        {"]", {E}, "error: 1: unexpected byte, ']'"},
        // A container as a property name is refused (it was opened already).
        {R"({[1]:2})", {O, E}, "error: 1: expected property name or '}'"},
        // Depth: four levels and no more.
        {R"([{"a":[[1]]}])", {A, O, S, A, A, N, AE, AE, OE, AE, D}, "(none)"},
        {"[[[[[1]]]]]", {A, A, A, A, E}, "error: 1: too many nested levels"},
        {"{\"a\":{\"b\":{\"c\":{\n\"d\":{}}}}}", {O, S, O, S, O, S, O, S, E}, "error: 2: too many nested levels"},
        // Lines are counted; line feeds inside strings are escapes or errors, never counted.
        {"[\n\n#\n]", {A, E}, "error: 3: unexpected byte, '#'"},
        {"[\"a\\nb\",\n1,\r\n\"\n\"]", {A, S, N, E}, "error: 3: unescaped control character in string"},
        // Objects.
        {R"({"a":1,"b":"x"})", {O, S, N, S, S, OE, D}, "(none)"},
        {R"({"a" 1})", {}, "error: 1: expected ':' after property name"},
        {R"({"a")", {}, "error: 1: expected ':' after property name"},
        {R"({1:2})", {}, "error: 1: expected property name or '}'"},
        {R"({tru})", {}, "error: 1: expected property name or '}'"},
        {R"({"a":1,2})", {}, "error: 1: expected property name"},
        {R"({"a":1 "b":2})", {}, "error: 1: expected ',' or '}'"},
        {R"({"a":1)", {}, "error: 1: expected ',' or '}'"},
        // The lexer's own error comes first and wins.
        {R"({"a":1,})", {}, "error: 1: unexpected byte, '}'"},
        {"{\n\"a\":\n#}", {}, "error: 3: unexpected byte, '#'"},
        // Numbers; the end of the data is not shown as a byte.
        {"0123", {N, D}, "(none)"},
        {"-x", {E}, "error: 1: unexpected byte, 'x'"},
        {"1ex", {E}, "error: 1: unexpected byte in number, 'x'"},
        {"-", {E}, "error: 1: unexpected end of data"},
        {"1e", {E}, "error: 1: unexpected end of data"},
        // A fraction or signed exponent without digits records nothing.
        {"1.", {E}, "(none)"},
        {"1.x", {E}, "(none)"},
        {"1e+", {E}, "(none)"},
        {"2E-x", {E}, "(none)"},
    };
    for (const auto &c : cases) {
        reader r(c.text);
        const events seen = r.all();
        if (!c.seen.empty()) {
            EXPECT_EQ(seen, c.seen) << c.text;
        }
        EXPECT_EQ(r.error(), c.error) << c.text;
        // DONE forever after the end, ERROR forever (the first error kept)
        // after an error that was recorded.
        if (seen.back() == JSON_DONE || c.error != "(none)") {
            EXPECT_EQ(r.next(), seen.back()) << c.text;
            EXPECT_EQ(r.error(), c.error) << c.text;
        }
    }
    reader r("[\n\n#\n]");
    r.all();
    EXPECT_EQ(json_get_lineno(&r.json), 3u);
    reader deep("[[[[[1]]]]]");
    deep.all();
    EXPECT_EQ(json_get_depth(&deep.json), 4u);
}

TEST(JsonNumbers, ValuesAndTexts)
{
    reader r("[1.5e+2,-0,0.25,12E3,1e-2,-2.5E-3,1e5,007]");
    std::vector<std::string> texts;
    std::vector<double> values;
    for (json_type t = r.next(); t != JSON_ARRAY_END && t != JSON_ERROR && t != JSON_DONE; t = r.next())
        if (t == JSON_NUMBER) {
            texts.push_back(r.token());
            values.push_back(json_get_number(&r.json));
        }
    // 007: the leading 0 is a number of its own, then "0" is an unexpected byte.
    EXPECT_EQ(texts, (std::vector<std::string>{"1.5e+2", "-0", "0.25", "12E3", "1e-2", "-2.5E-3", "1e5", "0"}));
    EXPECT_EQ(values, (std::vector<double>{150.0, -0.0, 0.25, 12000.0, 0.01, -0.0025, 100000.0, 0.0}));
    EXPECT_EQ(r.error(), "error: 1: unexpected byte, '0'");

    // Before any token: an empty text and 0.
    reader fresh("[true]");
    std::size_t length = 99;
    EXPECT_STREQ(json_get_string(&fresh.json, &length), "");
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(json_get_number(&fresh.json), 0.0);
    EXPECT_EQ(json_get_string(&fresh.json, nullptr)[0], '\0');
    EXPECT_EQ(fresh.all(), (events{A, T, AE, D}));
    EXPECT_STREQ(json_get_string(&fresh.json, &length), "");
    EXPECT_EQ(length, 0u);
}

TEST(JsonStrings, EscapesCodePointsAndUtf8)
{
    const std::pair<std::string, std::string> strings[] = {
        {R"("plain text")", "plain text"},
        {R"("")", ""},
        {R"("\\\b\f\n\r\t\/\"")", "\\\b\f\n\r\t/\""},
        {R"("\u00e9")", "\xC3\xA9"},
        {R"("\u0041\u007F\u0080\u07ff\u0800\uFFFF")", "A\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
        {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
        {R"("\udbff\udfff")", "\xF4\x8F\xBF\xBF"},
        {R"("\uD800\uDC00")", "\xF0\x90\x80\x80"},
        // An escaped zero stays inside the token.
        {R"("a\u0000b")", std::string("a\0b", 3)},
        {R"("\ud83dx")", "ERROR error: 1: invalid continuation for surrogate pair: 'x', expected '\\'"},
        {R"("\ud83d\x")", "ERROR error: 1: invalid continuation for surrogate pair: 'x', expected 'u'"},
        {R"("\ud83d\u0041")", "ERROR error: 1: invalid surrogate pair continuation \\u0041 out of range (dc00-dfff)"},
        {R"("\ude00")", "ERROR error: 1: dangling surrogate \\ude00"},
        {R"("\u00g0")", "ERROR error: 1: bad escape unicode byte, 'g'"},
        {R"("\q")", "ERROR error: 1: bad escaped byte, 'q'"},
        {R"("\u00)", "ERROR error: 1: unterminated string literal in unicode"},
        {R"("\ud83d)", "ERROR error: 1: unterminated string literal in unicode"},
        {R"("\ud83d\)", "ERROR error: 1: unterminated string literal in unicode"},
        {R"("abc\)", "ERROR error: 1: unterminated string literal in escape"},
        {R"("abc)", "ERROR error: 1: unterminated string literal"},
        {"\"a\nb\"", "ERROR error: 1: unescaped control character in string"},
        {"\"a\tb\"", "ERROR error: 1: unescaped control character in string"},
        {"\"a\x7f" "b\"", "a\x7f" "b"},
        // The byte 0xFF reads as the end of the data.
        {"\"a\xFF\"", "ERROR error: 1: unterminated string literal"},
        // A sequence cut short by the closing quote or the end of the data.
        {"\"\xE1\x80\"", "ERROR error: 1: No legal UTF8 found"},
        {"\"\xF0\x90", "ERROR error: 1: No legal UTF8 found"},
    };
    for (const auto &[text, expected] : strings)
        EXPECT_EQ(string_of(text), expected) << text;
    reader r(R"("\u00e9")");
    r.next();
    std::size_t length = 0;
    json_get_string(&r.json, &length);
    EXPECT_EQ(length, 3u) << "the length counts the NUL";

    // UTF-8 well-formedness at every boundary of each byte's range.
    for (const char *good : {"\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xE0\xBF\xBF", "\xE1\x80\x80", "\xEC\xBF\xBF",
                             "\xED\x80\x80", "\xED\x9F\xBF", "\xEE\x80\x80", "\xEF\xBF\xBF", "\xF0\x90\x80\x80",
                             "\xF0\xBF\xBF\xBF", "\xF1\x80\x80\x80", "\xF3\xBF\xBF\xBF", "\xF4\x80\x80\x80",
                             "\xF4\x8F\xBF\xBF"})
        EXPECT_EQ(string_of(std::string("\"") + good + "\""), good) << testing::PrintToString(std::string(good));
    for (const char *bad : {"\xC2\x7F", "\xC2\xC0", "\xE0\x9F\x80", "\xE0\xC0\x80", "\xE1\x7F\x80", "\xED\xA0\x80",
                            "\xED\xBF\xBF", "\xF0\x8F\xBF\xBF", "\xF0\xC0\x80\x80", "\xF4\x90\x80\x80",
                            "\xF4\x7F\x80\x80", "\xE1\x80\x7F", "\xE1\x80\xC0", "\xF1\x80\x80\x7F", "\xF1\x80\xC0\x80"})
        EXPECT_EQ(string_of(std::string("\"") + bad + "\""), "ERROR error: 1: No legal UTF8 found")
            << testing::PrintToString(std::string(bad));
    for (const char *lead : {"\x80", "\xBF", "\xC0\x80", "\xC1\xBF", "\xF5\x80\x80\x80", "\xF7", "\xFE"})
        EXPECT_EQ(string_of(std::string("\"") + lead + "\""), "ERROR error: 1: Bad character.")
            << testing::PrintToString(std::string(lead));
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
        reader error("#");
        EXPECT_EQ(json_peek(&error.json), JSON_ERROR);
        EXPECT_EQ(error.next(), JSON_ERROR);
    }
    {
        // Reset reads a further top-level value, also after an error.
        reader r("1 [2 3] 4");
        EXPECT_EQ(r.all(), (events{N, D}));
        json_reset(&r.json);
        EXPECT_EQ(r.all(), (events{A, N, E}));
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
        reader cut("[[1,2");
        EXPECT_EQ(cut.next(), JSON_ARRAY);
        EXPECT_EQ(json_skip(&cut.json), JSON_ERROR);
    }
    {
        // Outside streaming mode only whitespace may follow the value.
        reader r("5 \n"), s("5 x");
        json_set_streaming(&r.json, false);
        json_set_streaming(&s.json, false);
        EXPECT_EQ(r.all(), (events{N, D}));
        EXPECT_EQ(s.all(), (events{N, E}));
        EXPECT_EQ(json_get_error(&s.json), nullptr);
    }
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

TEST(JsonSources, FileAndCallerSources)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::tmpfile(), std::fclose);
    ASSERT_TRUE(file);
    std::fputs("{\"k\": [\"\xC3\xA9\", 2]}", file.get());
    std::rewind(file.get());
    json_stream json;
    json_open_stream(&json, file.get());
    events seen;
    for (json_type t = json_next(&json); t != JSON_DONE && t != JSON_ERROR; t = json_next(&json))
        seen.push_back(t);
    EXPECT_EQ(seen, (events{O, S, A, S, N, AE, OE}));
    json_close(&json);

    const char *cursor = "[\"\xFF\"]";
    auto get = [](void *c) -> int { auto *p = static_cast<const char **>(c); return **p ? static_cast<unsigned char>(*(*p)++) : -1; };
    auto peek = [](void *c) -> int { auto *p = static_cast<const char **>(c); return **p ? static_cast<unsigned char>(**p) : -1; };
    // Here 0xFF is a byte, and no valid lead byte.
    json_open_user(&json, get, peek, &cursor);
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
    const std::string long_text(1000, 'x');
    std::string text = "[";
    for (int i = 0; i < 200; ++i)
        text += "\"abc\"," + std::to_string(i) + ",";
    reader r(text + "\"" + long_text + "\"]");
    json_set_allocator(&r.json, &memory);
    std::size_t strings = 0;
    json_type t;
    while ((t = r.next()) != JSON_DONE && t != JSON_ERROR)
        strings += t == JSON_STRING;
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
    EXPECT_EQ(s.all(), (events{A, S, E}));
    EXPECT_EQ(s.error(), std::string("error: 1: ") + std::strerror(ENOMEM));
}

TEST(JsonRegression, TokenCutShortStillEndsInANul)
{
    // A number cut short (by a buffer that cannot grow, or by a bad byte
    // right where the buffer is full) used to be left without its NUL, and
    // json_get_number and json_get_string read past the buffer.
    counting_resource tight;
    tight.budget = 1;
    for (const std::string &number : {std::string(600, '1'), std::string(255, '1') + "ex"}) {
        json_stream json;
        json_open_string(&json, number.c_str());
        if (number.size() == 600)
            json_set_allocator(&json, &tight);
        EXPECT_EQ(json_next(&json), JSON_ERROR);
        std::size_t length = 0;
        const char *text = json_get_string(&json, &length);
        ASSERT_NE(json.data.bytes, std::nullopt);
        EXPECT_NE(std::memchr(text, '\0', json.data.bytes->size()), nullptr) << number.size();
        EXPECT_GT(json_get_number(&json), 1e254);
        json_close(&json);
    }
}

} // namespace

TEST(JsonWrite, QuotedTextIsAlwaysValidUtf8)
{
    // What JSON requires escaped, well-formed UTF-8 as it is, and every byte
    // that begins no well-formed sequence as the character of its value: a
    // report names local paths, which may hold any bytes.
    const struct {
        std::string text;
        std::string quoted;
    } rows[] = {
        {"backups/dali1.tar", "\"backups/dali1.tar\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"\r\n\t\x01\x1b\x7f", "\"\\r\\n\\t\\u0001\\u001B\\u007F\""},
        {"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x92\xa1", "\"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x92\xa1\""},
        {"\xc0\xaf", "\"\\u00C0\\u00AF\""},                   // overlong '/'
        {"\xe0\x80\xaf", "\"\\u00E0\\u0080\\u00AF\""},         // overlong in three bytes
        {"\xed\xa0\x80", "\"\\u00ED\\u00A0\\u0080\""},         // a surrogate
        {"\xf4\x90\x80\x80", "\"\\u00F4\\u0090\\u0080\\u0080\""}, // above U+10FFFF
        {"\xf8\x88\x80\x80\x80", "\"\\u00F8\\u0088\\u0080\\u0080\\u0080\""},
        {"x\xe2\x82", "\"x\\u00E2\\u0082\""},                  // cut short
        {std::string("nul\0here", 8), "\"nul\\u0000here\""},
    };
    for (const auto &row : rows)
        EXPECT_EQ(json_quote(row.text), row.quoted) << row.text;
}
