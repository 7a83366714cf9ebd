#include "zip/zip_layer.h"

#include "base/cleanup.h"
#include "base/limits.h"
#include "base/system.h"
#include "zip/zip_spans.h"

#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <list>
#include <new>
#include <optional>
#include <string>

namespace mzip {

namespace {

// Largest entry count and archive size of a zip archive without 64-bit
// extensions, and what each entry adds besides its data: the 30-byte local
// header and the 46-byte central directory record.
constexpr std::int64_t MAX_ENTRIES = 65535;
constexpr std::uint64_t MAX_ARCHIVE_SIZE = 0xFFFFFFFFull;
constexpr std::uint64_t ENTRY_OVERHEAD = 30 + 46;

// Strongest deflate level: level 10 asks for it.
constexpr int STRONGEST_LEVEL = 9;
// Flag that marks a level as meaning "data already compressed"; such entries
// cannot be written here.
constexpr int LEVEL_COMPRESSED_DATA = 0x400;
// Directory bit of the DOS attributes in an entry's external attributes.
constexpr zip_uint32_t DOS_DIRECTORY_ATTRIBUTE = 0x10;
// Reads take an entry's content in pieces of this size.
constexpr std::size_t READ_CHUNK = 64 * 1024;

// The end-of-central-directory record of an archive without entries.
constexpr unsigned char EMPTY_ARCHIVE[22] = {'P', 'K', 5, 6};

struct archive_discard {
    void operator()(zip_t *archive) const { zip_discard(archive); }
};
struct entry_file_close {
    void operator()(zip_file_t *file) const { zip_fclose(file); }
};
struct source_free {
    void operator()(zip_source_t *source) const { zip_source_free(source); }
};

} // namespace

struct zip_handle_t {
    // The bytes of every entry added, kept until the archive is written.
    // Declared before `archive` so that the archive goes first.
    std::list<std::vector<unsigned char>> held;
    // Size the archive will have so far: the file appended to and the
    // entries added, with their headers.
    std::uint64_t archive_size = 0;
    std::unique_ptr<zip_t, archive_discard> archive;
    // The entries of a new archive ('w'): it is made only when it is closed,
    // so that no handle on its file is open before (a handle that Windows
    // would not let an interrupted run's cleanup remove the file past).
    struct pending_entry {
        std::string name;
        const std::vector<unsigned char> *bytes;
        std::time_t m_time;
    };
    std::vector<pending_entry> pending;
    std::string path;
    int level = 6;
    char mode = 'r';
    struct {
        std::int64_t index = -1;
        std::optional<std::string> name;
        std::uint64_t uncomp_size = 0;
        std::vector<unsigned char> data;
        std::time_t m_time = 0;
    } entry;
    // Reading: the bytes all reads may inflate, and have inflated so far.
    std::uint64_t read_limit = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t inflated = 0;
    // Reading: per entry, whether its bytes overlap another entry's; found
    // at the first read (empty when the layout could not be told).
    bool spans_read = false;
    std::vector<bool> shares_data;
};

namespace {

bool writing(const zip_handle_t *zip) { return zip->mode != 'r'; }

void entry_reset(zip_handle_t *zip)
{
    zip->entry.index = -1;
    zip->entry.name.reset();
    zip->entry.uncomp_size = 0;
    zip->entry.data = {};
    zip->entry.m_time = 0;
}

// Names inside the archive always use '/' as the separator.
std::string normalised_name(const char *name)
{
    std::string copy(name);
    for (char &c : copy)
        if (c == '\\')
            c = '/';
    return copy;
}

// An archive that is written only at close must be known to be writable at
// open: the target is no directory or other special file, and a file can be
// created beside it, as libzip will. The probe is made and removed again
// with the signals that end a run held back, so that none can leave it
// behind. 0 or the error number.
int can_write_beside(const std::string &path)
{
    const path_status target = path_stat(path);
    if (target.error == 0 && target.type != path_type::regular)
        return target.type == path_type::directory ? EISDIR : EINVAL;
    std::string temp;
    int error = 0;
    const signal_block block;
    std::FILE *file = temp_file(path + ".", temp, error);
    if (!file)
        return error;
    std::fclose(file);
    file_remove(temp);
    return 0;
}

// libzip removes the file rather than write an archive without entries, so
// the empty archive is written here, the same way: into a temporary file
// (with the replaced file's permissions) that is renamed over the target.
// 0 or the error number.
int write_empty_archive(const std::string &path)
{
    std::string temp;
    int error = 0;
    file_ptr file;
    {
        // Removed again if the run is interrupted before it is in place.
        const signal_block block;
        file.reset(temp_file(path + ".", temp, error, path));
        if (!file)
            return error;
        cleanup_add(temp);
    }
    bool ok = std::fwrite(EMPTY_ARCHIVE, 1, sizeof EMPTY_ARCHIVE, file.get()) == sizeof EMPTY_ARCHIVE;
    ok = std::fflush(file.get()) == 0 && ok;
    error = ok ? 0 : errno;
    if (std::fclose(file.release()) != 0 && error == 0)
        error = errno;
    const signal_block block;
    if (error == 0)
        error = file_put_in_place(temp, path, true);
    if (error != 0)
        file_remove(temp);
    cleanup_forget(temp);
    return error;
}

// Compression method and libzip level for the handle's level.
void method_for(int level, zip_int32_t &method, zip_uint32_t &flags)
{
    int low = level & 0xF;
    method = low == 0 ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
    flags = static_cast<zip_uint32_t>(low > STRONGEST_LEVEL ? STRONGEST_LEVEL : low);
}

void set_reason(std::string *reason, const char *text)
{
    if (reason)
        *reason = text;
}

// Adds an entry to the libzip archive, its bytes kept by the handle.
int archive_add(zip_t *archive, int level, const std::string &name, const std::vector<unsigned char> &bytes,
                std::time_t m_time)
{
    zip_source_t *source = zip_source_buffer(archive, bytes.empty() ? nullptr : bytes.data(), bytes.size(), 0);
    zip_int64_t index = source ? zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_GUESS) : -1;
    if (index < 0) {
        if (source)
            zip_source_free(source);
        return -1;
    }
    zip_int32_t method;
    zip_uint32_t flags;
    method_for(level, method, flags);
    auto entry = static_cast<zip_uint64_t>(index);
    if (zip_set_file_compression(archive, entry, method, flags) != 0 ||
        zip_file_set_mtime(archive, entry, m_time, 0) != 0) {
        zip_delete(archive, entry);
        return -1;
    }
    return 0;
}

// Adds the entry being written: to the archive appended to, or to those of
// the new archive, which is made when it is closed.
int entry_add(zip_handle_t *zip)
{
    if (zip->mode == 'w') {
        // A second entry of a name is refused, as libzip refuses it.
        for (const auto &entry : zip->pending)
            if (entry.name == *zip->entry.name)
                return -1;
    }
    auto &bytes = zip->held.emplace_back(std::move(zip->entry.data));
    if (zip->mode == 'w') {
        zip->pending.push_back({*zip->entry.name, &bytes, zip->entry.m_time});
    } else if (archive_add(zip->archive.get(), zip->level, *zip->entry.name, bytes, zip->entry.m_time) != 0) {
        zip->held.pop_back();
        return -1;
    }
    zip->archive_size += bytes.size() + ENTRY_OVERHEAD + zip->entry.name->size();
    return 0;
}

// Opens the handle's file with libzip; false with the reason.
bool open_archive(zip_handle_t *zip, int flags, std::string *reason)
{
    int error = 0;
    zip->archive.reset(::zip_open(native_path(zip->path).c_str(), flags, &error));
    if (!zip->archive && reason) {
        zip_error_t described;
        zip_error_init_with_code(&described, error);
        *reason = zip_error_strerror(&described);
        zip_error_fini(&described);
    }
    return zip->archive != nullptr;
}

// Makes the new archive of the entries added: 0, or -1 with the reason.
int write_new_archive(zip_handle_t *zip, std::string *reason)
{
    if (!open_archive(zip, ZIP_CREATE | ZIP_TRUNCATE, reason))
        return -1;
    for (const auto &entry : zip->pending)
        if (archive_add(zip->archive.get(), zip->level, entry.name, *entry.bytes, entry.m_time) != 0) {
            set_reason(reason, zip_strerror(zip->archive.get()));
            return -1;
        }
    if (::zip_close(zip->archive.get()) != 0) {
        set_reason(reason, zip_strerror(zip->archive.get()));
        return -1; // the archive is discarded with the handle
    }
    zip->archive.release();
    return 0;
}

// Fills the entry fields of an archive being read from entry `index`.
int entry_stat(zip_handle_t *zip, zip_uint64_t index)
{
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(zip->archive.get(), index, ZIP_FL_ENC_RAW, &st) != 0 || !(st.valid & ZIP_STAT_NAME))
        return -1;
    zip->entry.name = normalised_name(st.name);
    zip->entry.index = static_cast<std::int64_t>(index);
    zip->entry.uncomp_size = (st.valid & ZIP_STAT_SIZE) ? st.size : 0;
    return 0;
}

// Position of the entry called `wanted` ('/' form), or -1. Names written by
// other tools with '\\' separators are found under their '/' form too.
zip_int64_t locate(zip_handle_t *zip, const std::string &wanted)
{
    zip_t *archive = zip->archive.get();
    zip_int64_t index = zip_name_locate(archive, wanted.c_str(), ZIP_FL_ENC_RAW);
    if (index >= 0)
        return index;
    zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const char *stored = zip_get_name(archive, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
        if (stored && std::strchr(stored, '\\') && normalised_name(stored) == wanted)
            return i;
    }
    return -1;
}

// Calls `use` with a reader of the file at `path` (through libzip, which
// knows the platform's files) and its size; false when it cannot be opened.
template <typename Use>
bool with_file_reader(const std::string &path, Use use)
{
    zip_error_t error;
    zip_error_init(&error);
    std::unique_ptr<zip_source_t, source_free> source(zip_source_file_create(native_path(path).c_str(), 0, -1, &error));
    zip_error_fini(&error);
    zip_stat_t st;
    zip_stat_init(&st);
    if (!source || zip_source_open(source.get()) != 0)
        return false;
    const zip_byte_reader read = [&](std::uint64_t offset, std::size_t size, unsigned char *out) -> std::size_t {
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<zip_int64_t>::max()) ||
            zip_source_seek(source.get(), static_cast<zip_int64_t>(offset), SEEK_SET) != 0)
            return 0;
        const zip_int64_t got = zip_source_read(source.get(), out, size);
        return got < 0 ? 0 : static_cast<std::size_t>(got);
    };
    const bool sized = zip_source_stat(source.get(), &st) == 0 && (st.valid & ZIP_STAT_SIZE);
    if (sized)
        use(read, st.size);
    zip_source_close(source.get());
    return sized;
}

// Whether the entry at `index` overlaps another, from the archive file
// itself: libzip tells no entry's place in the file.
bool shares_data(zip_handle_t *zip, std::int64_t index)
{
    if (!zip->spans_read) {
        zip->spans_read = true;
        const zip_int64_t count = zip_get_num_entries(zip->archive.get(), 0);
        with_file_reader(zip->path, [&](const zip_byte_reader &read, std::uint64_t size) {
            if (count >= 0)
                zip->shares_data = zip_entries_sharing_data(read, size, static_cast<std::uint64_t>(count))
                                       .value_or(std::vector<bool>{});
        });
    }
    return index >= 0 && static_cast<std::uint64_t>(index) < zip->shares_data.size() &&
           zip->shares_data[static_cast<std::size_t>(index)];
}


} // namespace

zip_handle_t *zip_open(const char *path, int level, char mode, std::string *reason)
{
    if (!path || !*path)
        return nullptr;
    if (level < 0)
        level = 6;
    if ((level & 0xF) > 10)
        return nullptr;
    int flags;
    switch (mode) {
    case 'r': flags = ZIP_RDONLY; break;
    case 'w': flags = ZIP_CREATE | ZIP_TRUNCATE; break;
    case 'a': flags = 0; break;
    default: return nullptr;
    }
    try {
        auto zip = std::make_unique<zip_handle_t>();
        zip->path = path;
        zip->level = level;
        zip->mode = mode;
        if (const int error = mode != 'r' ? can_write_beside(zip->path) : 0) {
            set_reason(reason, error_text(error));
            return nullptr;
        }
        if (mode == 'w')
            return zip.release(); // made when it is closed
        if (mode == 'a')
            zip->archive_size = path_stat(zip->path).size;
        if (!open_archive(zip.get(), flags, reason))
            return nullptr;
        return zip.release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

int zip_close(zip_handle_t *zip, std::string *reason)
{
    if (!zip)
        return 0;
    std::unique_ptr<zip_handle_t> owner(zip);
    if (!writing(zip))
        return 0;
    if (zip->mode == 'w' && zip->pending.empty()) {
        const int error = write_empty_archive(zip->path);
        if (error == 0)
            return 0;
        set_reason(reason, error_text(error));
        return -1;
    }
    if (zip->mode == 'w')
        return write_new_archive(zip, reason);
    if (::zip_close(zip->archive.get()) != 0) {
        set_reason(reason, zip_strerror(zip->archive.get()));
        return -1; // the archive is discarded with the handle
    }
    zip->archive.release();
    return 0;
}

int zip_entry_open(zip_handle_t *zip, const char *name)
{
    if (!zip || !name || !*name)
        return -1;
    try {
        if (!writing(zip)) {
            entry_reset(zip);
            zip_int64_t index = locate(zip, normalised_name(name));
            if (index < 0 || entry_stat(zip, static_cast<zip_uint64_t>(index)) != 0) {
                entry_reset(zip);
                return -1;
            }
            return 0;
        }
        if (zip->entry.name)
            return -1;
        std::string entry_name = normalised_name(name);
        zip_int64_t count = zip_entry_count(zip);
        if ((zip->level & LEVEL_COMPRESSED_DATA) || count < 0 || count >= MAX_ENTRIES ||
            zip->archive_size + ENTRY_OVERHEAD + entry_name.size() >= MAX_ARCHIVE_SIZE)
            return -1;
        zip->entry.index = count;
        zip->entry.name = std::move(entry_name);
        zip->entry.m_time = std::time(nullptr);
        return 0;
    } catch (const std::bad_alloc &) {
        entry_reset(zip);
        return -1;
    }
}

int zip_entry_open_at(zip_handle_t *zip, std::int64_t index)
{
    if (!zip || writing(zip))
        return -1;
    entry_reset(zip);
    if (index < 0 || index >= zip_get_num_entries(zip->archive.get(), 0))
        return -1;
    try {
        if (entry_stat(zip, static_cast<zip_uint64_t>(index)) != 0) {
            entry_reset(zip);
            return -1;
        }
    } catch (const std::bad_alloc &) {
        entry_reset(zip);
        return -1;
    }
    return 0;
}

const char *zip_entry_name(zip_handle_t *zip)
{
    if (!zip || !zip->entry.name)
        return nullptr;
    return zip->entry.name->c_str();
}

int zip_entry_is_directory(zip_handle_t *zip)
{
    if (!zip || zip->entry.index < 0 || !zip->entry.name)
        return -1;
    if (!zip->entry.name->empty() && zip->entry.name->back() == '/')
        return 1;
    if (writing(zip))
        return 0;
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(zip->archive.get(), static_cast<zip_uint64_t>(zip->entry.index), 0, &system,
                                         &attributes) != 0)
        return 0;
    return (attributes & DOS_DIRECTORY_ATTRIBUTE) ? 1 : 0;
}

int zip_entry_write(zip_handle_t *zip, const void *data, std::size_t count)
{
    if (!zip)
        return -1;
    if (!data || count == 0)
        return 0;
    if (!writing(zip) || !zip->entry.name)
        return -1;
    auto &bytes = zip->entry.data;
    std::uint64_t after = zip->archive_size + ENTRY_OVERHEAD + zip->entry.name->size() + bytes.size();
    if (count >= MAX_ARCHIVE_SIZE - after)
        return -1;
    try {
        auto from = static_cast<const unsigned char *>(data);
        bytes.insert(bytes.end(), from, from + count);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    zip->entry.uncomp_size += count;
    return 0;
}

std::int64_t zip_entry_read(zip_handle_t *zip, std::vector<unsigned char> *buf, std::size_t *bufsize,
                            std::size_t max_size)
{
    if (!buf)
        return -1;
    buf->clear();
    if (!zip || writing(zip) || zip->entry.index < 0 || zip_entry_is_directory(zip) != 0)
        return -1;
    // What can be told before inflating a byte.
    if (zip->entry.uncomp_size > max_size)
        return ZIP_ENTRY_TOO_LARGE;
    try {
        if (shares_data(zip, zip->entry.index))
            return ZIP_ENTRY_SHARES_DATA;
    } catch (const std::bad_alloc &) {
        return -1;
    }
    if (zip->entry.uncomp_size > zip->read_limit - std::min(zip->inflated, zip->read_limit))
        return ZIP_READ_LIMIT_REACHED;
    std::unique_ptr<zip_file_t, entry_file_close> file(
        zip_fopen_index(zip->archive.get(), static_cast<zip_uint64_t>(zip->entry.index), 0));
    if (!file)
        return -1;
    try {
        std::vector<unsigned char> content;
        content.reserve(static_cast<std::size_t>(std::min({zip->entry.uncomp_size, ZIP_RESERVE_MAX,
                                                           static_cast<std::uint64_t>(max_size)})));
        // Chunks are appended to what was reserved from the entry's size, so
        // an ordinary entry is read without a reallocation or a zero fill.
        std::vector<unsigned char> chunk(
            static_cast<std::size_t>(std::clamp<std::uint64_t>(zip->entry.uncomp_size + 1, 4096, READ_CHUNK)));
        for (;;) {
            zip_int64_t got = zip_fread(file.get(), chunk.data(), chunk.size());
            if (got < 0)
                return -1;
            if (got == 0)
                break;
            zip->inflated += static_cast<std::uint64_t>(got);
            // Whatever the entry claims, a small archive may expand to gigabytes.
            if (static_cast<std::uint64_t>(got) > max_size - content.size())
                return ZIP_ENTRY_TOO_LARGE;
            if (zip->inflated > zip->read_limit)
                return ZIP_READ_LIMIT_REACHED;
            content.insert(content.end(), chunk.begin(), chunk.begin() + got);
        }
        if (content.size() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return -1;
        *buf = std::move(content);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    if (bufsize)
        *bufsize = buf->size();
    return static_cast<std::int64_t>(buf->size());
}

void zip_set_read_limit(zip_handle_t *zip, std::uint64_t bytes)
{
    if (zip)
        zip->read_limit = bytes;
}

int zip_entry_close(zip_handle_t *zip)
{
    if (!zip)
        return -1;
    if (!writing(zip)) {
        entry_reset(zip);
        return 0;
    }
    if (!zip->entry.name)
        return -1;
    int result;
    try {
        result = entry_add(zip);
    } catch (const std::bad_alloc &) {
        result = -1;
    }
    entry_reset(zip);
    return result;
}

std::optional<zip_directory_size> zip_directory_declared(const char *path)
{
    if (!path || !*path)
        return std::nullopt;
    std::optional<zip_directory_size> declared;
    try {
        with_file_reader(path, [&](const zip_byte_reader &read, std::uint64_t size) {
            declared = zip_directory_declared(read, size);
        });
    } catch (const std::bad_alloc &) {
        return std::nullopt;
    }
    return declared;
}

std::int64_t zip_entry_count(zip_handle_t *zip)
{
    if (!zip)
        return -1;
    if (zip->mode == 'w')
        return static_cast<std::int64_t>(zip->pending.size());
    return zip_get_num_entries(zip->archive.get(), 0);
}

} // namespace mzip
