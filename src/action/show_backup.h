// The show_backup action: what a backup holds, read without the network.
#pragma once

// Prints where the backup came from (model, firmware, serial and MAC from its
// status documents), one line per configuration (size; for channel files the
// layout, whether the checksum holds and the number of devices; for cd files
// the version), and whether every channel file is intact and which firmware
// takes them unchanged. 2 without a backup file (after "Missing arguments
// for action show_backup."), 1 when it is no backup or an entry is damaged,
// else 0.
int action_show_backup(const char *backup_file);
