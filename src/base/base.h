// Layer: base. The bottom of the tool: formatted allocation and the bounded
// path field, hexadecimal text both ways, ordering of firmware version texts,
// the plain records other layers pass around (download buffer, file in
// memory), and the one block of sanity limits against hostile input.
//
// Uses: the C and C++ standard libraries only. Every other folder may use it.
//
// Results: a function that can fail returns -1 (format_alloc, hex_encode) or
// an absent std::optional (hex_decode); nothing here prints.
#pragma once

#include "base/format.h"
#include "base/hex.h"
#include "base/limits.h"
#include "base/records.h"
#include "base/version.h"
