// The own SHA-256 against the FIPS 180-4 examples and against OpenSSL, on both
// block routines (the accelerated one runs where the processor has it).
#include "firmware/sha256.h"

#include "base/hex.h"
#include "openssl_digest.h"

#include <random>

namespace {

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
    // Eight guard bytes after the digest: nothing is written past its 32.
    bytes digest(SHA256_DIGEST_SIZE + 8, 0xa5);
    sha256_final(&ctx, digest.data());
    EXPECT_EQ(bytes(digest.begin() + SHA256_DIGEST_SIZE, digest.end()), bytes(8, 0xa5));
    digest.resize(SHA256_DIGEST_SIZE);
    return digest;
}

bytes random_bytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    bytes data(size);
    for (auto &b : data)
        b = static_cast<std::uint8_t>(generator());
    return data;
}

TEST(Sha256, FipsExamplesAndOpenSslOnEveryLengthUpTo300And16MiB)
{
    const struct {
        std::string text;
        const char *digest;
    } examples[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (sha256_engine engine : {sha256_engine::best, sha256_engine::portable}) {
        SCOPED_TRACE(engine == sha256_engine::best ? "best" : "portable");
        for (const auto &e : examples) // the million in uneven pieces
            EXPECT_EQ(digest_of(reinterpret_cast<const std::uint8_t *>(e.text.data()), e.text.size(), engine, 0, 997),
                      hex_decode(e.digest));
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
