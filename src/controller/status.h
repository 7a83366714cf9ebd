// The status query: the controller's status document over HTTP.
#pragma once

#include "model/status_document.h"

#include <cstdint>

// Fetches "<address>/api/v100/status.ssi" into `status`. 0 when the document
// delivered a model_name, 1 otherwise (missing argument, transfer failure, no
// model_name). The record holds whatever was taken, whatever the result;
// `received`, when given, the number of bytes the answer had.
int status_get(const char *address, controller_status *status, std::uint64_t *received = nullptr);
