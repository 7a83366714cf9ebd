#include "action/show_backup.h"

#include "action/report.h"
#include "base/diag.h"
#include "base/format.h"
#include "base/text.h"
#include "model/backup_file.h"
#include "model/catalogue.h"
#include "model/channel_file.h"
#include "model/config_archive.h"
#include "model/csv_export.h"
#include "tar/tar.h"

#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr const char *TAG = "show_backup";

// Where the backup came from, as its status document says; nothing in it
// drives the terminal.
std::string identity_text(const config_archive_view &view)
{
    return "model " + console_line(show(view.model_name)) + ", firmware " + console_line(show(view.firmware_version)) +
           ", serial " + console_line(show(view.serial_number)) + ", mac " + console_line(show(view.mac));
}

// Which firmware takes channel files of `layout` as they are, from the
// version table ("firmware before 1.3.1", "firmware 1.5.0 and newer"), and
// what newer and older firmware does with them.
std::string firmware_for_layout(std::uint32_t layout)
{
    std::optional<std::size_t> first, last;
    for (std::size_t row = 0; row < std::size(config_versions); ++row)
        if (config_expected_layout(config_versions[row].index) == layout) {
            if (!first)
                first = row;
            last = row;
        }
    if (!first)
        return "no firmware takes them";
    const bool oldest = *first == 0;
    const bool newest = *last + 1 == std::size(config_versions);
    const std::string from = config_versions[*first].firmware_version;
    const std::string before = newest ? "" : config_versions[*last + 1].firmware_version;
    std::string text = "restored unchanged to ";
    text += oldest && newest ? "every firmware"
            : oldest         ? "firmware before " + before
            : newest         ? "firmware " + from + " and newer"
                             : "firmware " + from + " to before " + before;
    if (!newest)
        text += ", converted for newer firmware";
    if (!oldest)
        text += ", refused by older firmware";
    return text;
}

struct channel_findings {
    std::uint32_t files = 0;
    std::uint32_t intact = 0;
    std::set<std::uint32_t> layouts;
};

// The line of a channel file: its layout, checksum and devices; false when
// it is not intact.
bool describe_channel_file(const std::vector<std::uint8_t> &file, std::string &line, channel_findings &channels)
{
    const dali_layout *layout = channel_file_layout(file.data(), file.size());
    if (!layout) {
        line += "  layout unknown";
        return false;
    }
    const auto size = static_cast<std::uint32_t>(file.size());
    const bool valid = size == layout->file_size && dali_file_checksum_valid(file.data(), size);
    std::uint32_t devices = 0;
    for (std::uint32_t slot = 0; slot < DALI_DEVICE_COUNT; ++slot)
        devices += channel_slot_holds_device(file.data() + dali_device_offset(*layout, slot)) ? 1 : 0;
    std::string more;
    format_alloc(more, "  layout %u  checksum %s  %u devices", layout->version, valid ? "valid" : "INVALID", devices);
    line += more;
    if (valid)
        channels.layouts.insert(layout->version);
    return valid;
}

// What the entries of a backup come to, each read once: the line of every
// entry, whether all are intact, the channel files, and where the backup
// came from (the first status document that names a model or firmware).
struct backup_findings {
    std::vector<std::string> lines;
    bool intact = true;
    channel_findings channels;
    std::optional<config_archive_view> identity;
};

// The line of one entry of the backup (its archive read once); false when it
// is damaged.
bool show_member(const backup_contents &backup, const backup_member &member, backup_findings &found)
{
    std::string &line = found.lines.emplace_back();
    if (!member.config) {
        format_alloc(line, "  %-13s not a configuration (put_backup leaves it out)", console_line(member.name).c_str());
        return true;
    }
    const char *label = member.config->name;
    const bool channel = config_kind_is_channel(member.config->kind);
    channel_findings &channels = found.channels;
    channels.files += channel ? 1 : 0;
    std::string why;
    const std::optional<std::vector<std::uint8_t>> archive = backup_member_archive(backup, member, &why);
    if (!archive) {
        format_alloc(line, "  %-13s damaged: %s", label, why.c_str());
        record_step("configuration", label, false, 0, why);
        return false;
    }
    config_archive_view view =
        config_archive_inspect(archive->data(), static_cast<std::uint32_t>(archive->size()), member.config->path);
    if (!found.identity && (view.model_name || view.firmware_version))
        found.identity = view;
    if (view.listing != TAR_OK) {
        if (view.listing == 1)
            format_alloc(line, "  %-13s damaged: its archive holds no entry", label);
        else
            format_alloc(line, "  %-13s damaged: its archive does not list to its end (tar error %d)", label,
                         view.listing);
        record_step("configuration", label, false, 0, "its archive does not list to its end");
        return false;
    }
    if (!view.file) {
        format_alloc(line, "  %-13s damaged: %s %s", label, member.config->path, view.path ? "cannot be read" : "is missing");
        record_step("configuration", label, false, 0, std::string(member.config->path) + " is missing or unreadable");
        return false;
    }
    const std::vector<std::uint8_t> &file = *view.file;
    format_alloc(line, "  %-13s %6zu bytes", label, file.size());
    bool intact = true;
    if (channel) {
        intact = describe_channel_file(file, line, channels);
        channels.intact += intact ? 1 : 0;
    } else if (config_kind_is_cd(member.config->kind) && file.size() >= DALI_REVISION) {
        const std::uint32_t version = dali_get_u32(file.data(), DALI_LAYOUT_VERSION);
        std::string more;
        format_alloc(more, "  version %u%s", version, version > 2 ? " (put_backup refuses it)" : "");
        line += more;
    }
    record_step("configuration", label, intact, file.size(), "its channel file is not intact");
    return intact;
}

// The configurations the backup holds more than once, in the order they
// first appear, with their counts: which of them put_backup would leave on
// the controller is an accident of their order.
std::vector<std::pair<const config_entry *, std::size_t>> repeated_configs(const backup_contents &backup)
{
    std::vector<std::pair<const config_entry *, std::size_t>> repeated;
    std::map<const config_entry *, std::size_t> seen;
    for (const backup_member &member : backup.members)
        if (member.config && ++seen[member.config] == 2)
            repeated.emplace_back(member.config, 0);
    for (auto &[config, count] : repeated)
        count = seen[config];
    return repeated;
}

} // namespace

int action_show_backup(const char *backup_file)
{
    if (!backup_file) {
        missing_arguments("show_backup");
        return 2;
    }
    std::string why;
    int tar_error = 0;
    const std::optional<backup_contents> backup = backup_file_read(backup_file, why, tar_error);
    if (!backup) {
        std::printf("%s\t'%s' %s", TAG, backup_file, why.c_str());
        if (tar_error != TAR_OK)
            std::printf(" (tar error %d: %s)", tar_error, tar_strerror(tar_error));
        std::puts(".");
        record_step("backup", backup_file, false, 0, why);
        return 1;
    }
    std::size_t configs = 0;
    for (const backup_member &member : backup->members)
        configs += member.config ? 1 : 0;
    std::printf("%s\t'%s': %s, %zu configuration%s\n", TAG, backup_file,
                backup->archive ? "zip backup" : "single configuration archive", configs, configs == 1 ? "" : "s");
    if (configs == 0) {
        std::puts("no configuration archive in it: nothing put_backup could restore");
        record_step("backup", backup_file, false, 0, "holds no configuration archive");
        return 1;
    }

    // Each entry is read once; its line waits until where the backup came
    // from is known.
    backup_findings found;
    for (const backup_member &member : backup->members)
        found.intact = show_member(*backup, member, found) && found.intact;
    const std::optional<config_archive_view> &first_view = found.identity;
    std::printf("from %s\n",
                first_view ? identity_text(*first_view).c_str() : "a controller whose status document cannot be read");
    if (first_view)
        record_identity(first_view->model_name, first_view->firmware_version, first_view->serial_number);
    for (const std::string &line : found.lines)
        std::puts(line.c_str());
    // A configuration held twice is no backup of one controller's state.
    const auto repeated = repeated_configs(*backup);
    for (const auto &[config, count] : repeated) {
        std::printf("  %-13s %zu times in the backup: which one is meant cannot be told\n", config->name, count);
        record_step("configuration", config->name, false, 0, "in the backup " + std::to_string(count) + " times");
    }

    const channel_findings &channels = found.channels;
    if (channels.files == 0) {
        std::puts("no channel file");
    } else if (channels.intact < channels.files) {
        std::printf("%u of %u channel files intact: do not restore this backup as it is\n", channels.intact,
                    channels.files);
    } else if (!repeated.empty()) {
        std::printf("every channel file intact (%u), but configurations are in the backup more than once: do not "
                    "restore it as it is\n", channels.files);
    } else if (channels.layouts.size() == 1) {
        const std::uint32_t layout = *channels.layouts.begin();
        std::printf("every channel file intact (%u), layout %u: %s\n", channels.files, layout,
                    firmware_for_layout(layout).c_str());
    } else {
        std::printf("every channel file intact (%u), but of layouts %u to %u: no firmware takes them all unchanged\n",
                    channels.files, *channels.layouts.begin(), *channels.layouts.rbegin());
    }
    return found.intact && repeated.empty() ? 0 : 1;
}
