#include "controller/transfer.h"

#include "base/format.h"
#include "base/hex.h"
#include "base/limits.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

int verbose_flag = 0;

namespace {

struct curl_deleter {
    void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};
using curl_handle = std::unique_ptr<CURL, curl_deleter>;

long verbose_option() { return verbose_flag ? 1L : 0L; }

// Runs the configured transfer; a failure is named on stderr. 0 or 1.
int perform(CURL *handle)
{
    const CURLcode result = curl_easy_perform(handle);
    if (result != CURLE_OK) {
        std::fprintf(stderr, "curl_easy_perform() failed: %s\n", curl_easy_strerror(result));
        return 1;
    }
    return 0;
}

// A request that changes the controller and whose answer the library writes
// to standard output (restore and upgrade).
int push_request(const char *tag, const std::string &url)
{
    std::printf("%s\tpushing URL '%s'.\n", tag, url.c_str());
    curl_handle handle(curl_easy_init());
    if (!handle)
        return 1;
    curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle.get(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_VERBOSE, verbose_option());
    curl_easy_setopt(handle.get(), CURLOPT_NOPROGRESS, 0L);
    if (perform(handle.get()) != 0)
        return 1;
    // The controller's error page has been shown; a refused request is no success.
    long code = 0;
    if (curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &code) == CURLE_OK && code >= 400) {
        std::fprintf(stderr, "curl_easy_perform() failed: %s\n", curl_easy_strerror(CURLE_HTTP_RETURNED_ERROR));
        return 1;
    }
    return 0;
}

} // namespace

void transfer_global_init() { curl_global_init(CURL_GLOBAL_ALL); }

void transfer_global_cleanup() { curl_global_cleanup(); }

std::size_t buffer_write_callback(char *bytes, std::size_t size, std::size_t count, void *buffer)
{
    if (!buffer)
        return 0;
    auto *received = static_cast<mem_buffer *>(buffer);
    const std::size_t room = TRANSFER_MAX_DOWNLOAD - received->size;
    bool fits = size == 0 || count <= room / size;
    const std::size_t length = fits ? size * count : 0;
    if (fits && length > 0) {
        try {
            received->data.insert(received->data.end(), bytes, bytes + length);
        } catch (const std::bad_alloc &) {
            fits = false;
        }
    }
    if (!fits) {
        // Drop the partial download; the library ends the transfer with a write error.
        received->data = {};
        received->size = 0;
        return 0;
    }
    received->size += static_cast<std::uint32_t>(length);
    return length;
}

std::size_t upload_read_callback(char *destination, std::size_t size, std::size_t count, void *file)
{
    auto *record = static_cast<file_data *>(file);
    if (!record || size == 0 || count == 0 || !record->data)
        return 0;
    if (record->length == 0)
        return 0;
    const std::size_t wanted = count <= SIZE_MAX / size ? size * count : SIZE_MAX;
    const std::size_t length = std::min<std::size_t>(wanted, record->length);
    std::memcpy(destination, record->data, length);
    record->data += length;
    record->length -= static_cast<std::uint32_t>(length);
    return length;
}

int transfer_download(const char *tag, const char *url, mem_buffer *buffer)
{
    if (!tag || !url || !*url || !buffer)
        return 1;
    std::printf("%s\tfetching URL '%s'.\n", tag, url);
    curl_handle handle(curl_easy_init());
    if (!handle)
        return 1;
    curl_easy_setopt(handle.get(), CURLOPT_URL, url);
    curl_easy_setopt(handle.get(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, buffer_write_callback);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, static_cast<void *>(buffer));
    curl_easy_setopt(handle.get(), CURLOPT_VERBOSE, verbose_option());
    if (perform(handle.get()) != 0)
        return 1;
    std::printf("%s\treceived %d bytes.\n", tag, static_cast<int>(buffer->size));
    return 0;
}

int backup_upload(const char *base, const char *address, const std::uint8_t *data, std::uint32_t size)
{
    if (!base || !data || size == 0)
        return 1;
    file_data archive;
    archive.length = size;
    archive.data = data;
    if (firmware_push_tftp(address, &archive) != 0)
        return 1;
    std::puts("OK");
    if (backup_put(address) != 0)
        return 1;
    std::puts("OK");
    return 0;
}

int backup_put(const char *address)
{
    if (!address)
        return 1;
    std::string url;
    if (format_alloc(url, "%s/api/v100/status.ssi?action=restoreconfig", address) <= 0)
        return 1;
    return push_request("backup_put", url);
}

int firmware_upgrade(const char *address, const std::uint8_t *digest, std::uint32_t length)
{
    if (!address || !digest)
        return 1;
    char hash[2 * 32 + 1];
    if (hex_encode(digest, 32, hash) != 0)
        return 1;
    std::string url;
    if (format_alloc(url, "%s/api/v100/status.ssi?action=firmwareupgrade&hash=%s&size=%u", address, hash,
                     static_cast<unsigned>(length)) <= 0)
        return 1;
    return push_request("firmware", url);
}

int firmware_push_tftp(const char *address, file_data *file)
{
    if (!address || !file || !file->data || file->length == 0)
        return 1;
    std::string url;
    if (format_alloc(url, "tftp://%s/flashraw.bin", address) <= 0)
        return 1;
    std::printf("%s\tpushing URL '%s'.\n", "firmware_push_tftp", url.c_str());
    curl_handle handle(curl_easy_init());
    if (!handle)
        return 1;
    // The read callback advances the record; both fields are put back below.
    const std::uint8_t *const data = file->data;
    const std::uint32_t length = file->length;
    curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle.get(), CURLOPT_VERBOSE, verbose_option());
    curl_easy_setopt(handle.get(), CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle.get(), CURLOPT_CONNECTTIMEOUT, 60L);
    curl_easy_setopt(handle.get(), CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(handle.get(), CURLOPT_LOW_SPEED_LIMIT, 30L);
    curl_easy_setopt(handle.get(), CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_READFUNCTION, upload_read_callback);
    curl_easy_setopt(handle.get(), CURLOPT_READDATA, static_cast<void *>(file));
    curl_easy_setopt(handle.get(), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(length));
    const int result = perform(handle.get());
    file->data = data;
    file->length = length;
    return result;
}
