// Download of one configuration archive from the controller, listed at once.
#pragma once

#include "model/config_archive.h"

// Fetches configuration `name` from `base` ("http://" + address) and lists it.
// 0 when received and listed, 1 when the transfer failed, else backup_list's result.
int backup_fetch(const char *base, const char *name, backup_download *download);
