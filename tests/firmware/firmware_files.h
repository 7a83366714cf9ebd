// Firmware images and packages made at test time: images with an information
// block, packages built entry by entry with the 7-Zip command, digests by
// OpenSSL.
#pragma once

#include "firmware/package.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace fwtest {

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t INFO_OFFSET = 1835008;
inline constexpr std::size_t IMAGE_MIN = 1835192;
inline constexpr std::size_t IMAGE_MAX = 16777214;

// One argument for /bin/sh, in single quotes.
inline std::string quote(const std::string &text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

inline int run(const std::string &command) { return std::system(command.c_str()); }

inline std::string run_output(const std::string &command)
{
    struct closer {
        void operator()(std::FILE *f) const { pclose(f); }
    };
    std::unique_ptr<std::FILE, closer> pipe(popen(command.c_str(), "r"));
    std::string out;
    if (!pipe)
        return out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0)
        out.append(buffer, n);
    return out;
}

struct temp_dir {
    fs::path path;
    temp_dir()
    {
        std::string pattern = (fs::temp_directory_path() / "mervo-fw-XXXXXX").string();
        if (mkdtemp(pattern.data()))
            path = pattern;
    }
    ~temp_dir()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    fs::path operator/(const std::string &name) const { return path / name; }
};

inline void write_file(const fs::path &path, const bytes &content)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(content.data()), static_cast<std::streamsize>(content.size()));
}

inline void write_file(const fs::path &path, const std::string &content)
{
    write_file(path, bytes(content.begin(), content.end()));
}

inline bytes read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct image_fields {
    std::string model_name = "VESTRA-4";
    std::string model_description = "DALI gateway, 4 lines";
    std::string version_string = "1.4.2";
    std::uint32_t version_number = 0x00010402;
    std::string version_date = "2024-03-18";
    std::string version_time = "14:02:11";
};

// Copies `text` into a 33-byte field: at most 33 bytes, the rest zero.
inline void put_field(bytes &image, std::size_t at, const std::string &text)
{
    for (std::size_t i = 0; i < 33; ++i)
        image[at + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0;
}

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
    if (size >= IMAGE_MIN) {
        const std::size_t b = INFO_OFFSET;
        for (std::size_t i = 0; i < 12; ++i)
            image[b + i] = static_cast<std::uint8_t>(0xA0 + i);
        put_field(image, b + 12, fields.model_name);
        put_field(image, b + 45, fields.model_description);
        put_field(image, b + 78, fields.version_string);
        image[b + 111] = 0xEE;
        for (int i = 0; i < 4; ++i)
            image[b + 112 + i] = static_cast<std::uint8_t>(fields.version_number >> (8 * i));
        put_field(image, b + 116, fields.version_date);
        put_field(image, b + 149, fields.version_time);
        image[b + 182] = 0xEE;
        image[b + 183] = 0xEE;
    }
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
inline std::string seven_zip()
{
    static const std::string command = run("command -v 7zz >/dev/null 2>&1") == 0 ? "7zz" : "7z";
    return command;
}

// One entry of a package: how 7-Zip encrypts ("AES256", "AES192", "AES128",
// "ZipCrypto", or "" for none) and compresses it.
struct member {
    std::string name;
    bytes content;
    std::string encryption = "AES256";
    std::string method = "Copy";
    std::string password = firmware_package_password;
};

inline bytes text_bytes(const std::string &text) { return bytes(text.begin(), text.end()); }

// Adds the members to `archive` one by one, each with its own options, in
// this order.
inline void make_package(const fs::path &archive, const std::vector<member> &members)
{
    const fs::path stage = archive.parent_path() / ("stage-" + archive.filename().string());
    for (const member &m : members) {
        fs::remove_all(stage);
        write_file(stage / m.name, m.content);
        std::string command = "cd " + quote(stage.string()) + " && " + seven_zip() + " a -tzip -bd -y -mx=1 -mm=" + m.method;
        if (!m.encryption.empty())
            command += " -mem=" + m.encryption + " -p" + quote(m.password);
        command += " " + quote(archive.string()) + " " + quote(m.name) + " >/dev/null";
        ASSERT_EQ(run(command), 0) << command;
    }
    fs::remove_all(stage);
}

// A well-formed package of `image` whose digest entry holds its SHA-256.
inline void make_standard_package(const fs::path &archive, const bytes &image, const std::string &method = "Copy")
{
    make_package(archive, {{"mervo.bh", text_bytes(to_hex(openssl_sha256(image))), "AES256", method},
                           {"mervo.binary", image, "AES256", method}});
}

// The "Method = " lines of 7-Zip's technical listing, one per entry.
inline std::string entry_methods(const fs::path &archive)
{
    std::string listing = run_output(seven_zip() + " l -slt " + quote(archive.string()));
    std::string methods;
    std::size_t at = 0;
    while ((at = listing.find("\nMethod = ", at)) != std::string::npos) {
        at += 10;
        methods += listing.substr(at, listing.find('\n', at) - at) + ";";
    }
    return methods;
}

// Renames entries by overwriting every occurrence of `from` in the archive's
// bytes with `to` (same length): the names in the local and central headers.
// Names are not covered by the encryption, so the entries stay readable.
inline void rename_entries(const fs::path &archive, const std::string &from, const std::string &to)
{
    ASSERT_EQ(from.size(), to.size());
    bytes data = read_file(archive);
    std::string text(data.begin(), data.end());
    std::size_t at = 0;
    int count = 0;
    while ((at = text.find(from, at)) != std::string::npos) {
        text.replace(at, from.size(), to);
        at += to.size();
        ++count;
    }
    ASSERT_EQ(count, 2) << "expected the local and the central name of one entry";
    write_file(archive, text);
}

} // namespace fwtest
