#include "zip/zip_spans.h"

#include <algorithm>
#include <limits>
#include <numeric>

namespace mzip {

namespace {

// Record signatures and sizes of the zip format (PKWARE's application note).
constexpr std::uint32_t END_SIGNATURE = 0x06054B50;
constexpr std::uint32_t END64_LOCATOR_SIGNATURE = 0x07064B50;
constexpr std::uint32_t END64_SIGNATURE = 0x06064B50;
constexpr std::uint32_t CENTRAL_SIGNATURE = 0x02014B50;
constexpr std::uint32_t LOCAL_SIGNATURE = 0x04034B50;
constexpr std::size_t END_SIZE = 22;
constexpr std::size_t END64_LOCATOR_SIZE = 20;
constexpr std::size_t END64_SIZE = 56;
constexpr std::size_t CENTRAL_SIZE = 46;
constexpr std::size_t LOCAL_SIZE = 30;
constexpr std::size_t COMMENT_MAX = 0xFFFF;
// The extra field that holds the 64-bit values of a record whose 32-bit
// fields are all ones.
constexpr std::uint16_t ZIP64_EXTRA = 0x0001;
constexpr std::uint32_t IN_ZIP64_32 = 0xFFFFFFFF;
constexpr std::uint16_t IN_ZIP64_16 = 0xFFFF;
// End records that lead to a directory of the right count are read at most
// this often: a comment full of false end records costs no more.
constexpr int END_RECORD_TRIES = 4;
// The central directory is read in blocks of this size.
constexpr std::size_t BLOCK = 64 * 1024;

std::uint16_t u16(const unsigned char *p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t u32(const unsigned char *p) { return u16(p) | static_cast<std::uint32_t>(u16(p + 2)) << 16; }
std::uint64_t u64(const unsigned char *p) { return u32(p) | static_cast<std::uint64_t>(u32(p + 4)) << 32; }

std::uint64_t add(std::uint64_t a, std::uint64_t b)
{
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

// Reads the archive from a position on, a block at a time, up to `end`.
class cursor {
public:
    cursor(const zip_byte_reader &read, std::uint64_t at, std::uint64_t end) : read_(read), at_(at), end_(end) {}

    // The next `size` bytes, or null when the archive (or `end`) ends first.
    const unsigned char *take(std::size_t size)
    {
        static const unsigned char nothing = 0;
        if (size == 0)
            return &nothing;
        if (size > end_ - std::min(at_, end_))
            return nullptr;
        if (at_ < block_at_ || at_ + size > block_at_ + block_.size()) {
            block_at_ = at_;
            block_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(std::max(size, BLOCK), end_ - at_)));
            block_.resize(read_(at_, block_.size(), block_.data()));
            if (block_.size() < size)
                return nullptr;
        }
        const unsigned char *bytes = block_.data() + (at_ - block_at_);
        at_ += size;
        return bytes;
    }

private:
    const zip_byte_reader &read_;
    std::uint64_t at_;
    std::uint64_t end_;
    std::uint64_t block_at_ = 0;
    std::vector<unsigned char> block_;
};

struct directory {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t count = 0;
};

// The central directory that the end record at `end_at` names, its 64-bit
// record taken where the 32-bit fields say so.
directory directory_of(const zip_byte_reader &read, std::uint64_t end_at, const unsigned char *end)
{
    directory found{u32(end + 16), u32(end + 12), u16(end + 10)};
    const bool zip64 = found.count == IN_ZIP64_16 || found.size == IN_ZIP64_32 || found.offset == IN_ZIP64_32;
    unsigned char locator[END64_LOCATOR_SIZE];
    unsigned char end64[END64_SIZE];
    if (zip64 && end_at >= END64_LOCATOR_SIZE &&
        read(end_at - END64_LOCATOR_SIZE, sizeof locator, locator) == sizeof locator &&
        u32(locator) == END64_LOCATOR_SIGNATURE && read(u64(locator + 8), sizeof end64, end64) == sizeof end64 &&
        u32(end64) == END64_SIGNATURE) {
        if (found.count == IN_ZIP64_16)
            found.count = u64(end64 + 32);
        if (found.size == IN_ZIP64_32)
            found.size = u64(end64 + 40);
        if (found.offset == IN_ZIP64_32)
            found.offset = u64(end64 + 48);
    }
    return found;
}

struct located {
    std::uint64_t header = 0;    // offset of the local header
    std::uint64_t comp_size = 0; // bytes of data after it
};

// The records of the central directory, or nothing when one is not sound.
std::optional<std::vector<located>> read_directory(const zip_byte_reader &read, const directory &dir)
{
    std::vector<located> records;
    records.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(dir.count, 1u << 16)));
    cursor at(read, dir.offset, add(dir.offset, dir.size));
    for (std::uint64_t i = 0; i < dir.count; ++i) {
        const unsigned char *fixed = at.take(CENTRAL_SIZE);
        if (!fixed || u32(fixed) != CENTRAL_SIGNATURE)
            return std::nullopt;
        located record{u32(fixed + 42), u32(fixed + 20)};
        const bool comp_in_zip64 = record.comp_size == IN_ZIP64_32;
        const bool header_in_zip64 = record.header == IN_ZIP64_32;
        const bool size_in_zip64 = u32(fixed + 24) == IN_ZIP64_32;
        const std::size_t name = u16(fixed + 28), extra = u16(fixed + 30), comment = u16(fixed + 32);
        if (!at.take(name))
            return std::nullopt;
        const unsigned char *fields = at.take(extra);
        if (!fields || !at.take(comment))
            return std::nullopt;
        // The 64-bit values stand in the order uncompressed size, compressed
        // size, header offset, each only when its 32-bit field is all ones.
        for (std::size_t pos = 0; pos + 4 <= extra;) {
            const std::uint16_t id = u16(fields + pos), length = u16(fields + pos + 2);
            pos += 4;
            if (length > extra - pos)
                break;
            if (id == ZIP64_EXTRA) {
                std::size_t value = pos + (size_in_zip64 ? 8 : 0);
                if (comp_in_zip64 && value + 8 <= pos + length) {
                    record.comp_size = u64(fields + value);
                    value += 8;
                }
                if (header_in_zip64 && value + 8 <= pos + length)
                    record.header = u64(fields + value);
            }
            pos += length;
        }
        records.push_back(record);
    }
    return records;
}

// Calls `visit` with the central directory each end record in the archive's
// last 64 KiB names, the last record first, until it returns true. False
// when the archive is too short to hold one, or its end cannot be read.
template <typename Visit>
bool each_directory(const zip_byte_reader &read, std::uint64_t file_size, Visit visit)
{
    // The end record is in the last 22 bytes and the comment after it.
    const std::size_t tail_size = static_cast<std::size_t>(std::min<std::uint64_t>(file_size, END_SIZE + COMMENT_MAX));
    if (tail_size < END_SIZE)
        return false;
    std::vector<unsigned char> tail(tail_size);
    const std::uint64_t tail_at = file_size - tail_size;
    if (read(tail_at, tail.size(), tail.data()) != tail.size())
        return false;
    for (std::size_t at = tail_size - END_SIZE + 1; at-- > 0;)
        if (u32(tail.data() + at) == END_SIGNATURE && visit(directory_of(read, tail_at + at, tail.data() + at)))
            break;
    return true;
}

} // namespace

std::optional<std::vector<bool>> zip_entries_sharing_data(const zip_byte_reader &read, std::uint64_t file_size,
                                                          std::uint64_t entries)
{
    std::optional<std::vector<located>> records;
    int tries = 0;
    each_directory(read, file_size, [&](const directory &dir) {
        if (dir.count != entries || add(dir.offset, dir.size) > file_size)
            return false;
        records = read_directory(read, dir);
        return records.has_value() || ++tries == END_RECORD_TRIES;
    });
    if (!records)
        return std::nullopt;

    // Each entry spans its local header, name, extra field and data.
    struct span {
        std::uint64_t begin, end;
    };
    std::vector<span> spans;
    spans.reserve(records->size());
    for (const located &record : *records) {
        unsigned char local[LOCAL_SIZE];
        std::uint64_t header = LOCAL_SIZE;
        if (read(record.header, sizeof local, local) == sizeof local && u32(local) == LOCAL_SIGNATURE)
            header += u16(local + 26) + u16(local + 28);
        spans.push_back({record.header, add(add(record.header, header), record.comp_size)});
    }
    // In the order of their beginnings, an entry that begins before the
    // furthest end so far overlaps the entry that reaches there (and any
    // entry overlapping it that did not reach as far overlapped that one
    // before, or began after it ended).
    std::vector<std::size_t> order(spans.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return spans[a].begin < spans[b].begin; });
    std::vector<bool> shared(spans.size(), false);
    std::uint64_t furthest = 0;
    std::size_t reaching = 0;
    for (std::size_t n = 0; n < order.size(); ++n) {
        const span &entry = spans[order[n]];
        if (n > 0 && entry.begin < furthest) {
            shared[order[n]] = true;
            shared[reaching] = true;
        }
        if (n == 0 || entry.end > furthest) {
            furthest = entry.end;
            reaching = order[n];
        }
    }
    return shared;
}

std::optional<zip_directory_size> zip_directory_declared(const zip_byte_reader &read, std::uint64_t file_size)
{
    std::optional<zip_directory_size> most;
    each_directory(read, file_size, [&](const directory &dir) {
        const zip_directory_size before = most.value_or(zip_directory_size{});
        most = zip_directory_size{std::max(before.entries, dir.count), std::max(before.bytes, dir.size)};
        return false;
    });
    return most;
}

} // namespace mzip
