// setup_channel for one channel/CSV pair: the controller's channel file is
// downloaded, the CSV file's device rows are applied to it, and the changed
// file goes back as a fresh one-entry archive followed by a restore request.
#include "action/setup_channel.h"

#include "action/report.h"
#include "base/diag.h"
#include "base/format.h"
#include "base/text.h"
#include "controller/download.h"
#include "controller/transfer.h"
#include "model/catalogue.h"
#include "model/channel_file.h"
#include "model/csv.h"
#include "tar/tar.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr std::size_t CONFIG_NAME_SIZE = 32;

// Why a CSV file changed nothing, in a technician's words.
void report_unused_csv(const char *path, std::uint32_t channel, const csv_outcome &outcome, int loaded)
{
    if (loaded == CSV_NOT_READ)
        diag("%s: %s; channel %u is left as it is", show(path), std::strerror(outcome.open_error), channel);
    else if (!outcome.version_1)
        diag("%s: no device row applied: the file has no \"#dali-channel-csv-version: 1\" line; channel %u is left "
             "as it is", show(path), channel);
    else
        diag("%s: no device row applied: every row needs 12 cells and a slot from 0 to 63; channel %u is left as it "
             "is", show(path), channel);
}

// Rows of a CSV file that was applied but not in whole: said once, with the
// first rows' numbers, so that no device goes missing unnoticed.
void report_skipped_rows(const char *path, const csv_outcome &outcome)
{
    if (outcome.skipped == 0)
        return;
    std::string rows;
    for (const std::uint32_t row : outcome.skipped_rows)
        rows += (rows.empty() ? "" : ", ") + std::to_string(row);
    if (outcome.skipped > outcome.skipped_rows.size())
        rows += ", ...";
    diag("%s: %u row%s left out (row%s %s): a device row needs 12 cells and a slot from 0 to 63", show(path),
         outcome.skipped, outcome.skipped == 1 ? "" : "s", outcome.skipped_rows.size() == 1 ? "" : "s", rows.c_str());
}

// The line that ends a pair whose file was applied: how many device rows went
// to which channel, how many were left out, and whether the channel went up.
void report_pair(std::uint32_t channel, const char *path, const csv_outcome &outcome, const std::string &failure)
{
    const char *rows = outcome.applied == 1 ? "row" : "rows";
    if (failure.empty())
        diag("setup_channel: %u device %s of %s applied to channel %u and uploaded, %u left out", outcome.applied,
             rows, show(path), channel, outcome.skipped);
    else
        diag("setup_channel: %u device %s of %s applied to channel %u, %u left out, but the channel is not set "
             "up: %s", outcome.applied, rows, show(path), channel, outcome.skipped, failure.c_str());
}

}  // namespace

int channel_setup(const char *address, std::uint32_t channel, const char *csv_path)
{
    const std::string number = std::to_string(channel);
    std::string base;
    if (address == nullptr || format_alloc(base, "http://%s", address) <= 0)
        return CHANNEL_SETUP_FAILED;
    if (!path_fits(csv_path)) {
        diag("--channelcsvfile: the path is longer than %zu characters: '%s'; channel %u is left as it is",
             PATH_FIELD_SIZE - 1, csv_path, channel);
        record_step("channel", number, false, 0, "the CSV file's path is too long");
        return CHANNEL_SETUP_FAILED;
    }

    backup_download download;
    tar_t tar;
    char name[CONFIG_NAME_SIZE];
    std::snprintf(name, sizeof name, CONFIG_CHANNEL_NAME, channel);

    const int fetched = backup_fetch(base.c_str(), name, &download);
    record_identity(download.model_name, download.firmware_version, download.serial_number);
    if (fetched != 0) {
        const std::string failure = fetch_failure(fetched);
        diag("setup_channel: channel %u is left as it is: its configuration %s was not fetched (%s)", channel, name,
             failure.c_str());
        record_step("channel", number, false, 0, failure);
        return CHANNEL_SETUP_FAILED;
    }
    std::puts("OK");

    tar_mem_open_write(&tar);
    const auto config = std::make_unique<channel_config>();
    std::printf("CH=%u\n", channel);
    std::printf("FILE=%s\n", show(csv_path));

    std::string failure = "its channel file is missing, empty or unreadable";
    std::uint32_t length = 0;
    if (channel_config_read(&download, channel, config.get()) != 0)
        diag("setup_channel: channel %u is left as it is: %s", channel, failure.c_str());
    else {
        csv_outcome outcome;
        const int loaded = channel_csv_load(csv_path, config.get(), &outcome);
        if (loaded == CSV_REJECTED) {
            record_step("channel", number, false, 0, "the CSV file cannot be read as CSV");
            return CHANNEL_SETUP_END_RUN;
        }
        // Nothing from the file changed the channel: nothing goes up.
        if (loaded != CSV_LOADED || outcome.applied == 0) {
            report_unused_csv(csv_path, channel, outcome, loaded);
            failure = "the CSV file applied no device";
        } else {
            report_skipped_rows(csv_path, outcome);
            if (channel_config_write(&tar, &download, channel, config.get()) != 0) {
                failure = "the controller's firmware " + console_line(show(download.firmware_version)) +
                          " takes no channel file of layout 1";
            } else {
                channel_archive_list(&tar);
                // The archive is the first `pos` bytes of the writer's buffer.
                length = std::min<std::uint32_t>(tar.pos, static_cast<std::uint32_t>(tar.buffer.size()));
                failure.clear();
                if (backup_upload(base.c_str(), address, tar.buffer.data(), length) == 0)
                    std::puts("OK");
                else
                    failure = transfer_last_error().empty() ? "the upload or the restore request failed"
                                                            : transfer_last_error();
            }
            report_pair(channel, csv_path, outcome, failure);
        }
    }
    record_step("channel", number, failure.empty(), length, failure);
    backup_download_free(&download);
    return failure.empty() ? CHANNEL_SETUP_DONE : CHANNEL_SETUP_FAILED;
}
