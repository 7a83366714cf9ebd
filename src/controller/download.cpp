#include "controller/download.h"

#include "base/format.h"
#include "base/limits.h"
#include "controller/transfer.h"

#include <curl/curl.h>

#include <memory>
#include <string>

namespace {

struct curl_text_free {
    void operator()(char *text) const { curl_free(text); }
};

} // namespace

int backup_fetch(const char *base, const char *name, backup_download *download)
{
    if (!base || !name || !download)
        return 1;
    download->size = 0;
    download->data.clear();
    backup_download_free(download);

    // A name goes into the query percent-escaped: letters, digits and "-._~"
    // stand as they are, so every ordinary configuration name is unchanged.
    const std::unique_ptr<char, curl_text_free> escaped(curl_easy_escape(nullptr, name, 0));
    std::string url;
    if (!escaped || format_alloc(url, "%s/api/v100/backup.ssi?config=%s", base, escaped.get()) < 0)
        return 1;
    if (transfer_download("backup", url.c_str(), download, CONFIG_ARCHIVE_MAX) != 0)
        return 1;
    return backup_list(download);
}
