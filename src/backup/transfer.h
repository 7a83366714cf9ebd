// Every exchange with the controller: HTTP downloads into memory, the restore
// and upgrade requests, and the TFTP upload of "flashraw.bin".
#pragma once

#include "cli/format.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Set by --verbose; every transfer turns libcurl's trace on from it.
extern int verbose_flag;

// Receive buffer of a download: `data` holds exactly `size` bytes, empty while
// nothing has been received.
struct mem_buffer {
    std::uint32_t size = 0;
    std::vector<std::uint8_t> data;
};

// A file held whole in memory. `data`/`length` are the bytes to send (the TFTP
// read callback advances them; the upload puts them back afterwards);
// `storage` owns the bytes when the record holds its own file.
struct file_data {
    char path[PATH_FIELD_SIZE] = {};
    std::uint32_t length = 0;
    const std::uint8_t *data = nullptr;
    std::vector<std::uint8_t> storage;
};

// Largest download kept in memory. Configuration archives and the status
// document are a few kilobytes; an answer growing past this is dropped (the
// transfer then fails with a write error) instead of exhausting memory or
// wrapping the 32-bit size.
constexpr std::uint32_t TRANSFER_MAX_DOWNLOAD = 64u * 1024u * 1024u;

// libcurl callbacks.
std::size_t buffer_write_callback(char *bytes, std::size_t size, std::size_t count, void *buffer);
std::size_t upload_read_callback(char *destination, std::size_t size, std::size_t count, void *file);

// HTTP GET of `url` into `buffer` with the "fetching"/"received" lines under `tag`.
// 0 on success, 1 on failure. Shared by the status query and backup_fetch.
int transfer_download(const char *tag, const char *url, mem_buffer *buffer);

// Uploads a finished tar archive by TFTP, then sends the restore request.
int backup_upload(const char *base, const char *address, const std::uint8_t *data, std::uint32_t size);
// The restore request alone.
int backup_put(const char *address);
// The firmware-upgrade request with the image's 32-byte SHA-256 digest and length.
int firmware_upgrade(const char *address, const std::uint8_t *digest, std::uint32_t length);
// TFTP upload of the record as "flashraw.bin".
int firmware_push_tftp(const char *address, file_data *file);
