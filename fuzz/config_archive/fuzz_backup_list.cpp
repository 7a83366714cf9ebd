// The listing of a downloaded configuration archive over arbitrary bytes:
// every entry, the status document and its identity values; then the channel
// file taken out of the same archive, as setup_channel does, the quiet
// inspection show_backup and get_channel use, and the channel file's export
// as CSV. Header checksums of eight spaces are filled in first
// (fuzz_fix_tar_checksums).
#include "model/channel_file.h"
#include "model/config_archive.h"
#include "model/csv_export.h"
#include "fuzz/fuzz_support.h"

#include <memory>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > UINT32_MAX)
        return 0;
    backup_download download;
    download.data.assign(data, data + size);
    fuzz_fix_tar_checksums(download.data.data(), download.data.size());
    download.size = static_cast<std::uint32_t>(size);
    (void)backup_list(&download);
    if (download.model_name)
        (void)download.model_name->c_str();

    auto config = std::make_unique<channel_config>();
    for (std::uint32_t channel = 1; channel <= 4; ++channel)
        (void)channel_config_read(&download, channel, config.get());
    backup_download_free(&download);

    // Whatever file the archive holds first is read as a channel file of the
    // layout its version field names; the listing must agree with itself.
    const config_archive_view view = config_archive_inspect(download.data.data(), download.size, nullptr);
    FUZZ_CHECK(view.listing != 0 || view.entries > 0);
    if (view.file)
        if (const dali_layout *layout = channel_file_layout(view.file->data(), view.file->size()))
            FUZZ_CHECK(channel_csv_export(view.file->data(), *layout).devices <= DALI_DEVICE_COUNT);
    return 0;
}
