// A configuration archive as the controller hands it out (a tar archive with
// the configuration's file and the controller's "status.txt"): the record a
// download fills, its listing, and taking a file out of it.
#pragma once

#include "base/records.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A downloaded configuration archive (the mem_buffer part) and the identity
// values read from the "status.txt" document inside it.
struct backup_download : mem_buffer {
    std::optional<std::string> model_name;
    std::optional<std::string> firmware_version;
    std::optional<std::string> serial_number;
    std::optional<std::string> mac;
};

struct tar_t;

// Prints the "backup file contains" line and one line per entry of the
// archive read through `tar`, from its position to the null record. 0 when the
// end was reached, else the tar error that stopped the walk; `entries` (may be
// null) receives the number of entries listed.
int backup_list_entries(tar_t *tar, std::uint32_t *entries);
// Takes the entry named `path` out of the tar archive of `size` bytes into
// `file`. False, after "<tag>\terror '<path>' file not found." (or "file size
// error", or "error reading"), when it is missing, empty, larger than what
// the archive holds, or cannot be read.
bool backup_take_file(const std::uint8_t *archive, std::uint32_t size, const char *path, const char *tag,
                      std::vector<std::uint8_t> &file);
// Lists the received archive and reads its status document (whose identity
// values it stores in the record). 0 when the archive listed to its end; else
// 1 (nothing received, no entry) or the tar error that stopped the listing,
// whether or not the status document could be read.
int backup_list(backup_download *download);
// What a configuration archive holds, read without printing anything.
struct config_archive_view {
    int listing = 1;          // as backup_list: 0 listed to its end, 1 no entry, else the tar error
    std::uint32_t entries = 0;
    std::optional<std::string> model_name;        // from "status.txt", when it could be read
    std::optional<std::string> firmware_version;
    std::optional<std::string> serial_number;
    std::optional<std::string> mac;
    std::optional<std::string> path;              // the configuration file's path in the archive
    std::optional<std::vector<std::uint8_t>> file; // its bytes, when held whole and readable
};
// Reads the archive of `size` bytes: its entries, its status document, and
// the file at `path` (or, without a path, the first entry that is not the
// status document). Nothing is allocated for more than the archive holds.
config_archive_view config_archive_inspect(const std::uint8_t *archive, std::uint32_t size, const char *path);

// Releases the four identity texts (not the data).
void backup_download_free(backup_download *download);
