#include "action/get_backup.h"

#include "base/format.h"
#include "controller/download.h"
#include "model/catalogue.h"
#include "zip/zip_layer.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

// Compression level of the backup archive.
constexpr int BACKUP_ZIP_LEVEL = 6;

// A backup that cannot be stored is said so: the configurations were fetched,
// but the technician must not leave believing they are on disk.
void report_not_stored(const std::string &path)
{
    std::printf("backup\terror writing '%s'.\r\n", path.c_str());
}

struct file_close {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

bool same(const char *text, const char *wanted) { return text && std::strcmp(text, wanted) == 0; }

// Opens the time-stamped archive "backup_<address>_VESTRA_<date>_<time>.zip"
// in `directory` and names it in `path`; null when it cannot be made.
mzip::zip_handle_t *open_backup_zip(const char *directory, const char *address, std::string &path)
{
    std::time_t now = std::time(nullptr);
    std::tm local{}; // year 1900, month 1, day 0 when the local time is unknown
    if (now == static_cast<std::time_t>(-1) || !localtime_r(&now, &local))
        local = std::tm{};
    if (format_alloc(path, "%s/backup_%s_VESTRA_%04u%02u%02u_%02u%02u%02u.zip", directory, address,
                     static_cast<unsigned>(local.tm_year + 1900), static_cast<unsigned>(local.tm_mon + 1),
                     static_cast<unsigned>(local.tm_mday), static_cast<unsigned>(local.tm_hour),
                     static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec)) < 0)
        return nullptr;
    mzip::zip_handle_t *zip = mzip::zip_open(path.c_str(), BACKUP_ZIP_LEVEL, 'w');
    if (!zip)
        report_not_stored(path);
    return zip;
}

// Stores one configuration as "<directory>/<name>.tar". A file that cannot be
// written whole is removed rather than left half-written.
void store_tar_file(const char *directory, const char *name, const backup_download &download)
{
    std::string path;
    if (format_alloc(path, "%s/%s.tar", directory, name) < 0)
        return;
    std::unique_ptr<std::FILE, file_close> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        report_not_stored(path);
        return;
    }
    bool written = download.size == 0 ||
                   std::fwrite(download.data.data(), 1, download.size, file.get()) == download.size;
    if (std::fclose(file.release()) != 0 || !written) {
        std::remove(path.c_str());
        report_not_stored(path);
    }
}

// Stores one configuration as the entry "<name>.tar" of the backup archive.
void store_zip_entry(mzip::zip_handle_t *zip, const char *name, const backup_download &download)
{
    std::string entry;
    if (format_alloc(entry, "%s.tar", name) < 0)
        return;
    if (mzip::zip_entry_open(zip, entry.c_str()) != 0)
        return;
    mzip::zip_entry_write(zip, download.data.data(), download.size);
    mzip::zip_entry_close(zip);
}

} // namespace

int action_get_backup(const char *address, const char *directory, const char *type,
                      const std::vector<std::string> *names)
{
    const bool to_zip = same(type, "zip");
    const bool to_directory = same(type, "directory");
    // Both outputs need the directory; any other output type stores nothing.
    if (!address || ((to_zip || to_directory) && !directory)) {
        std::fputs("Missing arguments for action get_backup.", stdout);
        return 2;
    }
    std::string base;
    if (format_alloc(base, "http://%s", address) < 0)
        return 0;

    std::vector<const char *> list;
    if (names)
        for (const std::string &name : *names)
            list.push_back(name.c_str());
    else
        for (const config_entry &config : config_catalogue)
            list.push_back(config.name);

    // The archive is written when it is closed, whatever else happens.
    mzip::zip_handle_ptr zip;
    std::string zip_path;
    if (to_zip)
        zip.reset(open_backup_zip(directory, address, zip_path));

    for (const char *name : list) {
        backup_download download;
        if (backup_fetch(base.c_str(), name, &download) != 0)
            continue;
        std::puts("OK");
        if (to_directory)
            store_tar_file(directory, name, download);
        else if (zip)
            store_zip_entry(zip.get(), name, download);
    }
    if (zip && mzip::zip_close(zip.release()) != 0)
        report_not_stored(zip_path);
    return 0;
}
