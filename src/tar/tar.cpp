// Tar operations over the stream callbacks, and the file stream.
#include "tar/tar.h"

#include "base/system.h"

#include <cstdio>
#include <cstring>

namespace {

// Field offsets and lengths inside a header record.
constexpr std::size_t NAME_OFFSET = 0;
constexpr std::size_t MODE_OFFSET = 100, MODE_LENGTH = 8;
constexpr std::size_t OWNER_OFFSET = 108, OWNER_LENGTH = 8;
constexpr std::size_t SIZE_OFFSET = 124, SIZE_LENGTH = 12;
constexpr std::size_t MTIME_OFFSET = 136, MTIME_LENGTH = 12;
constexpr std::size_t CHECKSUM_OFFSET = 148, CHECKSUM_LENGTH = 8;
constexpr std::size_t TYPE_OFFSET = 156;
constexpr std::size_t LINKNAME_OFFSET = 157;

// Largest value that fits an 8-byte field as octal text and its NUL.
constexpr std::uint32_t SHORT_FIELD_MAX = 07777777;

constexpr std::uint32_t END_MARKER_SIZE = 2 * TAR_RECORD_SIZE;

using record_t = unsigned char[TAR_RECORD_SIZE];

// 256 plus every byte of the record except the checksum field itself.
std::uint32_t record_checksum(const record_t record)
{
    std::uint32_t sum = 256;
    for (std::size_t i = 0; i < TAR_RECORD_SIZE; ++i) {
        if (i < CHECKSUM_OFFSET || i >= CHECKSUM_OFFSET + CHECKSUM_LENGTH)
            sum += record[i];
    }
    return sum;
}

bool is_blank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

enum class octal { value, empty, invalid };

// Reads an octal number the way "%o" does (leading blanks, an optional sign,
// the digits up to the first other byte), but never beyond the field and
// never beyond 32 bits. A field without digits is `empty`; one whose digits
// overflow 32 bits or that holds a binary number is `invalid`.
octal parse_octal(const unsigned char *field, std::size_t length, std::uint32_t &value)
{
    std::size_t i = 0;
    while (i < length && is_blank(field[i]))
        ++i;
    if (i < length && field[i] >= 0x80)
        return octal::invalid;
    bool negative = false;
    if (i < length && (field[i] == '+' || field[i] == '-')) {
        negative = field[i] == '-';
        ++i;
    }
    std::uint64_t number = 0;
    std::size_t digits = 0;
    for (; i < length && field[i] >= '0' && field[i] <= '7'; ++i, ++digits) {
        number = number * 8 + (field[i] - '0');
        if (number > UINT32_MAX)
            return octal::invalid;
    }
    if (digits == 0)
        return octal::empty;
    value = negative ? static_cast<std::uint32_t>(0u - number) : static_cast<std::uint32_t>(number);
    return octal::value;
}

// Copies a name field into a 100-byte text: at most 99 characters and a NUL.
void copy_name(char (&text)[TAR_NAME_SIZE], const unsigned char *field)
{
    std::size_t length = strnlen(reinterpret_cast<const char *>(field), TAR_NAME_SIZE - 1);
    std::memcpy(text, field, length);
    std::memset(text + length, 0, TAR_NAME_SIZE - length);
}

// Writes "%o" text of `value` into a field; the field's last byte stays NUL.
void put_octal(record_t record, std::size_t offset, std::size_t length, std::uint32_t value)
{
    char text[16];
    int written = std::snprintf(text, sizeof text, "%o", static_cast<unsigned>(value));
    if (written > 0 && static_cast<std::size_t>(written) < length)
        std::memcpy(record + offset, text, static_cast<std::size_t>(written));
}

int write_zeros(tar_t *tar, std::uint32_t count)
{
    static const unsigned char zeros[END_MARKER_SIZE] = {};
    int result = tar->write(tar, zeros, count);
    tar->pos += count;
    return result;
}

// Passes `count` bytes of the current entry through a read or write callback.
// `pos` grows by `count` whatever the callback returns; on success the entry's
// remainder shrinks and `complete` tells whether its last byte has passed.
// Never more than the remainder: that would run into the next record.
template <typename Buffer>
int move_data(tar_t *tar, int (*move)(tar_t *, Buffer, std::uint32_t), Buffer data, std::uint32_t count, bool &complete)
{
    if (count > tar->remaining_data)
        return TAR_FAILURE;
    int result = move(tar, data, count);
    tar->pos += count;
    if (result != TAR_OK)
        return result;
    tar->remaining_data -= count;
    complete = tar->remaining_data == 0;
    return TAR_OK;
}

// Rounds a data length up to whole records.
std::uint64_t padded(std::uint32_t size)
{
    return (static_cast<std::uint64_t>(size) + TAR_RECORD_SIZE - 1) / TAR_RECORD_SIZE * TAR_RECORD_SIZE;
}

} // namespace

const char *tar_strerror(int code)
{
    switch (code) {
    case TAR_OK: return "success";
    case TAR_FAILURE: return "failure";
    case TAR_OPEN_FAILED: return "could not open";
    case TAR_READ_FAILED: return "could not read";
    case TAR_WRITE_FAILED: return "could not write";
    case TAR_SEEK_FAILED: return "could not seek";
    case TAR_BAD_CHECKSUM: return "bad checksum";
    case TAR_NULL_RECORD: return "null record";
    case TAR_NOT_FOUND: return "file not found";
    default: return "unknown error";
    }
}

int tar_file_read(tar_t *tar, void *data, std::uint32_t size)
{
    if (!tar->file || (!data && size != 0))
        return TAR_READ_FAILED;
    if (size == 0)
        return TAR_OK;
    return std::fread(data, 1, size, tar->file.get()) == size ? TAR_OK : TAR_READ_FAILED;
}

int tar_file_write(tar_t *tar, const void *data, std::uint32_t size)
{
    if (!tar->file || (!data && size != 0))
        return TAR_WRITE_FAILED;
    if (size == 0)
        return TAR_OK;
    return std::fwrite(data, 1, size, tar->file.get()) == size ? TAR_OK : TAR_WRITE_FAILED;
}

int tar_file_seek(tar_t *tar, std::uint32_t pos)
{
    if (!tar->file)
        return TAR_SEEK_FAILED;
    return file_seek(tar->file.get(), pos) == 0 ? TAR_OK : TAR_SEEK_FAILED;
}

int tar_file_close(tar_t *tar)
{
    tar->file.reset();
    tar->stream = nullptr;
    return TAR_OK;
}

int tar_open(tar_t *tar, const char *path, const char *mode)
{
    if (!tar || !path || !mode)
        return TAR_FAILURE;
    *tar = tar_t{};
    tar->read = tar_file_read;
    tar->write = tar_file_write;
    tar->seek = tar_file_seek;
    tar->close = tar_file_close;

    bool reading = std::strchr(mode, 'r') != nullptr;
    const char *file_mode = mode;
    if (reading)
        file_mode = "rb";
    else if (std::strchr(mode, 'w'))
        file_mode = "wb";
    else if (std::strchr(mode, 'a'))
        file_mode = "ab";
    // A directory is no file to read (file_open refuses it).
    tar->file.reset(file_open(path, file_mode));
    if (!tar->file)
        return TAR_OPEN_FAILED;
    tar->stream = tar->file.get();
    if (!reading)
        return TAR_OK;

    // Measure the file, so that entries can be checked against what it holds.
    if (const std::optional<std::uint64_t> length = file_size(tar->file.get()))
        tar->stream_size = *length > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(*length);
    int result = tar_seek(tar, 0);
    tar_header_t header;
    if (result == TAR_OK)
        result = tar_read_header(tar, &header);
    if (result != TAR_OK)
        tar_close(tar);
    return result;
}

int tar_close(tar_t *tar)
{
    if (!tar || !tar->close)
        return TAR_FAILURE;
    return tar->close(tar);
}

int tar_seek(tar_t *tar, std::uint32_t pos)
{
    if (!tar || !tar->seek)
        return TAR_FAILURE;
    int result = tar->seek(tar, pos);
    tar->pos = pos;
    return result;
}

int tar_rewind(tar_t *tar)
{
    if (!tar)
        return TAR_FAILURE;
    tar->remaining_data = 0;
    tar->last_header = 0;
    return tar_seek(tar, 0);
}

int tar_read_header(tar_t *tar, tar_header_t *header)
{
    if (!tar || !header || !tar->read || !tar->seek)
        return TAR_FAILURE;
    record_t record;
    tar->last_header = tar->pos;
    int result = tar->read(tar, record, TAR_RECORD_SIZE);
    tar->pos += TAR_RECORD_SIZE;
    if (result != TAR_OK)
        return result;
    result = tar_seek(tar, tar->last_header);
    if (result != TAR_OK)
        return result;

    if (record[CHECKSUM_OFFSET] == 0)
        return TAR_NULL_RECORD;
    std::uint32_t stored = 0;
    if (parse_octal(record + CHECKSUM_OFFSET, CHECKSUM_LENGTH, stored) != octal::value || stored != record_checksum(record))
        return TAR_BAD_CHECKSUM;

    tar_header_t decoded;
    struct {
        std::size_t offset, length;
        std::uint32_t &value;
    } numbers[] = {
        {MODE_OFFSET, MODE_LENGTH, decoded.mode},
        {OWNER_OFFSET, OWNER_LENGTH, decoded.owner},
        {SIZE_OFFSET, SIZE_LENGTH, decoded.size},
        {MTIME_OFFSET, MTIME_LENGTH, decoded.mtime},
    };
    for (auto &number : numbers) {
        // A number beyond 32 bits cannot be represented; taking it cut short
        // would misplace every entry that follows.
        if (parse_octal(record + number.offset, number.length, number.value) == octal::invalid)
            return TAR_FAILURE;
    }
    decoded.type = static_cast<signed char>(record[TYPE_OFFSET]);
    copy_name(decoded.name, record + NAME_OFFSET);
    copy_name(decoded.linkname, record + LINKNAME_OFFSET);
    *header = decoded;
    return TAR_OK;
}

int tar_next(tar_t *tar)
{
    tar_header_t header;
    int result = tar_read_header(tar, &header);
    if (result != TAR_OK)
        return result;
    std::uint64_t next = tar->pos + TAR_RECORD_SIZE + padded(header.size);
    if (next > UINT32_MAX)
        return TAR_SEEK_FAILED;
    return tar_seek(tar, static_cast<std::uint32_t>(next));
}

int tar_find(tar_t *tar, const char *name, tar_header_t *header)
{
    if (!tar || !name)
        return TAR_FAILURE;
    int result = tar_rewind(tar);
    if (result != TAR_OK)
        return result;
    tar_header_t current;
    while ((result = tar_read_header(tar, &current)) == TAR_OK) {
        if (std::strcmp(current.name, name) == 0) {
            if (header)
                *header = current;
            return TAR_OK;
        }
        // An entry that cannot be passed (its size would carry the position
        // beyond 4 GiB) ends the search; going on would read it again forever.
        if ((result = tar_next(tar)) != TAR_OK)
            break;
    }
    return result == TAR_NULL_RECORD ? TAR_NOT_FOUND : result;
}

bool tar_entry_held(const tar_t *tar, std::uint32_t size)
{
    return tar && static_cast<std::uint64_t>(tar->pos) + TAR_RECORD_SIZE + size <= tar->stream_size;
}

int tar_read_data(tar_t *tar, void *data, std::uint32_t count)
{
    if (!tar || !tar->read)
        return TAR_FAILURE;
    if (tar->remaining_data == 0) {
        tar_header_t header;
        int result = tar_read_header(tar, &header);
        if (result != TAR_OK)
            return result;
        result = tar_seek(tar, tar->pos + TAR_RECORD_SIZE);
        if (result != TAR_OK)
            return result;
        tar->remaining_data = header.size;
    }
    bool complete = false;
    int result = move_data(tar, tar->read, data, count, complete);
    if (result != TAR_OK || !complete)
        return result;
    return tar_seek(tar, tar->last_header);
}

int tar_write_header(tar_t *tar, const tar_header_t *header)
{
    if (!tar || !header || !tar->write)
        return TAR_FAILURE;
    // Larger mode and owner values have no room in their 8-byte fields.
    if (header->mode > SHORT_FIELD_MAX || header->owner > SHORT_FIELD_MAX)
        return TAR_FAILURE;
    record_t record = {};
    put_octal(record, MODE_OFFSET, MODE_LENGTH, header->mode);
    put_octal(record, OWNER_OFFSET, OWNER_LENGTH, header->owner);
    put_octal(record, SIZE_OFFSET, SIZE_LENGTH, header->size);
    put_octal(record, MTIME_OFFSET, MTIME_LENGTH, header->mtime);
    record[TYPE_OFFSET] = header->type == 0 ? '0' : static_cast<unsigned char>(header->type);
    std::memcpy(record + NAME_OFFSET, header->name, strnlen(header->name, TAR_NAME_SIZE));
    std::memcpy(record + LINKNAME_OFFSET, header->linkname, strnlen(header->linkname, TAR_NAME_SIZE));

    char checksum[CHECKSUM_LENGTH];
    std::snprintf(checksum, sizeof checksum, "%06o", static_cast<unsigned>(record_checksum(record)));
    std::memcpy(record + CHECKSUM_OFFSET, checksum, CHECKSUM_LENGTH - 1);
    record[CHECKSUM_OFFSET + CHECKSUM_LENGTH - 1] = ' ';

    tar->remaining_data = header->size;
    int result = tar->write(tar, record, TAR_RECORD_SIZE);
    tar->pos += TAR_RECORD_SIZE;
    return result;
}

int tar_write_file_header(tar_t *tar, const char *name, std::uint32_t size)
{
    // A longer name would be cut short in the archive.
    if (!name || std::strlen(name) >= TAR_NAME_SIZE)
        return TAR_FAILURE;
    tar_header_t header;
    std::memcpy(header.name, name, std::strlen(name));
    header.size = size;
    header.type = '0';
    header.mode = 0664;
    return tar_write_header(tar, &header);
}

int tar_write_data(tar_t *tar, const void *data, std::uint32_t count)
{
    if (!tar || !tar->write)
        return TAR_FAILURE;
    bool complete = false;
    int result = move_data(tar, tar->write, data, count, complete);
    if (result != TAR_OK || !complete)
        return result;
    std::uint32_t tail = tar->pos % TAR_RECORD_SIZE;
    return tail == 0 ? TAR_OK : write_zeros(tar, TAR_RECORD_SIZE - tail);
}

int tar_finalize(tar_t *tar)
{
    if (!tar || !tar->write)
        return TAR_FAILURE;
    return write_zeros(tar, END_MARKER_SIZE);
}
