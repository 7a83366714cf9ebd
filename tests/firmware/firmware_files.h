// Firmware images and packages made at test time: images with an information
// block, packages built entry by entry with the 7-Zip command, digests by
// OpenSSL.
#pragma once

#include "firmware/package.h"

#include "expect.h" // text_bytes
#include "files.h"
#include "run.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace fwtest {

using bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t INFO_OFFSET = 1835008;
inline constexpr std::size_t IMAGE_MIN = 1835192;
inline constexpr std::size_t IMAGE_MAX = 16777214;

struct image_fields {
    std::string model_name = "VESTRA-4";
    std::string model_description = "DALI gateway, 4 lines";
    std::string version_string = "1.4.2";
    std::uint32_t version_number = 0x00010402;
    std::string version_date = "2024-03-18";
    std::string version_time = "14:02:11";
};

// An image of `size` bytes: compressible filler that differs by seed, and the
// information block at its fixed place when the image is long enough.
inline bytes make_image(std::size_t size, const image_fields &fields = {}, std::uint32_t seed = 1)
{
    static const char words[] = "lamp ballast group scene fade level dali line gateway ";
    bytes image(size);
    std::uint32_t state = seed * 2654435761u + 12345u;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        image[i] = (state >> 29) == 0 ? static_cast<std::uint8_t>(state >> 16)
                                      : static_cast<std::uint8_t>(words[(i + (state >> 30)) % (sizeof words - 1)]);
    }
    if (size < IMAGE_MIN)
        return image;
    // 33-byte text fields: at most 33 bytes, the rest zero.
    const auto put = [&](std::size_t at, const std::string &text) {
        for (std::size_t i = 0; i < 33; ++i)
            image[INFO_OFFSET + at + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0;
    };
    for (std::size_t i = 0; i < 12; ++i)
        image[INFO_OFFSET + i] = static_cast<std::uint8_t>(0xA0 + i);
    put(12, fields.model_name);
    put(45, fields.model_description);
    put(78, fields.version_string);
    image[INFO_OFFSET + 111] = 0xEE;
    for (int i = 0; i < 4; ++i)
        image[INFO_OFFSET + 112 + i] = static_cast<std::uint8_t>(fields.version_number >> (8 * i));
    put(116, fields.version_date);
    put(149, fields.version_time);
    image[INFO_OFFSET + 182] = 0xEE;
    image[INFO_OFFSET + 183] = 0xEE;
    return image;
}

// The information printout of an image made from `fields`.
inline std::string info_printout(const image_fields &fields = {})
{
    return "\r\n== Firmware Info ==\r\n"
           "model_name=" + fields.model_name.substr(0, 33) + "\r\n"
           "model_description=" + fields.model_description.substr(0, 33) + "\r\n"
           "version_string=" + fields.version_string.substr(0, 33) + "\r\n"
           "version_number=" + std::to_string(fields.version_number) + "\r\n"
           "version_date=" + fields.version_date.substr(0, 33) + "\r\n"
           "version_time=" + fields.version_time.substr(0, 33) + "\r\n"
           "== ==\r\n\r\n";
}

inline bytes openssl_sha256(const std::uint8_t *data, std::size_t size)
{
    bytes digest(32);
    unsigned int length = 0;
    EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

inline bytes openssl_sha256(const bytes &data) { return openssl_sha256(data.data(), data.size()); }

inline std::string to_hex(const bytes &data, bool upper = false)
{
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : data) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// The 7-Zip command of this machine.
inline const std::string &seven_zip()
{
    static const std::string command = run_program("sh", {"-c", "command -v 7zz"}).status == 0 ? "7zz" : "7z";
    return command;
}

// One entry of a package: how 7-Zip encrypts ("AES256", "AES192", "AES128",
// "ZipCrypto", or "" for none) and compresses it ("Copy", "Deflate", ... and
// further switches after a blank, e.g. "LZMA -meos=off").
struct member {
    std::string name;
    bytes content;
    std::string encryption = "AES256";
    std::string method = "Copy";
    std::string password = firmware_package_password;
};

// Adds the members to the package at the absolute path `archive`, one by one,
// each with its own options, in this order.
inline void make_package(const std::string &archive, const std::vector<member> &members)
{
    for (const member &m : members) {
        temp_dir stage;
        std::filesystem::create_directories(std::filesystem::path(stage.file(m.name)).parent_path());
        ASSERT_TRUE(write_file(stage.file(m.name), m.content));
        std::vector<std::string> args = {"a", "-tzip", "-bd", "-y", "-mx=1"};
        std::istringstream method(m.method);
        for (std::string word, prefix = "-mm="; method >> word; prefix.clear())
            args.push_back(prefix + word);
        if (!m.encryption.empty())
            args.insert(args.end(), {"-mem=" + m.encryption, "-p" + m.password});
        args.insert(args.end(), {archive, m.name});
        const run_result made = run_program(seven_zip(), args, run_options().in(stage.path()));
        ASSERT_EQ(made.status, 0) << made.out << made.err;
    }
}

// A well-formed package of `image` whose digest entry holds its SHA-256.
inline void make_standard_package(const std::string &archive, const bytes &image, const std::string &method = "Copy")
{
    make_package(archive, {{"mervo.bh", text_bytes(to_hex(openssl_sha256(image))), "AES256", method},
                           {"mervo.binary", image, "AES256", method}});
}

// The entry names of a package in archive order, by zipinfo.
inline std::string entry_names(const std::string &archive) { return run_program("zipinfo", {"-1", archive}).out; }

// The "Method = " values of 7-Zip's technical listing, one per entry.
inline std::string entry_methods(const std::string &archive)
{
    const std::string listing = run_program(seven_zip(), {"l", "-slt", archive}).out;
    std::string methods;
    for (std::size_t at = 0; (at = listing.find("\nMethod = ", at)) != std::string::npos;) {
        at += 10;
        methods += listing.substr(at, listing.find('\n', at) - at) + ";";
    }
    return methods;
}

// Renames entries by overwriting every occurrence of `from` in the archive's
// bytes with `to` (same length): the names in the local and central headers.
// Names are not covered by the encryption, so the entries stay readable.
inline void rename_entries(const std::string &archive, const std::string &from, const std::string &to)
{
    ASSERT_EQ(from.size(), to.size());
    std::string text = read_text(archive).value_or("");
    int count = 0;
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size(), ++count)
        text.replace(at, from.size(), to);
    ASSERT_EQ(count, 2) << "expected the local and the central name of one entry";
    ASSERT_TRUE(write_file(archive, text));
}

} // namespace fwtest
