#include "controller/transfer.h"

#include "base/format.h"
#include "base/hex.h"
#include "base/limits.h"
#include "base/text.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

int verbose_flag = 0;
transfer_limits transfer_settings;

namespace {

std::string last_error;
long last_response = 0;

// The connect timeout of a TFTP upload, from which libcurl derives its
// retransmission (see firmware_push_tftp).
constexpr long TFTP_CONNECT_TIMEOUT_MS = 5000;
// Redirects followed for one request.
constexpr long HTTP_MAX_REDIRECTS = 10;

struct curl_deleter {
    void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};
using curl_handle = std::unique_ptr<CURL, curl_deleter>;

long verbose_option() { return verbose_flag ? 1L : 0L; }

void report_failure(CURLcode result, const std::string &note = {})
{
    last_error = curl_easy_strerror(result);
    std::fprintf(stderr, "curl_easy_perform() failed: %s%s\n", last_error.c_str(), note.c_str());
}

// Controllers that did not answer at all earlier in this run, by protocol and
// host:port, with the failure they gave: they are not waited for again.
std::map<std::string, CURLcode> &silent_controllers()
{
    static std::map<std::string, CURLcode> silent;
    return silent;
}

// "http host:port" or "tftp host:port" for a URL with or without its scheme.
std::string controller_key(const std::string &url)
{
    std::string scheme = "http";
    std::string rest = url;
    if (const std::size_t colon = url.find("://"); colon != std::string::npos) {
        scheme = url.substr(0, colon);
        rest = url.substr(colon + 3);
    }
    return scheme + " " + rest.substr(0, rest.find('/'));
}

bool nothing_moved(CURL *handle)
{
    curl_off_t down = 0, up = 0;
    long headers = 0;
    curl_easy_getinfo(handle, CURLINFO_SIZE_DOWNLOAD_T, &down);
    curl_easy_getinfo(handle, CURLINFO_SIZE_UPLOAD_T, &up);
    curl_easy_getinfo(handle, CURLINFO_HEADER_SIZE, &headers);
    return down == 0 && up == 0 && headers == 0;
}

// Any transfer, HTTP or TFTP, ends after --timeout seconds below the floor
// speed (nothing moving at all among them), and when it reaches its ceiling.
void set_time_limits(CURL *handle, long ceiling_ms)
{
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, TRANSFER_FLOOR_BYTES_PER_SECOND);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, transfer_settings.stall_seconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, ceiling_ms);
}

// The limits of every HTTP request whose genuine answer holds at most
// `expected_max` bytes: connecting, the floor speed, the ceiling (returned),
// and where it may lead.
long set_http_limits(CURL *handle, std::uint32_t expected_max)
{
    const long ceiling_ms = transfer_ceiling_ms(expected_max, transfer_settings.connect_timeout_ms);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, transfer_settings.connect_timeout_ms);
    set_time_limits(handle, ceiling_ms);
    // Every hop of a redirect loop answers at once, so no stall ends it; the
    // controller redirects once at most, and only ever to its own web
    // interface: a redirect to another scheme (ftp:, file:, ...) is refused.
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, HTTP_MAX_REDIRECTS);
    curl_easy_setopt(handle, CURLOPT_DEFAULT_PROTOCOL, "http");
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http");
    return ceiling_ms;
}

// Why an HTTP request that had begun to answer timed out: it went below the
// floor speed for --timeout seconds, or it reached its ceiling. Nothing for
// one that sent no byte of its answer (the stall as it was always told).
std::string slow_answer_note(CURL *handle, long ceiling_ms)
{
    curl_off_t down = 0, elapsed_us = 0;
    curl_easy_getinfo(handle, CURLINFO_SIZE_DOWNLOAD_T, &down);
    curl_easy_getinfo(handle, CURLINFO_TOTAL_TIME_T, &elapsed_us);
    if (down == 0)
        return {};
    std::string note;
    if (elapsed_us / 1000 + 1000 >= ceiling_ms)
        format_alloc(note, " (no end after %ld s)", ceiling_ms / 1000);
    else
        format_alloc(note, " (less than %ld bytes/s for %ld s)", TRANSFER_FLOOR_BYTES_PER_SECOND,
                     transfer_settings.stall_seconds);
    return note;
}

// Runs the configured transfer of `url`; a failure is named on stderr. 0 or 1.
// A controller that gave no sign of life (nothing came back before a
// timeout, or its name did not resolve) is not tried again in this run: the
// remaining transfers fail at once with the same reason. An HTTP request
// given its ceiling (`http_ceiling_ms`, 0 for TFTP) says which limit it met
// when its answer had begun.
int perform(CURL *handle, const std::string &url, long http_ceiling_ms = 0)
{
    last_error.clear();
    const std::string key = controller_key(url);
    if (const auto found = silent_controllers().find(key); found != silent_controllers().end()) {
        report_failure(found->second, " (no answer earlier in this run; not tried again)");
        return 1;
    }
    const CURLcode result = curl_easy_perform(handle);
    if (result != CURLE_OK) {
        report_failure(result, result == CURLE_OPERATION_TIMEDOUT && http_ceiling_ms > 0
                                   ? slow_answer_note(handle, http_ceiling_ms)
                                   : std::string());
        if ((result == CURLE_OPERATION_TIMEDOUT || result == CURLE_COULDNT_RESOLVE_HOST) && nothing_moved(handle))
            silent_controllers().emplace(key, result);
        return 1;
    }
    return 0;
}

// A request that changes the controller and whose answer is shown on
// standard output (restore and upgrade), as a document: its line ends kept,
// any other control character escaped.
int push_request(const char *tag, const std::string &url)
{
    std::printf("%s\tpushing URL '%s'.\n", tag, url.c_str());
    curl_handle handle(curl_easy_init());
    if (!handle)
        return 1;
    mem_buffer answer;
    curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle.get(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, buffer_write_callback);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, static_cast<void *>(&answer));
    curl_easy_setopt(handle.get(), CURLOPT_VERBOSE, verbose_option());
    curl_easy_setopt(handle.get(), CURLOPT_NOPROGRESS, transfer_settings.progress_meter ? 0L : 1L);
    const int performed = perform(handle.get(), url, set_http_limits(handle.get(), STATUS_DOCUMENT_MAX));
    // What came is shown, also of an answer cut short.
    const std::string shown = console_block(
        std::string_view(reinterpret_cast<const char *>(answer.data.data()), mem_buffer_held(answer)));
    std::fwrite(shown.data(), 1, shown.size(), stdout);
    if (performed != 0)
        return 1;
    // The controller's error page has been shown; a refused request is no success.
    long code = 0;
    if (curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &code) == CURLE_OK && code >= 400) {
        report_failure(CURLE_HTTP_RETURNED_ERROR);
        return 1;
    }
    return 0;
}

// A TFTP upload as its callbacks see it. When the first block goes missing,
// the server repeats its acknowledgement of the options; libcurl (lib/tftp.c,
// tftp_tx) takes the repeated one for a new one and sends the next piece of
// the file as block 1, so the server would end up with the file short of its
// first piece while the upload counts as done. libcurl says in its trace
// when it reads the options of an acknowledgement ("got option=(...)"): a
// read after more of that than at the first read is the new block 1, and it
// gets the file from its start again.
struct tftp_upload {
    file_data *file = nullptr;
    const std::uint8_t *start = nullptr;
    std::uint32_t length = 0;
    int options_read = 0;                  // "got option" lines in libcurl's trace
    std::optional<int> options_at_block_1; // the same when block 1 was read
};

// libcurl's trace of an upload: counted, and shown as libcurl shows it
// itself under --verbose.
int tftp_trace(CURL *, curl_infotype type, char *text, std::size_t size, void *state)
{
    constexpr std::string_view OPTION_READ = "got option=(";
    if (type == CURLINFO_TEXT && std::string_view(text, size).substr(0, OPTION_READ.size()) == OPTION_READ)
        ++static_cast<tftp_upload *>(state)->options_read;
    if (verbose_flag && (type == CURLINFO_TEXT || type == CURLINFO_HEADER_IN || type == CURLINFO_HEADER_OUT)) {
        std::fputs(type == CURLINFO_TEXT ? "* " : type == CURLINFO_HEADER_IN ? "< " : "> ", stderr);
        std::fwrite(text, 1, size, stderr);
    }
    return 0;
}

std::size_t tftp_read(char *destination, std::size_t size, std::size_t count, void *state)
{
    auto *upload = static_cast<tftp_upload *>(state);
    if (!upload->options_at_block_1 || upload->options_read > *upload->options_at_block_1) {
        upload->options_at_block_1 = upload->options_read;
        upload->file->data = upload->start;
        upload->file->length = upload->length;
    }
    return upload_read_callback(destination, size, count, upload->file);
}

} // namespace

long transfer_ceiling_ms(std::uint64_t bytes, long connect_ms)
{
    // In 64 bits, and no more than libcurl's option takes where a long has 32.
    const std::uint64_t ceiling = static_cast<std::uint64_t>(connect_ms) +
                                  static_cast<std::uint64_t>(transfer_settings.stall_seconds) * 1000 +
                                  bytes * 1000 / TRANSFER_FLOOR_BYTES_PER_SECOND;
    return static_cast<long>(std::min<std::uint64_t>(ceiling, std::numeric_limits<long>::max()));
}

const std::string &transfer_last_error() { return last_error; }

long transfer_last_response() { return last_response; }

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

int transfer_download(const char *tag, const char *url, mem_buffer *buffer, std::uint32_t expected_max)
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
    const long ceiling_ms = set_http_limits(handle.get(), expected_max);
    last_response = 0;
    if (perform(handle.get(), url, ceiling_ms) != 0)
        return 1;
    curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &last_response);
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
    tftp_upload upload;
    upload.file = file;
    upload.start = data;
    upload.length = length;
    curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
    // The trace is always on, for the read callback; it is shown only under --verbose.
    curl_easy_setopt(handle.get(), CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_DEBUGFUNCTION, tftp_trace);
    curl_easy_setopt(handle.get(), CURLOPT_DEBUGDATA, static_cast<void *>(&upload));
    curl_easy_setopt(handle.get(), CURLOPT_NOPROGRESS, transfer_settings.progress_meter ? 0L : 1L);
    // Retransmission. libcurl (lib/tftp.c, tftp_set_timeouts) derives its own
    // resend interval and the "timeout" option it asks of the server from the
    // time it has left, T whole seconds: T/5 tries (at least 3, at most 50),
    // T/tries seconds apart (at least 1). Until the server answers the
    // request T is the connect timeout: 5 s gives 3 tries 1 s apart and asks
    // for "timeout 1" (60 s gave 12 tries 5 s apart and "timeout 5"). The
    // server re-sends its last ACK one second after a DATA or ACK went
    // missing and the client re-sends the DATA it answers, so a lost packet
    // costs about a second (tftpd-hpa doubles the wait for each further loss
    // of the same block and gives up after 1+2+4+8+16+32 = 63 s). An address
    // where nothing answers fails 5 to 6 s after the request ("Timeout was
    // reached"). A shorter --connect-timeout shortens that too; a longer one
    // would only slow the retransmission down, so 5 s is the most it gets.
    // Once the server has answered T is what is left of CURLOPT_TIMEOUT, the
    // ceiling of the whole push: the connect timeout, --timeout and the
    // upload at the floor speed (a configuration of 14 KB: 63 s at the
    // defaults; a firmware image of 16 MiB: over 9 hours). T/5 tries (at most
    // 50) T/tries seconds apart: 12 tries 5 s apart for a configuration, 50
    // tries 655 s apart for an image. Either way a burst of losses rides on
    // the server's retransmissions, which come after a second; the client's
    // own come later and matter only when the server gave up. A transfer
    // that stalls ends as an HTTP one does, after --timeout seconds below the
    // floor speed (at the default of 30 s, the same block or its ACK lost
    // five times in a row: with 1 % loss each way, about one block in 300
    // million), and a server that acknowledges just fast enough to stay above
    // the floor meets the ceiling.
    const long connect_ms = std::min(TFTP_CONNECT_TIMEOUT_MS, transfer_settings.connect_timeout_ms);
    curl_easy_setopt(handle.get(), CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
    set_time_limits(handle.get(), transfer_ceiling_ms(length, connect_ms));
    curl_easy_setopt(handle.get(), CURLOPT_PROTOCOLS_STR, "tftp");
    // Block size: the server's OACK may lower it; a server that ignores the
    // option answers with a plain ACK and the upload goes in 512-byte blocks.
    curl_easy_setopt(handle.get(), CURLOPT_TFTP_BLKSIZE, transfer_settings.tftp_blksize);
    curl_easy_setopt(handle.get(), CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_READFUNCTION, tftp_read);
    curl_easy_setopt(handle.get(), CURLOPT_READDATA, static_cast<void *>(&upload));
    curl_easy_setopt(handle.get(), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(length));
    const int result = perform(handle.get(), url);
    file->data = data;
    file->length = length;
    return result;
}
