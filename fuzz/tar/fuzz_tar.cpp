// The tar reader over arbitrary archives, from memory and from a file: walk
// every header, find entries by name, read each entry's data in chunks whose
// size the first byte chooses. The rest of the input is the archive (header
// checksums of eight spaces filled in, see fuzz_fix_tar_checksums).
#include "fuzz/fuzz_support.h"
#include "tar/tar.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

// Headers are 512-byte records, so an archive of n bytes holds fewer than
// n / 512 + 1 of them; the walk may not take more steps than that.
void walk(tar_t *tar, std::size_t size, std::vector<std::string> &names)
{
    const std::size_t limit = size / TAR_RECORD_SIZE + 2;
    std::size_t steps = 0;
    tar_header_t header;
    while (tar_read_header(tar, &header) == TAR_OK) {
        FUZZ_CHECK(++steps <= limit);
        FUZZ_CHECK(std::memchr(header.name, '\0', sizeof header.name) != nullptr);
        FUZZ_CHECK(std::memchr(header.linkname, '\0', sizeof header.linkname) != nullptr);
        if (names.size() < 4)
            names.emplace_back(header.name);
        const std::uint32_t before = tar->pos;
        if (tar_next(tar) != TAR_OK)
            break;
        FUZZ_CHECK(tar->pos > before);
    }
}

// Reads the data of the entry whose header is at the current position, as a
// caller does: only when the archive holds it.
void read_entry(tar_t *tar, const tar_header_t &header, std::uint32_t chunk)
{
    const std::uint32_t at = tar->pos;
    if (!tar_entry_held(tar, header.size)) {
        // Reading past what the stream holds must fail, not run over it.
        std::vector<std::uint8_t> some(std::min<std::uint32_t>(header.size, 4096));
        (void)tar_read_data(tar, some.data(), static_cast<std::uint32_t>(some.size()));
        return;
    }
    std::vector<std::uint8_t> content(header.size);
    std::uint32_t done = 0;
    while (done < header.size) {
        const std::uint32_t count = std::min(chunk, header.size - done);
        if (tar_read_data(tar, content.data() + done, count) != TAR_OK)
            return;
        done += count;
    }
    // After the last byte the position is back at the entry's header.
    if (header.size > 0)
        FUZZ_CHECK(tar->pos == at);
}

void exercise(tar_t *tar, std::size_t size, std::uint32_t chunk)
{
    std::vector<std::string> names;
    walk(tar, size, names);
    names.emplace_back("status.txt");
    names.emplace_back("no such entry");
    for (const std::string &name : names) {
        tar_header_t header;
        if (tar_find(tar, name.c_str(), &header) == TAR_OK) {
            FUZZ_CHECK(name == header.name);
            read_entry(tar, header, chunk);
        }
    }
    // Data reads straight from the start, without a find.
    tar_rewind(tar);
    std::uint8_t some[700];
    (void)tar_read_data(tar, some, std::min<std::uint32_t>(chunk, sizeof some));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint32_t chunk = 1u + data[0] * 7u;
    std::vector<std::uint8_t> bytes(data + 1, data + size);
    fuzz_fix_tar_checksums(bytes.data(), bytes.size());
    const std::uint8_t *archive = bytes.empty() ? data : bytes.data();
    const std::size_t archive_size = bytes.size();

    tar_t tar;
    if (tar_mem_open_read(&tar, archive, static_cast<std::uint32_t>(archive_size)) == TAR_OK)
        exercise(&tar, archive_size, chunk);
    tar_close(&tar);

    // The file stream checks the first header at open.
    const char *path = fuzz_scratch().write(archive, archive_size);
    tar_t file;
    if (tar_open(&file, path, "r") == TAR_OK)
        exercise(&file, archive_size, chunk);
    tar_close(&file);
    return 0;
}
