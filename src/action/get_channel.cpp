#include "action/get_channel.h"

#include "action/channel_pairs.h"
#include "action/report.h"
#include "base/cleanup.h"
#include "base/diag.h"
#include "base/file_put.h"
#include "base/format.h"
#include "base/text.h"
#include "controller/download.h"
#include "model/backup_file.h"
#include "model/catalogue.h"
#include "model/config_archive.h"
#include "model/csv_export.h"
#include "model/sheet.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace {

constexpr const char *TAG = "get_channel";

// The channel's file, downloaded from the controller (with the download's
// progress and listing lines, then "OK"), or nothing after its messages with
// `why` set.
std::optional<std::vector<std::uint8_t>> from_controller(const char *address, const std::string &name,
                                                         const std::string &path, std::string &why)
{
    std::string base;
    if (format_alloc(base, "http://%s", address) < 0)
        return std::nullopt;
    backup_download download;
    const int fetched = backup_fetch(base.c_str(), name.c_str(), &download);
    record_identity(download.model_name, download.firmware_version, download.serial_number);
    if (fetched != 0) {
        why = fetch_failure(fetched);
        return std::nullopt;
    }
    std::puts("OK");
    std::vector<std::uint8_t> file;
    const std::uint32_t held = mem_buffer_held(download);
    if (!backup_take_file(download.data.data(), held, path.c_str(), TAG, file)) {
        why = path + " is missing, empty or unreadable";
        return std::nullopt;
    }
    return file;
}

// The channel's file out of a backup that was read already.
std::optional<std::vector<std::uint8_t>> from_backup(const backup_contents &backup, const char *backup_file,
                                                     const std::string &name, const std::string &path,
                                                     std::string &why)
{
    const config_entry *config = config_by_name(name.c_str());
    std::size_t copies = 0;
    const backup_member *member = config ? backup_member_of(backup, *config, &copies) : nullptr;
    std::string unread;
    // Of two copies neither is the channel's file: it is not guessed.
    const std::optional<std::vector<std::uint8_t>> archive =
        member && copies == 1 ? backup_member_archive(backup, *member, &unread) : std::nullopt;
    if (!member) {
        why = std::string(backup_file) + " holds no " + (config ? config->zip_name : name);
    } else if (copies > 1) {
        why = std::string(backup_file) + " holds " + config->zip_name + " " + std::to_string(copies) +
              " times: which one is meant cannot be told";
    } else if (!archive) {
        why = std::string(backup_file) + ": " + config->zip_name + ": " + unread;
    } else {
        const auto size = static_cast<std::uint32_t>(archive->size());
        const config_archive_view view = config_archive_inspect(archive->data(), size, member->config->path);
        record_identity(view.model_name, view.firmware_version, view.serial_number);
        std::vector<std::uint8_t> file;
        if (backup_take_file(archive->data(), size, path.c_str(), TAG, file))
            return file;
        return std::nullopt;
    }
    diag("%s", why.c_str());
    return std::nullopt;
}

// One pair: the CSV file written, or why not (after the messages that say so).
std::string export_channel(const char *address, const char *backup_file, const backup_contents *backup,
                           std::uint32_t channel, const std::string &csv_path, std::uint64_t &bytes)
{
    const std::string shown_path = console_line(csv_path);
    std::printf("CH=%d\n", static_cast<int>(channel));
    std::printf("FILE=%s\n", shown_path.c_str());
    if (!path_fits(csv_path.c_str())) {
        diag("--channelcsvfile: the path is longer than %zu characters: '%s'", PATH_FIELD_SIZE - 1, shown_path.c_str());
        return "the CSV file's path is too long";
    }
    std::string name, path, why = "the channel file cannot be read";
    if (format_alloc(name, CONFIG_CHANNEL_NAME, channel) < 0 || format_alloc(path, CONFIG_CHANNEL_PATH, channel) < 0)
        return why;
    const config_entry *config = config_by_name(name.c_str());
    if (!config || !config_kind_is_channel(config->kind)) {
        diag("--channel: %d is no DALI channel (%u to %u); nothing is fetched for it", static_cast<int>(channel),
             CONFIG_KIND_DALI_FIRST, CONFIG_KIND_DALI_LAST);
        return "no such channel";
    }
    // An existing file is never replaced, and nothing is fetched for a file
    // that could not be written: its folder, and its name in that folder.
    if (path_stat(csv_path, false).error == 0) {
        diag("%s: exists already; it is not replaced", shown_path.c_str());
        return csv_path + " exists already";
    }
    int unusable = folder_writable(folder_of(csv_path));
    if (unusable == 0)
        unusable = file_name_fits(csv_path);
    if (unusable != 0) {
        diag("%s: %s", shown_path.c_str(), error_text(unusable));
        return error_text(unusable);
    }
    const std::optional<std::vector<std::uint8_t>> file =
        backup ? from_backup(*backup, backup_file, name, path, why) : from_controller(address, name, path, why);
    if (!file)
        return why;
    // From here on a failure is the pair's last line, after the download's "OK".
    const dali_layout *layout = channel_file_layout(file->data(), file->size());
    if (!layout) {
        std::printf("%s\terror '%s': layout version %u of %zu bytes is no channel file layout this tool knows.\n", TAG,
                    path.c_str(), file->size() >= DALI_DEVICES ? dali_get_u32(file->data(), DALI_LAYOUT_VERSION) : 0u,
                    file->size());
        return "unknown channel file layout";
    }
    const channel_sheet sheet = channel_sheet_export(file->data(), *layout);
    const bool workbook = sheet_is_workbook(csv_path);
    for (const std::uint32_t slot : sheet.names_not_utf8) {
        const std::uint8_t *entry = file->data() + dali_device_offset(*layout, slot);
        const char *stored = reinterpret_cast<const char *>(entry + layout->name);
        const std::string device = console_line(std::string_view(stored, strnlen(stored, DALI_DEV_NAME_SIZE - 1)));
        if (workbook)
            diag("%s: the name of the device in slot %u is not UTF-8 text (\"%s\"): a workbook cannot hold it, so "
                 "each byte that is not UTF-8 is written as U+FFFD and setup_channel with this workbook would change "
                 "the name; a CSV file keeps it byte for byte", shown_path.c_str(), slot, device.c_str());
        else
            diag("%s: the name of the device in slot %u is not UTF-8 text (\"%s\"): it is written byte for byte",
                 shown_path.c_str(), slot, device.c_str());
    }
    // Written whole or not at all, and never over a file that appeared meanwhile.
    std::uint64_t written = 0;
    int error = 0;
    if (workbook) {
        std::string temp, reason;
        error = file_stage(csv_path, temp);
        if (error == 0 && channel_sheet_workbook(sheet, temp, name.c_str(), reason) != 0) {
            file_discard(temp);
            std::printf("%s\terror writing '%s': %s.\n", TAG, shown_path.c_str(), reason.c_str());
            return "the workbook cannot be written: " + reason;
        }
        if (error == 0) {
            written = file_size(temp);
            error = file_place(temp, csv_path, file_put_mode::keep_existing);
        }
    } else {
        const std::string text = channel_sheet_csv(sheet);
        error = file_put(csv_path, text.data(), text.size(), file_put_mode::keep_existing);
        written = text.size();
    }
    if (error != 0) {
        why = error == EEXIST ? "exists already; it is not replaced" : error_text(error);
        std::printf("%s\terror writing '%s': %s.\n", TAG, shown_path.c_str(), why.c_str());
        return why;
    }
    record_file(csv_path);
    bytes = written;
    std::printf("%s\t%u devices of channel %u (layout %u) written to '%s'.\n", TAG, sheet.devices, channel,
                layout->version, shown_path.c_str());
    std::puts("OK");
    if (workbook && !sheet.names_not_utf8.empty())
        return std::to_string(sheet.names_not_utf8.size()) + " name" + (sheet.names_not_utf8.size() == 1 ? "" : "s") +
               " that are not UTF-8 text changed in the workbook";
    return {};
}

} // namespace

int action_get_channel(const char *address, const char *backup_file, const std::vector<std::int32_t> &channels,
                       const std::optional<std::vector<std::string>> &csv_files)
{
    const bool have_channels = !channels.empty() && channels.front() != 0;
    const bool have_files = csv_files && !csv_files->empty();
    if ((!address && !backup_file) || !have_channels || !have_files) {
        missing_arguments("get_channel");
        return 2;
    }
    cleanup_on_signal();
    // A backup file is read once for all pairs; with one, nothing goes over the network.
    std::optional<backup_contents> backup;
    if (backup_file) {
        if (!path_fits(backup_file)) {
            diag("--backupfilein: the path is longer than %zu characters: '%s'", PATH_FIELD_SIZE - 1, backup_file);
            record_step("backup", backup_file, false, 0, "the path is too long");
            return 1;
        }
        std::string why;
        int tar_error = 0;
        backup = backup_file_read(backup_file, why, tar_error);
        if (!backup) {
            diag("%s %s", backup_file, why.c_str());
            record_step("backup", backup_file, false, 0, why);
            return 1;
        }
    }
    int result = 0;
    const std::vector<std::string> &files = *csv_files;
    channel_pairs_unmatched(channels, files);
    for (std::size_t i = 0; i < channel_pair_count(channels, files); ++i) {
        std::uint64_t bytes = 0;
        const std::string failure = export_channel(address, backup_file, backup ? &*backup : nullptr,
                                                   static_cast<std::uint32_t>(channels[i]), files[i], bytes);
        record_step("channel", std::to_string(channels[i]), failure.empty(), bytes, failure);
        if (!failure.empty())
            result = 1;
    }
    return result;
}
