#include "archive.h"

#include <archive.h>
#include <archive_entry.h>

#include <memory>

namespace {

struct archive_write_deleter {
    void operator()(struct archive *a) const { archive_write_free(a); }
};
struct archive_read_deleter {
    void operator()(struct archive *a) const { archive_read_free(a); }
};
struct entry_deleter {
    void operator()(struct archive_entry *e) const { archive_entry_free(e); }
};

la_ssize_t append_block(struct archive *, void *client, const void *buffer, size_t length)
{
    auto *out = static_cast<bytes *>(client);
    const auto *begin = static_cast<const std::uint8_t *>(buffer);
    out->insert(out->end(), begin, begin + length);
    return static_cast<la_ssize_t>(length);
}

} // namespace

bytes tar_build(const std::vector<tar_member> &members)
{
    bytes out;
    std::unique_ptr<struct archive, archive_write_deleter> writer(archive_write_new());
    archive_write_set_format_ustar(writer.get());
    // 512-byte blocks and no padding of the last one: the archive ends right
    // after its two null records, as the controller's own archives do.
    archive_write_set_bytes_per_block(writer.get(), 512);
    archive_write_set_bytes_in_last_block(writer.get(), 1);
    if (archive_write_open2(writer.get(), &out, nullptr, append_block, nullptr, nullptr) != ARCHIVE_OK)
        return {};
    for (const tar_member &member : members) {
        std::unique_ptr<struct archive_entry, entry_deleter> entry(archive_entry_new());
        archive_entry_set_pathname(entry.get(), member.path.c_str());
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(member.data.size()));
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), 0664);
        archive_entry_set_uid(entry.get(), 0);
        archive_entry_set_gid(entry.get(), 0);
        archive_entry_set_mtime(entry.get(), member.mtime, 0);
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK)
            return {};
        if (!member.data.empty() &&
            archive_write_data(writer.get(), member.data.data(), member.data.size()) !=
                static_cast<la_ssize_t>(member.data.size()))
            return {};
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK)
        return {};
    return out;
}

std::optional<std::vector<tar_member>> tar_parse(const bytes &archive, std::string &error)
{
    std::unique_ptr<struct archive, archive_read_deleter> reader(archive_read_new());
    archive_read_support_format_tar(reader.get());
    if (archive.empty()) {
        error = "empty file";
        return std::nullopt;
    }
    if (archive_read_open_memory(reader.get(), archive.data(), archive.size()) != ARCHIVE_OK) {
        error = archive_error_string(reader.get()) ? archive_error_string(reader.get()) : "not a tar archive";
        return std::nullopt;
    }
    std::vector<tar_member> members;
    for (;;) {
        struct archive_entry *entry = nullptr;
        const int result = archive_read_next_header(reader.get(), &entry);
        if (result == ARCHIVE_EOF)
            return members;
        if (result != ARCHIVE_OK && result != ARCHIVE_WARN) {
            error = archive_error_string(reader.get()) ? archive_error_string(reader.get()) : "unreadable header";
            return std::nullopt;
        }
        tar_member member;
        member.path = archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
        member.mtime = archive_entry_mtime(entry);
        member.regular = archive_entry_filetype(entry) == AE_IFREG;
        std::uint8_t block[8192];
        for (;;) {
            const la_ssize_t got = archive_read_data(reader.get(), block, sizeof block);
            if (got < 0) {
                error = archive_error_string(reader.get()) ? archive_error_string(reader.get()) : "unreadable data";
                return std::nullopt;
            }
            if (got == 0)
                break;
            member.data.insert(member.data.end(), block, block + got);
        }
        members.push_back(std::move(member));
    }
}
