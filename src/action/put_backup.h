// The put_backup action: restores a backup zip archive or a single tar file.
//
// From a zip backup each configuration archive the tool knows is taken apart,
// its configuration file brought to the layout the controller's firmware
// expects, packed into a fresh one-entry tar archive and uploaded on its own.
// A single tar file goes up byte for byte.
#pragma once

// 2 without an address or a backup path (after "Missing arguments for action
// put_backup."); status_get's result when the controller's status could not
// be read; otherwise the result of the last configuration of a zip backup
// that reached its conversion (0 uploaded, 1 not built or not uploaded, 2
// refused by the conversion), or 0 when none did and for a single tar file.
int action_put_backup(const char *address, const char *file_in);
