// Sanity limits against damaged or hostile input, kept in one place. Each one
// bounds what the tool allocates or accepts from a file or from the network,
// and is far above anything a genuine controller, backup or firmware file
// produces, so only broken or malicious input ever meets it.
#pragma once

#include <cstddef>
#include <cstdint>

// A download held in memory (the status document, one configuration archive).
// Genuine answers are a few kilobytes; an answer growing past this is dropped
// and the transfer fails with a write error, instead of exhausting memory or
// wrapping the 32-bit byte count of the receive buffer.
constexpr std::uint32_t TRANSFER_MAX_DOWNLOAD = 64u * 1024u * 1024u;

// The largest answers a genuine controller gives, from which the time a
// transfer may take is derived (at the slowest speed it may go, see
// controller/transfer.h): nothing is refused for its size below the download
// limit above, but nothing may take longer than its size allows.
//
// The status document is 22 short text members (509 bytes from a
// controller), and a restore or upgrade request is answered with a one-line
// JSON object: 64 KiB is more than a hundred times either.
constexpr std::uint32_t STATUS_DOCUMENT_MAX = 64u * 1024u;
// A configuration archive is one fixed-layout file and status.txt in a tar
// archive. The largest a controller hands out is 13,824 bytes (a channel
// file of 11,168 bytes; the system configuration, schedules, rlc and channel
// sets are 640 to 3,072 bytes): 1 MiB is 75 times that.
constexpr std::uint32_t CONFIG_ARCHIVE_MAX = 1024u * 1024u;

// A configuration archive taken out of a backup (a zip entry, a loose tar
// file) was a download of a configuration once, so it is never larger than
// one. An entry that declares or inflates past this (a zip bomb, a damaged
// or crafted backup) is not read further.
constexpr std::uint32_t BACKUP_ENTRY_MAX = CONFIG_ARCHIVE_MAX;

// A backup zip holds one entry per configuration (eleven, and whatever else
// was put beside them); an archive that declares more entries than a zip
// without 64-bit extensions holds (as get_backup writes them), or a larger
// central directory than such entries need with the names and extra fields
// zip writers give them, is no backup and is not opened: a record of each
// entry costs memory before any of them is read (113 MB for 200,000 entries,
// 65 MB for a directory of 18 MB).
constexpr std::uint64_t BACKUP_ENTRIES_MAX = 65535;
constexpr std::uint64_t BACKUP_DIRECTORY_MAX = 8u * 1024 * 1024;

// All entries read out of one backup in one run inflate to no more than
// this: the eleven configurations a backup holds at most, each at its
// largest, fit in it with room to spare, while a crafted archive of many
// entries cannot keep the tool inflating for hours.
constexpr std::uint64_t BACKUP_READ_MAX = 16ull * CONFIG_ARCHIVE_MAX;

// Memory reserved up front for a zip entry whose declared size is larger:
// beyond this the buffer grows as data really arrives, so a false declared
// size costs no more than this.
constexpr std::uint64_t ZIP_RESERVE_MAX = 16u * 1024 * 1024;

// Memory the XZ decoder may take for its dictionary and state when it unpacks
// a firmware package entry. Images are at most 16 MiB, and so is any sensible
// dictionary for them.
constexpr std::uint64_t FIRMWARE_XZ_MEMORY_MAX = 128u << 20;

// The largest valid firmware image (0xFFFFFE bytes). A raw image file, or a
// package entry that declares or inflates to more, is refused before anything
// is allocated for it: a small package can claim gigabytes.
constexpr std::uint32_t FIRMWARE_IMAGE_MAX = 16777214;

// A firmware package holds one image (compressed or stored) and its digest,
// so it is never much larger than the largest image; a larger file is not
// read into memory.
constexpr std::uint64_t FIRMWARE_PACKAGE_MAX = 2ull * FIRMWARE_IMAGE_MAX;
