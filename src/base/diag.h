// The one way the tool's own diagnostics are written: one line on standard
// error, "mervo-cli: " and the message. The controller's progress lines and
// the messages the tool has always printed keep their own places.
#pragma once

#include "base/printf_format.h"

void diag(const char *format, ...) MERVO_PRINTF(1, 2);
