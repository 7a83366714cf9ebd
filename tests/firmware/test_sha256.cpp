// The own SHA-256 against the FIPS 180-4 examples and against OpenSSL, on both
// block routines.
#include "firmware/sha256.h"

#include "firmware_files.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using fwtest::bytes;

const sha256_engine engines[] = {sha256_engine::best, sha256_engine::portable};

std::string engine_name(sha256_engine engine) { return engine == sha256_engine::best ? "best" : "portable"; }

bytes digest_of(const void *data, std::size_t size, sha256_engine engine)
{
    sha256_ctx ctx;
    sha256_init(&ctx, engine);
    sha256_update(&ctx, data, size);
    bytes digest(SHA256_DIGEST_SIZE);
    sha256_final(&ctx, digest.data());
    return digest;
}

std::string hex_digest(const std::string &text, sha256_engine engine)
{
    return fwtest::to_hex(digest_of(text.data(), text.size(), engine));
}

bytes random_bytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    bytes data(size);
    for (auto &b : data)
        b = static_cast<std::uint8_t>(generator());
    return data;
}

TEST(Sha256, EngineSelection)
{
    sha256_ctx ctx;
    sha256_init(&ctx, sha256_engine::portable);
    EXPECT_FALSE(ctx.accelerated);
    sha256_init(&ctx, sha256_engine::best);
    EXPECT_EQ(ctx.accelerated, sha256_accelerated_available());
    if (!sha256_accelerated_available())
        GTEST_LOG_(INFO) << "this processor has no SHA instructions: both runs use the portable routine";
}

TEST(Sha256, FipsExamples)
{
    const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::string long_message = "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmn"
                                     "opqrlmnopqrsmnopqrstnopqrstu";
    for (sha256_engine engine : engines) {
        SCOPED_TRACE(engine_name(engine));
        EXPECT_EQ(hex_digest("abc", engine), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        EXPECT_EQ(hex_digest("", engine), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        EXPECT_EQ(hex_digest(two_blocks, engine), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
        EXPECT_EQ(hex_digest(long_message, engine), "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");

        // One million times 'a', added in uneven pieces.
        sha256_ctx ctx;
        sha256_init(&ctx, engine);
        const std::string piece(997, 'a');
        std::size_t left = 1000000;
        while (left > 0) {
            std::size_t n = left < piece.size() ? left : piece.size();
            sha256_update(&ctx, piece.data(), n);
            left -= n;
        }
        bytes digest(32);
        sha256_final(&ctx, digest.data());
        EXPECT_EQ(fwtest::to_hex(digest), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    }
}

TEST(Sha256, AgreesWithOpenSslOnEveryLengthUpTo300)
{
    for (sha256_engine engine : engines) {
        SCOPED_TRACE(engine_name(engine));
        for (std::size_t size = 0; size <= 300; ++size) {
            bytes data = random_bytes(size, static_cast<unsigned>(size));
            ASSERT_EQ(digest_of(data.data(), size, engine), fwtest::openssl_sha256(data)) << "length " << size;

            // The same bytes added in two parts split at every 7th position,
            // and byte by byte for the short ones.
            for (std::size_t split = 0; split <= size; split += 7) {
                sha256_ctx ctx;
                sha256_init(&ctx, engine);
                sha256_update(&ctx, data.data(), split);
                sha256_update(&ctx, data.data() + split, size - split);
                bytes digest(32);
                sha256_final(&ctx, digest.data());
                ASSERT_EQ(digest, fwtest::openssl_sha256(data)) << "length " << size << " split " << split;
            }
            if (size <= 130) {
                sha256_ctx ctx;
                sha256_init(&ctx, engine);
                for (std::uint8_t b : data)
                    sha256_update(&ctx, &b, 1);
                sha256_update(&ctx, nullptr, 0);
                bytes digest(32);
                sha256_final(&ctx, digest.data());
                ASSERT_EQ(digest, fwtest::openssl_sha256(data)) << "length " << size << " byte by byte";
            }
        }
    }
}

TEST(Sha256, AgreesWithOpenSslOn16MiB)
{
    const bytes data = random_bytes(16u << 20, 99);
    const bytes expected = fwtest::openssl_sha256(data);
    for (sha256_engine engine : engines) {
        SCOPED_TRACE(engine_name(engine));
        EXPECT_EQ(digest_of(data.data(), data.size(), engine), expected);
        // From an unaligned start, in 4093-byte pieces.
        sha256_ctx ctx;
        sha256_init(&ctx, engine);
        for (std::size_t at = 1; at < data.size(); at += 4093)
            sha256_update(&ctx, data.data() + at, std::min<std::size_t>(4093, data.size() - at));
        bytes digest(32);
        sha256_final(&ctx, digest.data());
        EXPECT_EQ(digest, fwtest::openssl_sha256(data.data() + 1, data.size() - 1));
    }
}

} // namespace
