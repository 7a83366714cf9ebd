// The put_backup action: restores a backup zip archive or a single tar file.
#pragma once

int action_put_backup(const char *address, const char *file_in);
