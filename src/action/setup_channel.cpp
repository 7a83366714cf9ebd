// setup_channel for one channel/CSV pair: the controller's channel file is
// downloaded, the CSV file's device rows are applied to it, and the changed
// file goes back as a fresh one-entry archive followed by a restore request.
#include "action/setup_channel.h"

#include "base/format.h"
#include "controller/download.h"
#include "controller/transfer.h"
#include "model/catalogue.h"
#include "model/channel_file.h"
#include "model/csv.h"
#include "tar/tar.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

namespace {

constexpr std::size_t CONFIG_NAME_SIZE = 32;

}  // namespace

int channel_setup(const char *address, std::uint32_t channel, const char *csv_path)
{
    std::string base;
    if (address == nullptr || format_alloc(base, "http://%s", address) <= 0)
        return CHANNEL_SETUP_DONE;

    backup_download download;
    tar_t tar;
    char name[CONFIG_NAME_SIZE];
    std::snprintf(name, sizeof name, CONFIG_CHANNEL_NAME, channel);

    if (backup_fetch(base.c_str(), name, &download) != 0)
        return CHANNEL_SETUP_DONE;
    std::puts("OK");

    tar_mem_open_write(&tar);
    const auto config = std::make_unique<channel_config>();
    std::printf("CH=%u\n", channel);
    std::printf("FILE=%s\n", show(csv_path));

    if (channel_config_read(&download, channel, config.get()) == 0) {
        if (channel_csv_load(csv_path, config.get()) == CSV_REJECTED)
            return CHANNEL_SETUP_END_RUN;
        if (channel_config_write(&tar, &download, channel, config.get()) == 0) {
            channel_archive_list(&tar);
            // The archive is the first `pos` bytes of the writer's buffer.
            const auto length = std::min<std::uint32_t>(tar.pos, static_cast<std::uint32_t>(tar.buffer.size()));
            if (backup_upload(base.c_str(), address, tar.buffer.data(), length) == 0)
                std::puts("OK");
        }
    }
    backup_download_free(&download);
    return CHANNEL_SETUP_DONE;
}
