// Layer: formats (json, tar, zip, firmware sit side by side above base and
// use nothing but base, the standard library and their own third-party
// libraries: libzip, zlib, libbz2, liblzma). Firmware files: the password-
// protected package and the raw image read into memory, the information block
// and size limits of an image, and SHA-256.
//
// Results: the readers return 0 or their negative codes after printing the
// message that goes with each (the messages the technician sees); the image
// check returns 0 or nonzero; SHA-256 cannot fail.
#pragma once

#include "firmware/info.h"
#include "firmware/package.h"
#include "firmware/sha256.h"
