#include "action/get_backup.h"

#include "action/report.h"
#include "base/cleanup.h"
#include "base/diag.h"
#include "base/file_put.h"
#include "base/format.h"
#include "base/limits.h"
#include "base/system.h"
#include "base/text.h"
#include "controller/download.h"
#include "controller/transfer.h"
#include "model/catalogue.h"
#include "model/config_archive.h"
#include "zip/zip_layer.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

// Compression level of the backup archive.
constexpr int BACKUP_ZIP_LEVEL = 6;
// A time-stamped name that is taken gets _2, _3, ... up to this.
constexpr int BACKUP_NAME_TRIES = 99;

// A backup that cannot be stored is said so, with the reason: the
// technician must not leave believing it is on disk.
void report_not_stored(const std::string &path, const std::string &reason)
{
    std::printf("backup\terror writing '%s': %s.\r\n", path.c_str(), reason.c_str());
    record_step("output", path, false, 0, reason);
}

bool same(const char *text, const char *wanted) { return text && std::strcmp(text, wanted) == 0; }

// The configurations to fetch: the given names, each once and each a name
// that can stand in a file name, or the whole catalogue.
std::vector<const char *> chosen_configs(const std::vector<std::string> *names)
{
    std::vector<const char *> list;
    if (!names) {
        for (const config_entry &config : config_catalogue)
            list.push_back(config.name);
        return list;
    }
    std::set<std::string> seen;
    for (const std::string &name : *names) {
        if (!config_name_valid(name.c_str())) {
            diag("--backupconfig: '%s' is no configuration name (not empty, \".\" or \"..\", no '/', '\\' or "
                 "control characters); left out", console_line(name).c_str());
            record_step("configuration", name, false, 0, "no configuration name");
        }
        else if (!seen.insert(name).second)
            diag("--backupconfig: '%s' is named twice; it is fetched once", console_line(name).c_str());
        else
            list.push_back(name.c_str());
    }
    return list;
}

// "<directory>/backup_<address>_VESTRA_<date>_<time>.zip" at the local time now.
std::optional<std::string> stamped_name(const char *directory, const char *address)
{
    std::tm local{}; // year 1900, month 1, day 0 when the local time is unknown
    if (!local_time(std::time(nullptr), local))
        local = std::tm{};
    // The address as it can stand in a file name (on Windows its port
    // separator ':' becomes '_').
    const std::string name_address = file_name_safe(address);
    std::string path;
    if (format_alloc(path, "%s/backup_%s_VESTRA_%04u%02u%02u_%02u%02u%02u.zip", directory, name_address.c_str(),
                     static_cast<unsigned>(local.tm_year + 1900), static_cast<unsigned>(local.tm_mon + 1),
                     static_cast<unsigned>(local.tm_mday), static_cast<unsigned>(local.tm_hour),
                     static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec)) < 0)
        return std::nullopt;
    return path;
}

// Claims the archive's name by creating the file: the time-stamped name, or
// the first free one after it (_2, _3, ...), so that no backup ever replaces
// another. The empty file is removed again if the run is interrupted.
std::optional<std::string> claim_archive_name(const std::string &stamped)
{
    const std::string stem = stamped.substr(0, stamped.size() - 4); // without ".zip"
    for (int n = 1; n <= BACKUP_NAME_TRIES; ++n) {
        const std::string path = n == 1 ? stamped : stem + "_" + std::to_string(n) + ".zip";
        signal_block block;
        const int error = file_create_new(path);
        if (error == 0) {
            cleanup_add(path);
            if (n > 1)
                diag("%s exists already; this backup is written to %s", stamped.c_str(), path.c_str());
            return path;
        }
        if (error != EEXIST) {
            report_not_stored(path, error_text(error));
            return std::nullopt;
        }
    }
    report_not_stored(stamped, "it and the names up to _" + std::to_string(BACKUP_NAME_TRIES) + " exist already");
    return std::nullopt;
}

// Opens the backup archive under a name of its own; null after the error line.
mzip::zip_handle_t *open_backup_zip(const char *directory, const char *address, std::string &path)
{
    const std::optional<std::string> stamped = stamped_name(directory, address);
    if (!stamped)
        return nullptr;
    const std::optional<std::string> claimed = claim_archive_name(*stamped);
    if (!claimed)
        return nullptr;
    path = *claimed;
    std::string reason;
    mzip::zip_handle_t *zip = mzip::zip_open(path.c_str(), BACKUP_ZIP_LEVEL, 'w', &reason);
    if (!zip) {
        report_not_stored(path, reason);
        file_remove(path);
        cleanup_forget(path);
    }
    return zip;
}

// Whether loose backup files can be made in `directory`.
bool directory_writable(const char *directory)
{
    if (const int error = folder_writable(directory)) {
        report_not_stored(directory, error_text(error));
        return false;
    }
    return true;
}

// A configuration archive that lists to its end but lacks the file it is
// for is kept as the controller handed it out (a configuration that is not
// set up may come that way), but said: a restore will leave it out.
void warn_if_without_file(const char *name, const backup_download &download)
{
    const config_entry *config = config_by_name(name);
    if (!config)
        return;
    if (!config_archive_inspect(download.data.data(), mem_buffer_held(download), config->path).file)
        diag("%s: the controller's archive holds no readable %s; it is stored as it is, but put_backup leaves it out",
             name, config->path);
}

// Stores one configuration as "<directory>/<name>.tar", replacing the one of
// an earlier run: the file is either the old one or the whole new one.
bool store_tar_file(const char *directory, const char *name, const backup_download &download)
{
    std::string path;
    if (format_alloc(path, "%s/%s.tar", directory, file_name_safe(name).c_str()) < 0)
        return false;
    if (const int error = file_put(path, download.data.data(), download.size, file_put_mode::replace)) {
        report_not_stored(path, error_text(error));
        return false;
    }
    record_file(path);
    return true;
}

// Stores one configuration as the entry "<name>.tar" of the backup archive.
bool store_zip_entry(mzip::zip_handle_t *zip, const std::string &zip_path, const char *name,
                     const backup_download &download)
{
    std::string entry;
    if (format_alloc(entry, "%s.tar", name) < 0)
        return false;
    if (mzip::zip_entry_open(zip, entry.c_str()) != 0 ||
        mzip::zip_entry_write(zip, download.data.data(), download.size) != 0 || mzip::zip_entry_close(zip) != 0) {
        report_not_stored(zip_path, "entry " + entry + " cannot be added");
        return false;
    }
    return true;
}

// Counts what was stored, for the line that ends the run.
struct stored_count {
    std::size_t fetched = 0;
    std::size_t stored = 0;
    std::vector<std::string> not_stored;
};

// One line that says what the run did: how many configurations are stored
// where (`where` empty: nowhere, as the output type asked), and which not.
void report_what_was_stored(const stored_count &count, std::size_t wanted, const std::string &where,
                            bool output_named)
{
    if (where.empty()) {
        diag("get_backup: %zu of %zu configurations fetched, none stored%s", count.fetched, wanted,
             output_named ? "" : " (no --backupfileouttype given)");
        return;
    }
    std::string missing;
    for (const std::string &name : count.not_stored)
        missing += (missing.empty() ? "; not stored: " : ", ") + console_line(name);
    diag("get_backup: %zu of %zu configurations stored in %s%s", count.stored, wanted, where.c_str(), missing.c_str());
}

} // namespace

std::optional<std::string> backup_output_complaint(const char *directory, const char *type)
{
    if (same(type, "zip") || same(type, "directory") || (!type && !directory))
        return std::nullopt;
    const char *rule = "--backupfileouttype must be zip or directory";
    if (!type)
        return "--backupfileout '" + console_line(directory) + "' without --backupfileouttype stores nothing: " + rule +
               "; add --backupfileouttype zip";
    // What was meant, read without letter case and blanks around it.
    std::string typed = type;
    typed.erase(0, typed.find_first_not_of(" \t"));
    typed.erase(typed.find_last_not_of(" \t") + 1);
    const char *meant = strcasecmp(typed.c_str(), "zip") == 0 ? "zip"
                        : !typed.empty() && strncasecmp(typed.c_str(), "directory", typed.size()) == 0 ? "directory"
                                                                                                        : nullptr;
    return "--backupfileouttype '" + console_line(type) + "' stores nothing: " + rule + "; write --backupfileouttype " +
           (meant ? meant : "zip or --backupfileouttype directory");
}

int action_get_backup(const char *address, const char *directory, const char *type,
                      const std::vector<std::string> *names)
{
    const bool to_zip = same(type, "zip");
    const bool to_directory = same(type, "directory");
    // Both outputs need the directory; any other output type stores nothing.
    if (!address || ((to_zip || to_directory) && !directory)) {
        missing_arguments("get_backup");
        return 2;
    }
    if ((to_zip || to_directory) && !path_fits(directory)) {
        diag("--backupfileout: the path is longer than %zu characters: '%s'", PATH_FIELD_SIZE - 1, directory);
        record_step("output", directory, false, 0, "the path is too long");
        return 1;
    }
    // An output type that stores nothing is the specified way to only look
    // at the configurations, but never what was meant by a folder or a type.
    const std::optional<std::string> complaint = backup_output_complaint(directory, type);
    if (complaint) {
        diag("%s", complaint->c_str());
        record_step("output", directory ? directory : type, false, 0,
                    "nothing is stored: --backupfileouttype must be zip or directory");
    }
    std::string base;
    if (format_alloc(base, "http://%s", address) < 0)
        return 0;
    const std::vector<const char *> list = chosen_configs(names);

    // Where the backup goes is known to work before anything is fetched. An
    // interrupted run leaves no half-written file behind.
    cleanup_on_signal();
    mzip::zip_handle_ptr zip;
    std::string zip_path;
    if (to_zip) {
        zip.reset(open_backup_zip(directory, address, zip_path));
        if (!zip)
            return 1;
    } else if (to_directory && !directory_writable(directory)) {
        return 1;
    }

    int result = 0;
    stored_count count;
    // The steps whose configuration went into the archive: stored only once
    // it is written.
    std::vector<std::size_t> in_archive;
    for (const char *name : list) {
        backup_download download;
        const int fetched = backup_fetch(base.c_str(), name, &download);
        record_identity(download.model_name, download.firmware_version, download.serial_number);
        if (fetched != 0) {
            record_step("configuration", name, false, download.size, fetch_failure(fetched));
            count.not_stored.push_back(name);
            result = 1;
            continue;
        }
        // A backup holds only what a restore takes back: an archive larger
        // than any configuration is said and left out, never stored with "OK".
        if (mem_buffer_held(download) > BACKUP_ENTRY_MAX) {
            diag("%s: its archive of %u bytes is larger than any configuration archive (%u bytes); it is not stored, "
                 "since no restore would take it back", console_line(name).c_str(), mem_buffer_held(download),
                 BACKUP_ENTRY_MAX);
            record_step("configuration", name, false, download.size, "larger than any configuration archive");
            count.not_stored.push_back(name);
            result = 1;
            continue;
        }
        ++count.fetched;
        warn_if_without_file(name, download);
        // "OK" only for what was stored (or when nothing is to be stored).
        bool stored = true;
        if (to_directory)
            stored = store_tar_file(directory, name, download);
        else if (zip)
            stored = store_zip_entry(zip.get(), zip_path, name, download);
        const std::size_t step = record_step("configuration", name, stored, download.size, "not stored");
        if (stored && zip)
            in_archive.push_back(step);
        if (stored) {
            std::puts("OK");
            ++count.stored;
        } else {
            count.not_stored.push_back(name);
            result = 1;
        }
    }
    std::string where = to_directory ? "folder '" + std::string(directory) + "'" : "";
    if (zip) {
        // The archive is written whole, or not at all; a signal waits until
        // it is one or the other.
        signal_block block;
        std::string reason;
        if (mzip::zip_close(zip.release(), &reason) != 0) {
            report_not_stored(zip_path, reason);
            file_remove(zip_path);
            for (const std::size_t step : in_archive)
                record_step_failed(step, "not stored: " + reason);
            result = 1;
            // Nothing of the run is on disk.
            count.stored = 0;
            count.not_stored.clear();
            for (const char *name : list)
                count.not_stored.push_back(name);
        } else {
            record_file(zip_path);
        }
        where = "'" + zip_path + "'";
        cleanup_forget(zip_path);
    }
    report_what_was_stored(count, list.size(), where, directory || type);
    return result;
}
