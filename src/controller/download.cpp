#include "controller/download.h"

#include "base/format.h"
#include "controller/transfer.h"

#include <string>

int backup_fetch(const char *base, const char *name, backup_download *download)
{
    if (!base || !name || !download)
        return 1;
    download->size = 0;
    download->data.clear();
    backup_download_free(download);

    std::string url;
    if (format_alloc(url, "%s/api/v100/backup.ssi?config=%s", base, name) < 0)
        return 1;
    if (transfer_download("backup", url.c_str(), download) != 0)
        return 1;
    return backup_list(download);
}
