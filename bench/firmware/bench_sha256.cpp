// Throughput of the own SHA-256 (both block routines) against OpenSSL's EVP
// SHA-256 over one 16 MiB buffer, the size of the largest firmware image.
#include "firmware/sha256.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

const std::vector<std::uint8_t> &image()
{
    static const std::vector<std::uint8_t> data = [] {
        std::vector<std::uint8_t> d(16u << 20);
        std::mt19937 generator(7);
        for (auto &b : d)
            b = static_cast<std::uint8_t>(generator());
        return d;
    }();
    return data;
}

void own(benchmark::State &state, sha256_engine engine)
{
    const auto &data = image();
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    for (auto _ : state) {
        sha256_ctx ctx;
        sha256_init(&ctx, engine);
        sha256_update(&ctx, data.data(), data.size());
        sha256_final(&ctx, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void BM_own_sha256(benchmark::State &state) { own(state, sha256_engine::best); }
void BM_own_sha256_portable(benchmark::State &state) { own(state, sha256_engine::portable); }

void BM_openssl_sha256(benchmark::State &state)
{
    const auto &data = image();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    for (auto _ : state) {
        EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

} // namespace

BENCHMARK(BM_openssl_sha256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_own_sha256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_own_sha256_portable)->Unit(benchmark::kMillisecond);
