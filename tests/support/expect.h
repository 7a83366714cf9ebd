// What the tool should print and what the controller should hold, built once
// for every test that compares them: the controller's configurations (the
// simulator's own table), tar members as libarchive reads them, and the
// console lines of downloads, listings and uploads.
#pragma once

#include "controller-sim/configs.h" // bytes, config_catalogue, config_path, channel_file_crc
#include "sim.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

bytes text_bytes(std::string_view text);
// `size` bytes, each unlike its neighbours; another seed gives other bytes.
bytes pattern(std::size_t size, unsigned seed = 1);

// The eleven configurations, in the order a backup takes them.
std::vector<std::string> standard_configs();

// The checksum a channel file should hold in bytes 4 to 7: the CRC of the
// file with that field zeroed, by the simulator's bit-by-bit CRC; and
// whether it holds it.
std::uint32_t channel_checksum(bytes file);
bool channel_checksum_valid(const bytes &file);

// Where two byte strings differ, for a failure message: their sizes, or the
// first offsets that differ, or "equal".
std::string where_different(const bytes &a, const bytes &b);

// One member of a tar archive as libarchive reads it.
struct tar_member {
    std::string name;
    unsigned mode = 0;
    long long uid = 0;
    long long mtime = 0;
    bool regular = false;
    bytes data;
};
// Adds a test failure when libarchive cannot read the archive to its end.
std::vector<tar_member> tar_members(const bytes &archive);
// An archive made by GNU tar of (name, content) members in this order, each
// name absolute and kept as it is, leading "/" included.
bytes gnu_tar(const std::vector<std::pair<std::string, bytes>> &members);

// The identity a controller reports: the simulator's defaults, or others
// given to it with options().
struct controller_identity {
    std::string model = "VESTRA-4";
    std::string firmware = "1.3.0";
    std::string serial = "V4-2106-000482";
    std::string mac = "00:1e:c0:4a:12:7f";
    sim_options options() const;
};

// ---- Console lines ----

std::string fetching_line(const std::string &tag, const std::string &url);
std::string pushing_line(const std::string &tag, const std::string &url);
std::string received_line(const std::string &tag, std::size_t size);
extern const std::string LIST_HEAD;     // "backup\tbackup file contains: \r\n"
// One entry of a listing: "\tNAME (SIZE bytes)\r\n"; a listing cut short by
// the tar reader's result: "\tfile error CODE.\r\n" (printed unsigned).
std::string entry_line(const std::string &name, long long size);
std::string file_error(std::uint32_t code);
extern const std::string NO_STATUS_TXT; // "backup\terror status.txt file not found.\r\n"
extern const std::string RESTORE_OK;    // the simulator's answer to a restore request
// The front end's four option values, the last lines before the action's.
std::string option_values(const std::string &action, const std::string &ip, const std::string &out = "(null)",
                          const std::string &type = "(null)");
// The four identity lines that end a listing.
std::string identity_lines(const controller_identity &id = {});
// Fetching configuration `name` from `sim` and listing it, up to its "OK":
// the entries of the archive the controller serves, its status document, the
// identity lines.
std::string config_listing(const controller_sim &sim, const std::string &name, const controller_identity &id = {});
// The status query a restore starts with: "fetching", "received" with the
// size the controller logged for its last answer (after a redirect, the
// redirected request's), and the model line.
std::string status_query_lines(const controller_sim &sim);
// One archive going up: the TFTP upload and its "OK", the restore request,
// the controller's answer and "OK".
std::string upload_lines(const std::string &address, const std::string &answer = RESTORE_OK);
