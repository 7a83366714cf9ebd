// Layer: base. The bottom of the tool: formatted allocation and the bounded
// path field, hexadecimal text both ways, ordering of firmware version texts,
// the plain records other layers pass around (download buffer, file in
// memory), the one block of sanity limits against hostile input, the files
// an interrupted run removes, the one way diagnostics are written, and UTF-8
// and console-safe text.
//
// Uses: the C and C++ standard libraries only. Every other folder may use it.
//
// Results: a function that can fail returns -1 (format_alloc, hex_encode) or
// an absent std::optional (hex_decode). Nothing here prints but diag(), the
// one way the tool's own diagnostics reach standard error.
#pragma once

#include "base/cleanup.h"
#include "base/diag.h"
#include "base/file_put.h"
#include "base/format.h"
#include "base/hex.h"
#include "base/limits.h"
#include "base/records.h"
#include "base/text.h"
#include "base/version.h"
