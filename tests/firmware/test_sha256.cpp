// The own SHA-256 against the FIPS 180-4 examples and against OpenSSL, on both
// block routines (the accelerated one runs where the processor has it).
#include "firmware/sha256.h"

#include "firmware_files.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using fwtest::bytes;
using fwtest::openssl_sha256;

const sha256_engine ENGINES[] = {sha256_engine::best, sha256_engine::portable};

// The digest of `size` bytes added in pieces: the first `first` bytes, then
// pieces of `piece` bytes (the rest at once when 0).
bytes digest_of(const std::uint8_t *data, std::size_t size, sha256_engine engine, std::size_t first = 0,
                std::size_t piece = 0)
{
    sha256_ctx ctx;
    sha256_init(&ctx, engine);
    sha256_update(&ctx, data, first);
    for (std::size_t at = first; at < size; at += piece ? piece : size)
        sha256_update(&ctx, data + at, std::min(piece ? piece : size, size - at));
    sha256_update(&ctx, nullptr, 0);
    bytes digest(SHA256_DIGEST_SIZE);
    sha256_final(&ctx, digest.data());
    return digest;
}

std::string hex_digest(const std::string &text, sha256_engine engine, std::size_t piece = 0)
{
    return fwtest::to_hex(digest_of(reinterpret_cast<const std::uint8_t *>(text.data()), text.size(), engine, 0, piece));
}

bytes random_bytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    bytes data(size);
    for (auto &b : data)
        b = static_cast<std::uint8_t>(generator());
    return data;
}

TEST(Sha256, FipsExamples)
{
    for (sha256_engine engine : ENGINES) {
        SCOPED_TRACE(engine == sha256_engine::best ? "best" : "portable");
        EXPECT_EQ(hex_digest("abc", engine), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        EXPECT_EQ(hex_digest("", engine), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        EXPECT_EQ(hex_digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", engine),
                  "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
        EXPECT_EQ(hex_digest("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmn"
                             "opqrlmnopqrsmnopqrstnopqrstu",
                             engine),
                  "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
        // One million times 'a', added in uneven pieces.
        EXPECT_EQ(hex_digest(std::string(1000000, 'a'), engine, 997),
                  "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    }
}

TEST(Sha256, AgreesWithOpenSslOnEveryLengthUpTo300And16MiB)
{
    for (sha256_engine engine : ENGINES) {
        SCOPED_TRACE(engine == sha256_engine::best ? "best" : "portable");
        for (std::size_t size = 0; size <= 300; ++size) {
            const bytes data = random_bytes(size, static_cast<unsigned>(size));
            const bytes expected = openssl_sha256(data);
            // At once, split in two at every 7th position, and byte by byte.
            for (std::size_t split = 0; split <= size; split += 7)
                ASSERT_EQ(digest_of(data.data(), size, engine, split), expected) << size << " split at " << split;
            ASSERT_EQ(digest_of(data.data(), size, engine, 0, 1), expected) << size << " byte by byte";
        }
        // 16 MiB from an unaligned start, whole and in 4093-byte pieces.
        const bytes big = random_bytes((16u << 20) + 1, 99);
        const bytes expected = openssl_sha256(big.data() + 1, big.size() - 1);
        EXPECT_EQ(digest_of(big.data() + 1, big.size() - 1, engine), expected);
        EXPECT_EQ(digest_of(big.data() + 1, big.size() - 1, engine, 0, 4093), expected);
    }
}

} // namespace
