// A backup as a file on disk, read without any controller: a zip archive of
// configuration archives (as get_backup writes it) or a single configuration
// archive (a loose tar file of a "directory" backup).
#pragma once

#include "model/catalogue.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One configuration archive of a backup.
struct backup_member {
    std::string name;                    // its zip entry name, or the tar file's own name
    const config_entry *config = nullptr; // the configuration it is, or null for any other entry
    std::vector<std::uint8_t> archive;   // its bytes
    bool readable = true;                // false: damaged, or larger than any configuration archive
};

struct backup_contents {
    bool zip = false;                    // a zip backup (else a single tar file)
    std::vector<backup_member> members;  // in archive order (directories left out)
};

// Reads the backup at `path`. Nothing when the file cannot be read or is
// neither a zip archive nor a tar archive whose first header is sound, with
// `why` set to what follows the file's name in a sentence ("cannot be read:
// <reason>" or "is no backup: <reason>"; `tar_error` then holds the tar
// reader's code).
std::optional<backup_contents> backup_file_read(const char *path, std::string &why, int &tar_error);

// The member holding configuration `config`, or null.
const backup_member *backup_member_of(const backup_contents &backup, const config_entry &config);
