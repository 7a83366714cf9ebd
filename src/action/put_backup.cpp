#include "action/put_backup.h"

#include "action/report.h"
#include "base/diag.h"
#include "base/file_put.h"
#include "base/format.h"
#include "base/limits.h"
#include "base/system.h"
#include "base/text.h"
#include "controller/status.h"
#include "controller/transfer.h"
#include "model/backup_file.h"
#include "model/catalogue.h"
#include "model/config_archive.h"
#include "model/convert.h"
#include "tar/tar.h"
#include "zip/zip_layer.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr const char *TAG = "action_put_backup";

// Entry modes and owner of the archives the controller takes back.
constexpr std::uint32_t UPLOAD_MODE = 0664;

using bytes = std::vector<std::uint8_t>;

// The one-entry archive the controller receives for a configuration file:
// the entry named `path`, then the end marker. Empty when it cannot be built.
bytes upload_archive(const char *path, const bytes &file)
{
    if (std::strlen(path) >= TAR_NAME_SIZE || file.size() > std::numeric_limits<std::uint32_t>::max())
        return {};
    tar_header_t header;
    std::memcpy(header.name, path, std::strlen(path));
    header.size = static_cast<std::uint32_t>(file.size());
    header.type = '0';
    header.mode = UPLOAD_MODE;
    header.owner = 0;
    const std::time_t now = std::time(nullptr);
    header.mtime = now < 0 ? 0 : static_cast<std::uint32_t>(now);

    tar_t tar;
    if (tar_mem_open_write(&tar) != TAR_OK || tar_write_header(&tar, &header) != TAR_OK ||
        tar_write_data(&tar, file.data(), header.size) != TAR_OK || tar_finalize(&tar) != TAR_OK)
        return {};
    return tar_mem_take(&tar);
}

// Uploads the archive and asks for its restore; "OK" once both went through.
// The configuration `name` goes into the run's record either way.
bool upload(const char *base, const char *address, const bytes &archive, const std::string &name)
{
    const bool done = backup_upload(base, address, archive.data(), static_cast<std::uint32_t>(archive.size())) == 0;
    record_step("configuration", name, done, archive.size(), transfer_last_error());
    if (done)
        std::puts("OK");
    return done;
}

// One configuration archive of a zip backup. Nothing when it did not reach
// the conversion, else the configuration's result: 0 uploaded, 1 not built or
// not uploaded, 2 refused.
std::optional<int> restore_config(const config_entry &row, const bytes &archive, const controller_status &status,
                                  const char *base, const char *address)
{
    bytes file;
    if (!backup_take_file(archive.data(), static_cast<std::uint32_t>(archive.size()), row.path, TAG, file)) {
        record_step("configuration", row.name, false, 0, std::string(row.path) + " is missing, empty or unreadable");
        return std::nullopt;
    }
    bytes converted;
    const unsigned converted_result = config_convert(row.kind, text_or_null(status.firmware_version), file.data(),
                                                     static_cast<std::uint32_t>(file.size()), &converted);
    const bytes upload_bytes = converted_result == 0 && !converted.empty() ? upload_archive(row.path, converted) : bytes{};
    if (upload_bytes.empty()) {
        record_step("configuration", row.name, false, file.size(),
                    converted_result == 2 ? "refused for this controller's firmware" : "cannot be packed");
        return converted_result != 0 ? static_cast<int>(converted_result) : 1;
    }
    return upload(base, address, upload_bytes, row.name) ? 0 : 1;
}

// Every known configuration of the zip backup, in the archive's order.
int restore_zip(mzip::zip_handle_t *zip, const char *file_in, const controller_status &status, const char *base,
                const char *address)
{
    int result = 0;
    std::uint32_t known = 0;
    std::set<const config_entry *> seen;
    // However many entries it has, a backup costs no more inflating than the
    // eleven largest configurations could.
    mzip::zip_set_read_limit(zip, BACKUP_READ_MAX);
    const std::int64_t count = mzip::zip_entry_count(zip);
    for (std::int64_t index = 0; index < count; ++index) {
        mzip::zip_entry_open_at(zip, index);
        const config_entry *row = mzip::zip_entry_is_directory(zip) == 0 ? config_by_zip_name(mzip::zip_entry_name(zip)) : nullptr;
        // Restored in the archive's order, so the later copy stays.
        if (row && !seen.insert(row).second)
            diag("%s: %s is in it more than once; this later copy replaces the earlier one on the controller", file_in,
                 row->zip_name);
        bytes archive;
        // A configuration archive is as small as the controller hands it out;
        // an entry expanding past that (a damaged or hostile backup) is not read.
        const std::int64_t size = row ? mzip::zip_entry_read(zip, &archive, nullptr, BACKUP_ENTRY_MAX) : -1;
        known += row ? 1 : 0;
        if (row && size <= 0) {
            if (size == mzip::ZIP_ENTRY_TOO_LARGE)
                std::printf("%s\terror reading '%s'\r\n", TAG, row->path);
            else if (size == mzip::ZIP_ENTRY_SHARES_DATA || size == mzip::ZIP_READ_LIMIT_REACHED)
                diag("%s: %s: %s (a damaged or crafted backup); %s is not restored", file_in, row->zip_name,
                     backup_entry_failure(size).c_str(), row->name);
            else
                diag("%s: %s cannot be read from the backup (damaged, encrypted or empty); %s is not restored",
                     file_in, row->zip_name, row->name);
            record_step("configuration", row->name, false, 0,
                        size == 0 || size == -1 ? "its archive cannot be read from the backup" : backup_entry_failure(size));
        } else if (size > 0) {
            if (const std::optional<int> entry_result = restore_config(*row, archive, status, base, address))
                result = *entry_result;
        }
        mzip::zip_entry_close(zip);
    }
    // A zip of something else (a backup folder zipped again, a firmware
    // package) restores nothing, which is no success.
    if (known == 0) {
        diag("%s: no configuration archive in it (such as dali1.tar); nothing is restored", file_in);
        record_step("backup", file_in, false, 0, "holds no configuration archive");
    }
    return result;
}

// A single tar archive, uploaded exactly as stored.
void upload_tar_file(const char *path, const char *base, const char *address)
{
    tar_t tar;
    const int opened = tar_open(&tar, path, "r");
    if (opened != TAR_OK) {
        std::printf("Error %d opening tar file.", opened);
        // Which file, and why: the line above names neither.
        const int unreadable = file_readable(path);
        const std::string why = unreadable != 0 ? error_text(unreadable)
                                                : "neither a zip archive nor a configuration archive (tar)";
        diag("%s: %s; nothing is restored", path, why.c_str());
        record_step("configuration", path, false, 0, why);
        return;
    }
    tar_close(&tar);

    file_ptr file(file_open(path, "rb"));
    const std::optional<std::uint64_t> length = file ? file_size(file.get()) : std::nullopt;
    if (!length || *length == 0) {
        record_step("configuration", path, false, 0, "cannot be read");
        return;
    }
    // The upload counts its bytes in 32 bits; a larger file is not cut short.
    bytes data;
    try {
        if (*length <= std::numeric_limits<std::uint32_t>::max())
            data.resize(static_cast<std::size_t>(*length));
    } catch (const std::bad_alloc &) {
        data.clear();
    }
    // A file that changed under us is not sent half-read.
    if (data.empty() || std::fread(data.data(), 1, data.size(), file.get()) != data.size()) {
        std::printf("%s\terror reading '%s'\r\n", TAG, path);
        record_step("configuration", path, false, 0, "cannot be read");
        return;
    }
    upload(base, address, data, path);
}

} // namespace

int action_put_backup(const char *address, const char *file_in)
{
    if (!address || !file_in) {
        missing_arguments("put_backup");
        return 2;
    }
    if (!path_fits(file_in)) {
        diag("--backupfilein: the path is longer than %zu characters: '%s'", PATH_FIELD_SIZE - 1, file_in);
        record_step("backup", file_in, false, 0, "the path is too long");
        return 1;
    }
    // Its model name is shown, its firmware version decides the conversions.
    controller_status status;
    std::uint64_t received = 0;
    const int status_result = status_get(address, &status, &received);
    record_identity(status.model_name, status.firmware_version, status.serial_number);
    record_step("status", "status.ssi", status_result == 0, received,
                transfer_last_error().empty() ? "the answer names no model" : transfer_last_error());
    if (status_result != 0) {
        status_free(&status);
        return status_result;
    }
    std::printf("model_name=%s\r\n", console_line(show(status.model_name)).c_str());

    std::string base;
    if (format_alloc(base, "http://%s", address) < 0)
        return 0;

    int result = 0;
    if (std::string why; !backup_entries_fit(file_in, why)) {
        diag("%s %s; nothing is restored", file_in, why.c_str());
        record_step("backup", file_in, false, 0, why);
        result = 1;
    } else if (mzip::zip_handle_ptr zip{mzip::zip_open(file_in, 0, 'r')}) {
        result = restore_zip(zip.get(), file_in, status, base.c_str(), address);
    } else {
        upload_tar_file(file_in, base.c_str(), address);
    }
    status_free(&status);
    return result;
}
