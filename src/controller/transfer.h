// Every exchange with the controller: HTTP downloads into memory, the restore
// and upgrade requests, and the TFTP upload of "flashraw.bin".
#pragma once

#include "base/records.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Set by --verbose; every transfer turns libcurl's trace on from it.
extern int verbose_flag;

// TFTP block size (RFC 2348) every upload asks the server for, set by
// --tftp-blksize. 1468 bytes of data fill one Ethernet frame of 1500 bytes
// exactly (4 bytes TFTP, 8 UDP, 20 IP); 512 is the block size of a server
// that ignores the option. The range is what libcurl accepts.
constexpr long TFTP_BLKSIZE_DEFAULT = 1468;
constexpr long TFTP_BLKSIZE_MIN = 8;
constexpr long TFTP_BLKSIZE_MAX = 65464;

// How long a transfer may wait, and how TFTP uploads go, set by the front end
// for the whole run. No healthy controller on a LAN comes near either wait.
struct transfer_limits {
    long connect_timeout_ms = 10000;  // to establish the connection (--connect-timeout)
    long stall_seconds = 30;          // below the floor speed, once connected (--timeout)
    long tftp_blksize = TFTP_BLKSIZE_DEFAULT;  // --tftp-blksize
    bool progress_meter = true;                // libcurl's meter on standard error (off with --quiet)
};
extern transfer_limits transfer_settings;

// The slowest a transfer may go: one that moves fewer bytes a second than
// this for --timeout seconds in a row ends, so a peer that trickles its
// answer a byte at a time is given up like one that sends nothing. A
// controller on a LAN moves hundreds of kilobytes a second, a TFTP upload
// that loses a packet in a hundred each way still tens of kilobytes.
constexpr long TRANSFER_FLOOR_BYTES_PER_SECOND = 512;

// The longest a transfer that carries at most `bytes` may take in all, in
// milliseconds: connecting (`connect_ms`), a wait of --timeout seconds for
// the peer, and the bytes at the floor speed. A request ends when it reaches
// this, however fast its bytes came before.
long transfer_ceiling_ms(std::uint64_t bytes, long connect_ms);

// Why the latest transfer failed (libcurl's text for its result); empty when
// it succeeded.
const std::string &transfer_last_error();
// The HTTP status of the latest download's answer (0 when there was none).
long transfer_last_response();

// The transfer library's process-wide state: set up once before the first
// transfer, released after the last.
void transfer_global_init();
void transfer_global_cleanup();

// libcurl callbacks.
std::size_t buffer_write_callback(char *bytes, std::size_t size, std::size_t count, void *buffer);
std::size_t upload_read_callback(char *destination, std::size_t size, std::size_t count, void *file);

// HTTP GET of `url` into `buffer` with the "fetching"/"received" lines under
// `tag`; a genuine answer holds at most `expected_max` bytes, which bounds the
// time the request may take. 0 on success, 1 on failure. Shared by the status
// query and backup_fetch.
int transfer_download(const char *tag, const char *url, mem_buffer *buffer, std::uint32_t expected_max);

// Uploads a finished tar archive by TFTP, then sends the restore request.
int backup_upload(const char *base, const char *address, const std::uint8_t *data, std::uint32_t size);
// The restore request alone.
int backup_put(const char *address);
// The firmware-upgrade request with the image's 32-byte SHA-256 digest and length.
int firmware_upgrade(const char *address, const std::uint8_t *digest, std::uint32_t length);
// TFTP upload of the record as "flashraw.bin".
int firmware_push_tftp(const char *address, file_data *file);
