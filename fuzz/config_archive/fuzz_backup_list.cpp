// The listing of a downloaded configuration archive over arbitrary bytes:
// every entry, the status document and its identity values; then the channel
// file taken out of the same archive, as setup_channel does. Header checksums
// of eight spaces are filled in first (fuzz_fix_tar_checksums).
#include "model/channel_file.h"
#include "model/config_archive.h"
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
    return 0;
}
