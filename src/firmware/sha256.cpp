#include "firmware/sha256.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define MERVO_SHA256_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

alignas(16) constexpr std::uint32_t round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t initial_state[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

inline std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline std::uint32_t load_be32(const std::uint8_t *p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// Compresses `count` whole blocks into `state`, one 64-round pass each.
void blocks_portable(std::uint32_t state[8], const std::uint8_t *data, std::size_t count)
{
    std::uint32_t w[64];
    for (; count > 0; --count, data += SHA256_BLOCK_SIZE) {
        for (int t = 0; t < 16; ++t)
            w[t] = load_be32(data + 4 * t);
        for (int t = 16; t < 64; ++t) {
            std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
            std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                               round_constants[t] + w[t];
            std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#ifdef MERVO_SHA256_X86

// The SHA instructions keep the working variables in two registers, ABEF and
// CDGH; each sha256rnds2 does two rounds, so four message words (one group)
// take two of them. Groups 4 to 15 of the schedule come from the four before
// with sha256msg1/sha256msg2.
__attribute__((target("sha,sse4.1"))) void blocks_sha_ni(std::uint32_t state[8], const std::uint8_t *data,
                                                          std::size_t count)
{
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);

    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i *>(&state[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i *>(&state[4]));
    __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; count > 0; --count, data += SHA256_BLOCK_SIZE) {
        const __m128i abef_start = abef;
        const __m128i cdgh_start = cdgh;
        __m128i group[4];

#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            __m128i words;
            if (g < 4) {
                words = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 16 * g)), byte_swap);
            } else {
                __m128i w16 = _mm_sha256msg1_epu32(group[g & 3], group[(g + 1) & 3]);
                __m128i w7 = _mm_alignr_epi8(group[(g + 3) & 3], group[(g + 2) & 3], 4);
                words = _mm_sha256msg2_epu32(_mm_add_epi32(w16, w7), group[(g + 3) & 3]);
            }
            group[g & 3] = words;
            __m128i k = _mm_add_epi32(words,
                                      _mm_load_si128(reinterpret_cast<const __m128i *>(&round_constants[4 * g])));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, k);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(k, 0x0E));
        }

        abef = _mm_add_epi32(abef, abef_start);
        cdgh = _mm_add_epi32(cdgh, cdgh_start);
    }

    __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(&state[0]), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(&state[4]), hgfe);
}

bool detect_sha_ni()
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return false;
    const bool ssse3 = ecx & bit_SSSE3;
    const bool sse41 = ecx & bit_SSE4_1;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return false;
    const bool sha = ebx & bit_SHA;
    return ssse3 && sse41 && sha;
}

#endif

void run_blocks(sha256_ctx *ctx, const std::uint8_t *data, std::size_t count)
{
#ifdef MERVO_SHA256_X86
    if (ctx->accelerated) {
        blocks_sha_ni(ctx->state, data, count);
        return;
    }
#endif
    blocks_portable(ctx->state, data, count);
}

} // namespace

bool sha256_accelerated_available()
{
#ifdef MERVO_SHA256_X86
    static const bool available = detect_sha_ni();
    return available;
#else
    return false;
#endif
}

void sha256_init(sha256_ctx *ctx, sha256_engine engine)
{
    std::memcpy(ctx->state, initial_state, sizeof ctx->state);
    ctx->length = 0;
    ctx->used = 0;
    ctx->accelerated = engine == sha256_engine::best && sha256_accelerated_available();
}

void sha256_update(sha256_ctx *ctx, const void *data, std::size_t size)
{
    if (size == 0)
        return;
    auto bytes = static_cast<const std::uint8_t *>(data);
    ctx->length += size;

    if (ctx->used > 0) {
        std::size_t take = SHA256_BLOCK_SIZE - ctx->used;
        if (take > size)
            take = size;
        std::memcpy(ctx->block + ctx->used, bytes, take);
        ctx->used += take;
        bytes += take;
        size -= take;
        if (ctx->used < SHA256_BLOCK_SIZE)
            return;
        run_blocks(ctx, ctx->block, 1);
        ctx->used = 0;
    }

    std::size_t whole = size / SHA256_BLOCK_SIZE;
    if (whole > 0) {
        run_blocks(ctx, bytes, whole);
        bytes += whole * SHA256_BLOCK_SIZE;
        size -= whole * SHA256_BLOCK_SIZE;
    }
    if (size > 0) {
        std::memcpy(ctx->block, bytes, size);
        ctx->used = size;
    }
}

void sha256_final(sha256_ctx *ctx, std::uint8_t digest[SHA256_DIGEST_SIZE])
{
    const std::uint64_t bits = ctx->length * 8;
    // The padding: a one bit, zeros up to 56 bytes into a block, the bit length.
    ctx->block[ctx->used++] = 0x80;
    if (ctx->used > SHA256_BLOCK_SIZE - 8) {
        std::memset(ctx->block + ctx->used, 0, SHA256_BLOCK_SIZE - ctx->used);
        run_blocks(ctx, ctx->block, 1);
        ctx->used = 0;
    }
    std::memset(ctx->block + ctx->used, 0, SHA256_BLOCK_SIZE - 8 - ctx->used);
    for (int i = 0; i < 8; ++i)
        ctx->block[SHA256_BLOCK_SIZE - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    run_blocks(ctx, ctx->block, 1);

    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = static_cast<std::uint8_t>(ctx->state[i] >> 24);
        digest[4 * i + 1] = static_cast<std::uint8_t>(ctx->state[i] >> 16);
        digest[4 * i + 2] = static_cast<std::uint8_t>(ctx->state[i] >> 8);
        digest[4 * i + 3] = static_cast<std::uint8_t>(ctx->state[i]);
    }
    ctx->used = 0;
}
