// setup_channel for one channel/CSV pair: the controller's channel file is
// downloaded, the CSV file's device rows are applied to it, and the changed
// file goes back as a fresh one-entry archive followed by a restore request.
#include "action/setup_channel.h"

#include "action/report.h"
#include "base/diag.h"
#include "base/format.h"
#include "base/system.h"
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
void report_unused_csv(const std::string &file, std::uint32_t channel, const csv_outcome &outcome, int loaded)
{
    if (loaded == CSV_NOT_READ && outcome.open_error == 0)
        diag("%s: %s; channel %u is left as it is", file.c_str(),
             outcome.unreadable.empty() ? "cannot be read" : outcome.unreadable.c_str(), channel);
    else if (loaded == CSV_NOT_READ)
        diag("%s: %s; channel %u is left as it is", file.c_str(), error_text(outcome.open_error), channel);
    else if (outcome.not_utf8)
        diag("%s: %s: save it as \"CSV UTF-8\" and try again; channel %u is left as it is", file.c_str(),
             outcome.not_utf8->text.c_str(), channel);
    else if (!outcome.version_1)
        diag("%s: no device row applied: the file has no \"#dali-channel-csv-version: 1\" line; channel %u is left "
             "as it is", file.c_str(), channel);
    else if (outcome.left_out > 0)
        diag("%s: no device row applied: every device row was left out; channel %u is left as it is", file.c_str(),
             channel);
    else
        diag("%s: no device row applied: the file holds no device row; channel %u is left as it is", file.c_str(),
             channel);
}

// Every row left out or applied with a warning, said once per file: the
// first ones with their row, column and cell, then how many more.
void report_rows(const std::string &file, const csv_outcome &outcome)
{
    for (const csv_problem &problem : outcome.listed)
        diag("%s: %s", file.c_str(), problem.text.c_str());
    if (outcome.problems > outcome.listed.size())
        diag("%s: %zu more not listed", file.c_str(), outcome.problems - outcome.listed.size());
}

// Why a pair whose file was applied in part is a failed step.
std::string partial_failure(const csv_outcome &outcome)
{
    std::string why;
    if (outcome.left_out > 0)
        why = std::to_string(outcome.left_out) + " row" + (outcome.left_out == 1 ? "" : "s") + " of the CSV file left out";
    if (outcome.warned > 0)
        why += (why.empty() ? "" : ", ") + std::to_string(outcome.warned) + " row" + (outcome.warned == 1 ? "" : "s") +
               " applied with a warning";
    return why;
}

// The line that ends a pair whose file was applied: how many device rows went
// to which channel (how many of them with a warning), how many were left
// out, and whether the channel went up.
void report_pair(std::uint32_t channel, const std::string &file, const csv_outcome &outcome, bool uploaded,
                 const std::string &failure)
{
    const char *rows = outcome.applied == 1 ? "row" : "rows";
    const std::string warned =
        outcome.warned > 0 ? " (" + std::to_string(outcome.warned) + " with a warning)" : std::string();
    if (uploaded)
        diag("setup_channel: %u device %s of %s applied to channel %u%s and uploaded, %u left out", outcome.applied,
             rows, file.c_str(), channel, warned.c_str(), outcome.left_out);
    else
        diag("setup_channel: %u device %s of %s applied to channel %u%s, %u left out, but the channel is not set "
             "up: %s", outcome.applied, rows, file.c_str(), channel, warned.c_str(), outcome.left_out,
             failure.c_str());
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
    std::printf("FILE=%s\n", console_line(show(csv_path)).c_str());

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
        const std::string file = console_line(csv_path);
        if (loaded == CSV_LOADED && !outcome.not_utf8)
            report_rows(file, outcome);
        // Nothing from the file changed the channel: nothing goes up.
        if (loaded != CSV_LOADED || outcome.applied == 0 || outcome.not_utf8) {
            report_unused_csv(file, channel, outcome, loaded);
            failure = outcome.not_utf8 ? "the CSV file is not UTF-8 text" : "the CSV file applied no device";
        } else {
            bool uploaded = false;
            if (channel_config_write(&tar, &download, channel, config.get()) != 0) {
                failure = "the controller's firmware " + console_line(show(download.firmware_version)) +
                          " takes no channel file of layout 1";
            } else {
                channel_archive_list(&tar);
                // The archive is the first `pos` bytes of the writer's buffer.
                length = std::min<std::uint32_t>(tar.pos, static_cast<std::uint32_t>(tar.buffer.size()));
                failure.clear();
                if (backup_upload(base.c_str(), address, tar.buffer.data(), length) == 0) {
                    std::puts("OK");
                    uploaded = true;
                    failure = partial_failure(outcome);
                } else {
                    failure = transfer_last_error().empty() ? "the upload or the restore request failed"
                                                            : transfer_last_error();
                }
            }
            report_pair(channel, file, outcome, uploaded, failure);
        }
    }
    record_step("channel", number, failure.empty(), length, failure);
    backup_download_free(&download);
    return failure.empty() ? CHANNEL_SETUP_DONE : CHANNEL_SETUP_FAILED;
}
