#include "firmware/package.h"

#include "firmware/package_entry.h"

#include "base/diag.h"
#include "base/hex.h"
#include "base/limits.h"
#include "base/system.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace {

constexpr std::size_t digest_text_length = 64;
constexpr std::size_t file_chunk = 64 * 1024;

struct zip_discarder {
    void operator()(zip_t *archive) const { zip_discard(archive); }
};
using zip_ptr = std::unique_ptr<zip_t, zip_discarder>;

enum class file_result { ok, unreadable, too_large, no_memory };

// Reads the file at `path` whole into `out`, reserving its size up front when
// it is known. A file that cannot be opened or read leaves `out` empty.
file_result read_whole_file(const char *path, std::uint64_t limit, std::vector<std::uint8_t> &out)
{
    out.clear();
    int error = 0;
    file_ptr file(file_open(path, "rb", &error));
    if (!file) {
        // A file that another program holds without sharing it (Windows) is
        // named with the reason; the file itself may be fine.
        if (error == FILE_IN_USE)
            diag("%s: %s", path, error_text(error));
        return file_result::unreadable;
    }
    try {
        if (const std::optional<std::uint64_t> size = file_size(file.get()); size && *size > 0) {
            if (*size > limit)
                return file_result::too_large;
            out.reserve(static_cast<std::size_t>(*size));
        }
        // Read into the reserved room; grow (geometrically) only when a byte
        // past it shows that the file goes on.
        out.resize(out.capacity());
        std::size_t used = 0;
        for (;;) {
            if (used < out.size()) {
                used += std::fread(out.data() + used, 1, out.size() - used, file.get());
                if (used > limit) {
                    out = {};
                    return file_result::too_large;
                }
                if (used < out.size())
                    break; // end of file, or a read error
                continue;
            }
            int next = std::fgetc(file.get());
            if (next == EOF)
                break;
            if (used + 1 > limit) {
                out = {};
                return file_result::too_large;
            }
            out.resize(used + std::max(file_chunk, used));
            out[used++] = static_cast<std::uint8_t>(next);
        }
        if (std::ferror(file.get())) {
            out = {};
            return file_result::unreadable;
        }
        out.resize(used);
    } catch (const std::bad_alloc &) {
        out = {};
        return file_result::no_memory;
    }
    return file_result::ok;
}

void store_image(file_data *file, std::vector<std::uint8_t> &&bytes)
{
    file->storage = std::move(bytes);
    file->length = static_cast<std::uint32_t>(file->storage.size());
    file->data = file->storage.empty() ? nullptr : file->storage.data();
}

// Index of the first entry whose whole name is exactly `name`, or -1.
zip_int64_t locate_entry(zip_t *archive, const char *name)
{
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const char *entry_name = zip_get_name(archive, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
        if (entry_name && std::strcmp(entry_name, name) == 0)
            return i;
    }
    return -1;
}

// Entry information with the members the checks below read; false when
// libzip cannot give them.
bool entry_info(zip_t *archive, zip_int64_t index, zip_stat_t &info)
{
    constexpr zip_uint64_t needed =
        ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
    zip_stat_init(&info);
    return zip_stat_index(archive, static_cast<zip_uint64_t>(index), 0, &info) == 0 &&
           (info.valid & needed) == needed;
}

int fail(const char *message, int result)
{
    std::puts(message);
    return result;
}

// A file too large to be a firmware file is refused before it is read or
// unpacked; on the console it reads like any image of the wrong size.
int too_large(const char *path, const char *what, std::uint64_t limit)
{
    diag("%s: %s %llu bytes; no firmware image is that large", path, what, static_cast<unsigned long long>(limit));
    return FIRMWARE_TOO_LARGE;
}

// The two entries of a package and what is printed and returned when one of
// them is missing, undescribed, not AES-256, or refuses the password.
struct package_entry {
    const char *name;
    const char *missing;
    int missing_result;
    const char *no_info;
    const char *not_aes;
    const char *no_password;
    int no_password_result;
};
constexpr package_entry digest_entry = {"mervo.bh", "File format is invalid (bh).", -8,
                                        "File format is invalid (ppbh).", "File format is invalid (ppfbh).",
                                        "File format is invalid (pbh).", -11};
constexpr package_entry image_entry = {"mervo.binary", "File format is invalid (binary).", -4,
                                       "File format is invalid (ppb).", "File format is invalid (ppfb).",
                                       "File format is invalid (pbh).", -12};

// Locates the entry and checks its information; 0, or the failure result
// after its message.
int find_entry(zip_t *archive, const package_entry &entry, zip_int64_t &index, zip_stat_t &info)
{
    index = locate_entry(archive, entry.name);
    if (index < 0)
        return fail(entry.missing, entry.missing_result);
    if (!entry_info(archive, index, info))
        return fail(entry.no_info, -13);
    if (info.encryption_method != ZIP_EM_AES_256)
        return fail(entry.not_aes, -15);
    return 0;
}

} // namespace

int firmware_package_read(file_data *file, std::optional<std::vector<std::uint8_t>> *stored_digest)
{
    std::puts("Preparing file...");
    if (!file || !stored_digest)
        return fail("Parameters error.", -10);

    // The package's bytes live only while the archive is read.
    std::vector<std::uint8_t> package;
    switch (read_whole_file(file->path, FIRMWARE_PACKAGE_MAX, package)) {
    case file_result::no_memory:
        return fail("memory error", -2);
    case file_result::too_large:
        return too_large(file->path, "the package is larger than", FIRMWARE_PACKAGE_MAX);
    default:
        break;
    }

    // An empty file (or one that could not be read) is no archive; libzip
    // would take it for a new, empty one.
    if (package.empty())
        return fail("File format is invalid (open).", -9);
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *source = zip_source_buffer_create(package.data(), package.size(), 0, &error);
    zip_error_fini(&error);
    if (!source)
        return fail("File format is invalid (open).", -9);
    zip_error_init(&error);
    zip_ptr archive(zip_open_from_source(source, ZIP_RDONLY, &error));
    zip_error_fini(&error);
    if (!archive) {
        zip_source_free(source);
        return fail("File format is invalid (open).", -9);
    }

    // The digest entry: 64 hexadecimal digits.
    zip_int64_t index;
    zip_stat_t info;
    if (int result = find_entry(archive.get(), digest_entry, index, info))
        return result;
    std::vector<std::uint8_t> content;
    switch (package_entry_read(archive.get(), static_cast<zip_uint64_t>(index), info, firmware_package_password,
                               digest_text_length, content)) {
    case entry_result::open_failed:
        return fail(digest_entry.no_password, digest_entry.no_password_result);
    case entry_result::ok:
        if (content.size() == digest_text_length)
            break;
        [[fallthrough]];
    default:
        return fail("File content length is invalid (bh).", -7);
    }
    // A NUL among the 64 bytes would shorten the text: no digest then either.
    if (std::memchr(content.data(), 0, content.size()) == nullptr) {
        std::string text(content.begin(), content.end());
        *stored_digest = hex_decode(text.c_str());
    }

    // The image entry.
    if (int result = find_entry(archive.get(), image_entry, index, info))
        return result;
    std::vector<std::uint8_t> image;
    switch (package_entry_read(archive.get(), static_cast<zip_uint64_t>(index), info, firmware_package_password,
                               FIRMWARE_IMAGE_MAX, image)) {
    case entry_result::ok:
        break;
    case entry_result::too_large:
        return too_large(file->path, "its image entry declares more than", FIRMWARE_IMAGE_MAX);
    case entry_result::no_memory:
        return fail("memory error", -3);
    case entry_result::open_failed:
    case entry_result::read_failed:
        return fail(image_entry.no_password, image_entry.no_password_result);
    }
    archive.reset();
    package = {};
    store_image(file, std::move(image));
    return 0;
}

int firmware_raw_read(file_data *file)
{
    std::puts("Preparing file...");
    if (!file)
        return fail("Parameters error.", -10);
    std::vector<std::uint8_t> bytes;
    switch (read_whole_file(file->path, FIRMWARE_IMAGE_MAX, bytes)) {
    case file_result::ok:
        store_image(file, std::move(bytes));
        return 0;
    case file_result::unreadable:
        return 0;
    case file_result::too_large:
        return too_large(file->path, "the image is larger than", FIRMWARE_IMAGE_MAX);
    case file_result::no_memory:
        break;
    }
    return fail("memory error", -2);
}
