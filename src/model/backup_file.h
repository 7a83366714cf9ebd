// A backup as a file on disk, read without any controller: a zip archive of
// configuration archives (as get_backup writes it) or a single configuration
// archive (a loose tar file of a "directory" backup).
#pragma once

#include "model/catalogue.h"
#include "zip/zip_layer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One configuration archive of a backup. Its bytes are read when asked for
// (backup_member_archive), one member at a time, so that a backup with many
// or huge entries costs no more memory than its largest configuration archive.
struct backup_member {
    std::string name;                     // its zip entry name, or the tar file's own name
    const config_entry *config = nullptr; // the configuration it is, or null for any other entry
    std::int64_t zip_index = -1;          // its entry in the zip; -1: the single tar file
};

struct backup_contents {
    std::vector<backup_member> members;   // in archive order (directories left out)
    mzip::zip_handle_ptr archive;         // the open zip of a zip backup (null: a single tar file)
    std::vector<std::uint8_t> tar;        // the bytes of a single tar file
};

// Reads the backup at `path`. Nothing when the file cannot be read or is
// neither a zip archive nor a tar archive whose first header is sound, with
// `why` set to what follows the file's name in a sentence ("cannot be read:
// <reason>" or "is no backup: <reason>"; `tar_error` then holds the tar
// reader's code).
std::optional<backup_contents> backup_file_read(const char *path, std::string &why, int &tar_error);

// False, with `why` set as backup_file_read sets it, when the file is a zip
// archive that declares more entries or a larger directory than a backup has
// (BACKUP_ENTRIES_MAX, BACKUP_DIRECTORY_MAX): it is not opened, since a record
// of each entry would cost memory first.
bool backup_entries_fit(const char *path, std::string &why);

// The bytes of `member`'s configuration archive; nothing when its entry is
// damaged, declares or inflates past the largest configuration archive,
// shares its data with another entry, or would take the backup's entries
// past what one run inflates (BACKUP_READ_MAX), with `why` (when given) set
// to which ("the entry cannot be read", ...).
std::optional<std::vector<std::uint8_t>> backup_member_archive(const backup_contents &backup,
                                                               const backup_member &member,
                                                               std::string *why = nullptr);

// Why a zip entry could not be read, from the result of mzip::zip_entry_read:
// "the entry cannot be read", "the entry is larger than any configuration
// archive", "the entry shares its data with another entry", "the backup's
// entries inflate to more than 16 MiB in all".
std::string backup_entry_failure(std::int64_t read_result);

// The member holding configuration `config`, or null; `count` (when given)
// receives how many members hold it (a backup holding one twice is
// ambiguous).
const backup_member *backup_member_of(const backup_contents &backup, const config_entry &config,
                                      std::size_t *count = nullptr);
