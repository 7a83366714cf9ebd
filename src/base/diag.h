// The one way the tool's own diagnostics are written: one line on standard
// error, "mervo-cli: " and the message. The controller's progress lines and
// the messages the tool has always printed keep their own places.
#pragma once

void diag(const char *format, ...) __attribute__((format(printf, 1, 2)));
