// Layer: model. What the tool knows about the controller's data, with no
// network in sight: the configuration catalogue and the firmware versions at
// which channel files changed layout, the DALI channel file in its three
// layouts and its checksum, the conversion between layouts, the channel CSV
// import and export (CSV files and .xlsx workbooks, read as sheets), the
// status document, and the configuration archive's listing.
//
// Uses: base and the formats (json, tar, zip), libcsv, expat and libxlsxwriter. Used by controller,
// action and the simulated controller and tests (for the catalogue).
//
// Results: 0 for success and 1 for failure; 2 where a file is refused (a
// conversion, a firmware version the channel setup cannot write); the tar
// error code where an archive fails to list. Messages that belong to a step
// (missing file, refused conversion) are printed where they happen.
#pragma once

#include "model/backup_file.h"
#include "model/catalogue.h"
#include "model/channel_file.h"
#include "model/config_archive.h"
#include "model/convert.h"
#include "model/csv.h"
#include "model/csv_export.h"
#include "model/dali_layout.h"
#include "model/sheet.h"
#include "model/status_document.h"
