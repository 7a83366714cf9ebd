// Throughput of the JSON reader over a 1 MiB document of objects, strings and
// numbers, beside two plain scans of the same bytes as the reference.
#include "json/json.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

namespace {

// About 1 MiB: an array of device-like objects.
const std::string &document()
{
    static const std::string text = [] {
        std::string t = "[";
        for (int i = 0; t.size() < (1u << 20) - 200; ++i) {
            if (i)
                t += ",\n";
            t += "{\"name\": \"Luminaire " + std::to_string(i) + " hall \\u00e9ast\", \"address\": " +
                 std::to_string(i % 64) + ", \"level\": " + std::to_string(i % 254) + ".5, \"groups\": [" +
                 std::to_string(i % 16) + ", " + std::to_string((i + 3) % 16) +
                 "], \"fade\": 1.5e-2, \"enabled\": true, \"scene\": null}";
        }
        t += "]";
        return t;
    }();
    return text;
}

void BM_json_read(benchmark::State &state)
{
    const std::string &text = document();
    std::size_t events = 0;
    for (auto _ : state) {
        json_stream json;
        json_open_buffer(&json, text.data(), text.size());
        json_type t;
        while ((t = json_next(&json)) != JSON_DONE && t != JSON_ERROR)
            ++events;
        if (t == JSON_ERROR)
            state.SkipWithError("the document did not read");
        json_close(&json);
    }
    benchmark::DoNotOptimize(events);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_json_read);

// Reference 1: memchr over every quote of the buffer.
void BM_reference_memchr(benchmark::State &state)
{
    const std::string &text = document();
    for (auto _ : state) {
        std::size_t quotes = 0;
        const char *p = text.data();
        const char *end = p + text.size();
        while ((p = static_cast<const char *>(std::memchr(p, '"', static_cast<std::size_t>(end - p)))) != nullptr) {
            ++quotes;
            ++p;
        }
        benchmark::DoNotOptimize(quotes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_reference_memchr);

// Reference 2: a byte loop that classifies every byte (the least a reader must do).
void BM_reference_byte_loop(benchmark::State &state)
{
    const std::string &text = document();
    for (auto _ : state) {
        std::size_t structural = 0;
        for (char c : text) {
            benchmark::DoNotOptimize(c);
            structural += (c == '{' || c == '}' || c == '[' || c == ']' || c == ',' || c == ':');
        }
        benchmark::DoNotOptimize(structural);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_reference_byte_loop);

} // namespace
