// SHA-256 (FIPS 180-4) with a start, add and finish interface. Uses the x86
// SHA instructions when the processor has them, portable code otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t SHA256_DIGEST_SIZE = 32;
constexpr std::size_t SHA256_BLOCK_SIZE = 64;

// Which block routine a context runs: the fastest one this processor offers,
// or the portable one whatever the processor (tests compare the two).
enum class sha256_engine { best, portable };

struct sha256_ctx {
    std::uint32_t state[8];
    std::uint64_t length;                    // bytes added so far
    std::uint8_t block[SHA256_BLOCK_SIZE];   // the incomplete block
    std::size_t used;                        // bytes waiting in `block`
    bool accelerated;                        // blocks go to the SHA instructions
};

void sha256_init(sha256_ctx *ctx, sha256_engine engine = sha256_engine::best);
// Adds `size` bytes; `data` may be null when `size` is 0.
void sha256_update(sha256_ctx *ctx, const void *data, std::size_t size);
// Writes the 32-byte digest. The context must be started again before reuse.
void sha256_final(sha256_ctx *ctx, std::uint8_t digest[SHA256_DIGEST_SIZE]);

// True when this processor has the SHA instructions (with SSSE3 and SSE4.1).
bool sha256_accelerated_available();
