// The listing of a configuration archive: every entry of the tar archive, then
// the controller's status document "status.txt" with the four identity values
// picked out of it.
#include "model/config_archive.h"

#include "base/format.h"
#include "base/text.h"
#include "json/json.h"
#include "tar/tar.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr const char *TAG = "backup";
constexpr const char *STATUS_DOCUMENT = "status.txt";

// The identity values of the status document, in the order they are looked
// for and printed.
struct identity {
    std::optional<std::string> model_name;
    std::optional<std::string> firmware_version;
    std::optional<std::string> serial_number;
    std::optional<std::string> mac;
};

struct identity_key {
    const char *key;
    const char *line;
    std::optional<std::string> identity::*field;
};

constexpr identity_key IDENTITY_KEYS[] = {
    {"model_name", "%s\tmodel name: %s\r\n", &identity::model_name},
    {"firmware_version", "%s\tfirmware version: %s\r\n", &identity::firmware_version},
    {"serial_number", "%s\tserial number: %s\r\n", &identity::serial_number},
    {"mac", "%s\tmac: %s\r\n", &identity::mac},
};
constexpr std::size_t IDENTITY_COUNT = sizeof IDENTITY_KEYS / sizeof IDENTITY_KEYS[0];

// Picks the four values out of the status document. A string inside an
// object is a key unless a key of interest is waiting for its value; values
// that are not strings leave the key waiting.
identity read_identity(const char *document)
{
    identity values;
    bool inside_object = false;
    bool expect[IDENTITY_COUNT] = {};
    json_stream json;
    json_open_string(&json, document);
    for (;;) {
        json_type event = json_next(&json);
        if (event == JSON_ERROR || event == JSON_DONE)
            break;
        if (event == JSON_OBJECT) {
            inside_object = true;
        } else if (event == JSON_OBJECT_END) {
            inside_object = false;
        } else if (event == JSON_STRING && inside_object) {
            const char *token = json_get_string(&json, nullptr);
            const char *text = token ? token : "";
            bool *waiting = std::find(std::begin(expect), std::end(expect), true);
            if (waiting != std::end(expect)) {
                std::string copy;
                if (format_alloc(copy, "%s", text) >= 0)
                    values.*IDENTITY_KEYS[waiting - expect].field = std::move(copy);
                *waiting = false;
            } else {
                for (std::size_t i = 0; i < IDENTITY_COUNT; ++i)
                    expect[i] = std::strcmp(text, IDENTITY_KEYS[i].key) == 0;
            }
        }
    }
    json_close(&json);
    return values;
}

} // namespace

int backup_list_entries(tar_t *tar, std::uint32_t *entries)
{
    std::printf("%s\tbackup file contains: \r\n", TAG);
    std::uint32_t listed = 0;
    int result = TAR_OK;
    for (;;) {
        tar_header_t header;
        int read = tar_read_header(tar, &header);
        if (read == TAR_NULL_RECORD)
            break;
        if (read == TAR_OK) {
            std::printf("\t%s (%d bytes)\r\n", console_line(header.name).c_str(), static_cast<int>(header.size));
            ++listed;
        }
        result = read == TAR_OK ? tar_next(tar) : read;
        if (result != TAR_OK) {
            std::printf("\tfile error %u.\r\n", static_cast<unsigned>(result));
            break;
        }
    }
    if (entries)
        *entries = listed;
    return result;
}

bool backup_take_file(const std::uint8_t *archive, std::uint32_t size, const char *path, const char *tag,
                      std::vector<std::uint8_t> &file)
{
    tar_t tar;
    tar_header_t header;
    tar_mem_open_read(&tar, archive, size);
    if (tar_find(&tar, path, &header) != TAR_OK) {
        std::printf("%s\terror '%s' file not found.\r\n", tag, path);
        return false;
    }
    if (header.size == 0) {
        std::printf("%s\terror '%s' file size error\r\n", tag, path);
        return false;
    }
    // The header's size is only a claim: nothing is allocated for more than
    // the archive holds.
    if (!tar_entry_held(&tar, header.size)) {
        std::printf("%s\terror reading '%s'\r\n", tag, path);
        return false;
    }
    try {
        file.assign(header.size, 0);
    } catch (const std::bad_alloc &) {
        return false;
    }
    if (tar_read_data(&tar, file.data(), header.size) != TAR_OK) {
        std::printf("%s\terror reading '%s'\r\n", tag, path);
        return false;
    }
    return true;
}

namespace {

// The data of the entry whose header `tar` is at, when the archive holds it whole.
std::optional<std::vector<std::uint8_t>> entry_data(tar_t &tar, const tar_header_t &header)
{
    if (!tar_entry_held(&tar, header.size))
        return std::nullopt;
    try {
        std::vector<std::uint8_t> data(header.size);
        if (header.size > 0 && tar_read_data(&tar, data.data(), header.size) != TAR_OK)
            return std::nullopt;
        return data;
    } catch (const std::bad_alloc &) {
        return std::nullopt;
    }
}

} // namespace

config_archive_view config_archive_inspect(const std::uint8_t *archive, std::uint32_t size, const char *path)
{
    config_archive_view view;
    tar_t tar;
    tar_mem_open_read(&tar, archive, size);
    view.listing = size > 0 ? TAR_OK : 1;
    while (size > 0) {
        tar_header_t header;
        const int read = tar_read_header(&tar, &header);
        if (read == TAR_NULL_RECORD)
            break;
        if (read == TAR_OK) {
            ++view.entries;
            if (!view.path && (path ? std::strcmp(header.name, path) == 0
                                    : std::strcmp(header.name, STATUS_DOCUMENT) != 0)) {
                view.path = header.name;
                view.file = entry_data(tar, header);
            }
        }
        view.listing = read == TAR_OK ? tar_next(&tar) : read;
        if (view.listing != TAR_OK)
            break;
    }
    if (view.listing == TAR_OK && view.entries == 0)
        view.listing = 1;

    tar_header_t header;
    tar_mem_open_read(&tar, archive, size);
    if (size > 0 && tar_find(&tar, STATUS_DOCUMENT, &header) == TAR_OK) {
        if (const std::optional<std::vector<std::uint8_t>> data = entry_data(tar, header); data && !data->empty()) {
            identity values = read_identity(std::string(data->begin(), data->end()).c_str());
            view.model_name = std::move(values.model_name);
            view.firmware_version = std::move(values.firmware_version);
            view.serial_number = std::move(values.serial_number);
            view.mac = std::move(values.mac);
        }
    }
    return view;
}

int backup_list(backup_download *download)
{
    if (!download)
        return 1;
    const std::uint32_t received = mem_buffer_held(*download);
    tar_t tar;
    tar_mem_open_read(&tar, download->data.data(), received);

    // 0 when at least one entry was listed and the end was reached, 1 when
    // there was no entry, else the tar error that stopped the walk.
    int result = 1;
    if (received > 0) {
        std::uint32_t entries = 0;
        result = backup_list_entries(&tar, &entries);
        if (result == TAR_OK && entries == 0)
            result = 1;
    }

    tar_header_t header;
    if (received == 0 || tar_find(&tar, STATUS_DOCUMENT, &header) != TAR_OK) {
        std::printf("%s\terror status.txt file not found.\r\n", TAG);
        return result;
    }
    if (header.size == 0) {
        std::printf("%s\terror status.txt file size error\r\n", TAG);
        return result;
    }
    // The header's size is believed only as far as the archive holds the bytes.
    const bool held = tar_entry_held(&tar, header.size);
    std::string document;
    try {
        document.resize(held ? header.size : 0);
    } catch (const std::bad_alloc &) {
        return result;
    }
    if (!held || tar_read_data(&tar, document.data(), header.size) != TAR_OK) {
        std::printf("%s\terror reading status.txt\r\n", TAG);
        return result;
    }
    // The document as it came, but nothing in it drives the terminal.
    std::printf("%s", console_block(document.c_str()).c_str());

    identity values = read_identity(document.c_str());
    for (const identity_key &key : IDENTITY_KEYS)
        std::printf(key.line, TAG, console_line(show(values.*key.field)).c_str());
    download->model_name = std::move(values.model_name);
    download->firmware_version = std::move(values.firmware_version);
    download->serial_number = std::move(values.serial_number);
    download->mac = std::move(values.mac);
    // A readable status document does not make a damaged archive whole: an
    // archive whose listing failed is no configuration to keep.
    return result;
}

void backup_download_free(backup_download *download)
{
    if (!download)
        return;
    download->model_name.reset();
    download->firmware_version.reset();
    download->serial_number.reset();
    download->mac.reset();
}
