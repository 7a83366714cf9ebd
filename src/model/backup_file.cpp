#include "model/backup_file.h"

#include "base/file_put.h"
#include "base/limits.h"
#include "base/system.h"
#include "model/config_archive.h"
#include "tar/tar.h"
#include "zip/zip_layer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

std::vector<backup_member> zip_members(mzip::zip_handle_t *zip)
{
    std::vector<backup_member> members;
    const std::int64_t count = mzip::zip_entry_count(zip);
    for (std::int64_t index = 0; index < count; ++index) {
        if (mzip::zip_entry_open_at(zip, index) == 0 && mzip::zip_entry_is_directory(zip) == 0) {
            backup_member member;
            const char *name = mzip::zip_entry_name(zip);
            member.name = name ? name : "";
            member.config = config_by_zip_name(name);
            member.zip_index = index;
            members.push_back(std::move(member));
        }
        mzip::zip_entry_close(zip);
    }
    return members;
}

} // namespace

std::optional<backup_contents> backup_file_read(const char *path, std::string &why, int &tar_error)
{
    tar_error = TAR_OK;
    // A file that is not there, not readable, or a folder, is no damaged archive.
    if (const int error = file_readable(path)) {
        why = std::string("cannot be read: ") + error_text(error);
        return std::nullopt;
    }
    if (!backup_entries_fit(path, why))
        return std::nullopt;
    backup_contents backup;
    if (mzip::zip_handle_ptr zip{mzip::zip_open(path, 0, 'r')}) {
        mzip::zip_set_read_limit(zip.get(), BACKUP_READ_MAX);
        backup.members = zip_members(zip.get());
        backup.archive = std::move(zip);
        return backup;
    }
    tar_t tar;
    tar_error = tar_open(&tar, path, "r");
    if (tar_error != TAR_OK) {
        why = "is no backup: neither a zip archive nor a configuration archive";
        return std::nullopt;
    }
    tar_close(&tar);
    int error = 0;
    const file_ptr file(file_open(path, "rb", &error));
    backup_member member;
    member.name = std::string(file_name_of(path));
    std::uint8_t chunk[64 * 1024];
    for (std::size_t count; file && (count = std::fread(chunk, 1, sizeof chunk, file.get())) > 0;) {
        if (backup.tar.size() + count > BACKUP_ENTRY_MAX) {
            why = "is no backup: larger than any configuration archive";
            return std::nullopt;
        }
        backup.tar.insert(backup.tar.end(), chunk, chunk + count);
    }
    if (!file || std::ferror(file.get())) {
        why = std::string("cannot be read: ") + error_text(file ? errno : error);
        return std::nullopt;
    }
    // Which configuration it is, by the path of its file.
    const config_archive_view view =
        config_archive_inspect(backup.tar.data(), static_cast<std::uint32_t>(backup.tar.size()), nullptr);
    for (const config_entry &config : config_catalogue)
        if (view.path && *view.path == config.path)
            member.config = &config;
    backup.members.push_back(std::move(member));
    return backup;
}

bool backup_entries_fit(const char *path, std::string &why)
{
    const std::optional<mzip::zip_directory_size> declared = mzip::zip_directory_declared(path);
    if (declared && declared->entries > BACKUP_ENTRIES_MAX)
        why = "is no backup: its zip directory declares " + std::to_string(declared->entries) +
              " entries, more than a backup holds (" + std::to_string(BACKUP_ENTRIES_MAX) + ")";
    else if (declared && declared->bytes > BACKUP_DIRECTORY_MAX)
        why = "is no backup: its zip directory declares " + std::to_string(declared->bytes) +
              " bytes, more than a backup's needs (" + std::to_string(BACKUP_DIRECTORY_MAX) + ")";
    else
        return true;
    return false;
}

std::optional<std::vector<std::uint8_t>> backup_member_archive(const backup_contents &backup,
                                                               const backup_member &member, std::string *why)
{
    if (member.zip_index < 0)
        return backup.tar;
    mzip::zip_handle_t *zip = backup.archive.get();
    std::vector<std::uint8_t> archive;
    // A configuration archive is never larger than a download of one.
    const std::int64_t read = zip && mzip::zip_entry_open_at(zip, member.zip_index) == 0
                                  ? mzip::zip_entry_read(zip, &archive, nullptr, BACKUP_ENTRY_MAX)
                                  : -1;
    if (zip)
        mzip::zip_entry_close(zip);
    if (read < 0) {
        if (why)
            *why = backup_entry_failure(read);
        return std::nullopt;
    }
    return archive;
}

std::string backup_entry_failure(std::int64_t read_result)
{
    switch (read_result) {
    case mzip::ZIP_ENTRY_TOO_LARGE: return "the entry is larger than any configuration archive";
    case mzip::ZIP_ENTRY_SHARES_DATA: return "the entry shares its data with another entry";
    case mzip::ZIP_READ_LIMIT_REACHED:
        return "the backup's entries inflate to more than " + std::to_string(BACKUP_READ_MAX >> 20) + " MiB in all";
    default: return "the entry cannot be read";
    }
}

const backup_member *backup_member_of(const backup_contents &backup, const config_entry &config, std::size_t *count)
{
    const backup_member *found = nullptr;
    std::size_t held = 0;
    for (const backup_member &member : backup.members)
        if (member.config == &config && held++ == 0)
            found = &member;
    if (count)
        *count = held;
    return found;
}
