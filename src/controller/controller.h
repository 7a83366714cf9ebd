// Layer: controller. Everything that crosses the network to the controller,
// and the only code that includes libcurl: HTTP downloads into memory (the
// status document, configuration archives, each listed at once), the restore
// and upgrade requests, and the TFTP upload of "flashraw.bin".
//
// Uses: base, the formats and model (to list what arrives). Used by action.
//
// Results: 0 for success, 1 for failure, after the failure line
// "curl_easy_perform() failed: ..." on standard error; a download's listing
// adds its own result (the tar error code).
#pragma once

#include "controller/download.h"
#include "controller/status.h"
#include "controller/transfer.h"
