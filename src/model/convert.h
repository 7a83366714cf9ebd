// Bringing a configuration file taken out of a backup to the layout that the
// controller's firmware expects before it is restored. Only the DALI channel
// files (dali1 to dali4) changed their layout: layout 1 up to firmware 1.3.0,
// layout 2 from 1.3.1, layout 3 from 1.5.0 (model/catalogue.h). Conversion
// only goes forward.
#pragma once

#include "model/catalogue.h"

#include <cstdint>
#include <vector>

// Converts (or passes on) the `size` bytes at `data` of configuration kind
// `kind` for a controller running `firmware_version` (null counts as version
// index 0). 0 on success with the file to upload in `out` (a copy or the
// converted file; empty when the input was empty), 1 when data or out is
// null, 2 when the file is refused (out left empty). A refused downgrade
// prints "CONFIGURATION CONVERSION VERSION %u to %u IS NOT SUPPORTED!".
unsigned config_convert(std::uint32_t kind, const char *firmware_version, const std::uint8_t *data,
                        std::uint32_t size, std::vector<std::uint8_t> *out);

// The layout steps: `out` must hold the new layout's size (10912 for layout 2,
// 7072 for layout 3), `in` a whole file of the older layout. 1 when a pointer
// is null, else 0.
int dali_convert_1_to_2(std::uint8_t *out, const std::uint8_t *in);
int dali_convert_2_to_3(std::uint8_t *out, const std::uint8_t *in);
int dali_convert_1_to_3(std::uint8_t *out, const std::uint8_t *in);
