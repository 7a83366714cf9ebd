// Bringing a configuration file taken out of a backup to the layout that the
// controller's firmware expects before it is restored. Only the DALI channel
// files (dali1 to dali4) changed their layout: layout 1 up to firmware 1.3.0,
// layout 2 from 1.3.1, layout 3 from 1.5.0. Conversion only goes forward.
#pragma once

#include "status/status.h"

#include <cstdint>
#include <vector>

// One row of the firmware version table.
struct config_version {
    const char *firmware_version;
    std::uint32_t index;
};
// "1.0.0" 0, "1.3.0" 1, "1.3.1" 2, "1.5.0" 3. Index 0 and 1 expect channel
// files of layout 1, index 2 layout 2, index 3 layout 3.
extern const config_version config_versions[4];

// Configuration kinds: the first column of the restore table.
enum : std::uint32_t {
    CONFIG_KIND_SYSTEM = 0,
    CONFIG_KIND_DALI_FIRST = 1,   // dali1 to dali4
    CONFIG_KIND_DALI_LAST = 4,
    CONFIG_KIND_CD_FIRST = 5,     // cd1 to cd4
    CONFIG_KIND_CD_LAST = 8,
    CONFIG_KIND_SCHEDULES = 9,
    CONFIG_KIND_RLC = 10,
};

// The index of the last table row whose version is not after `firmware_version`
// (compared numerically, component by component); 0 when none is, or when the
// text is null.
std::uint32_t config_version_index(const char *firmware_version);

// Converts (or passes on) the `size` bytes at `data` of configuration kind
// `kind` for the controller described by `status` (a status without a
// firmware version counts as index 0). 0 on success with the file to upload
// in `out` (a copy or the converted file; empty when the input was empty),
// 1 when data or out is null, 2 when the file is refused (out left empty).
// A refused downgrade prints "CONFIGURATION CONVERSION VERSION %u to %u IS NOT SUPPORTED!".
unsigned config_convert(std::uint32_t kind, const controller_status *status, const std::uint8_t *data,
                        std::uint32_t size, std::vector<std::uint8_t> *out);

// The layout steps: `out` must hold the new layout's size (10912 for layout 2,
// 7072 for layout 3), `in` a whole file of the older layout. 1 when a pointer
// is null, else 0.
int dali_convert_1_to_2(std::uint8_t *out, const std::uint8_t *in);
int dali_convert_2_to_3(std::uint8_t *out, const std::uint8_t *in);
int dali_convert_1_to_3(std::uint8_t *out, const std::uint8_t *in);
