// Layer: action. The tool's actions, each one run per invocation: get_status,
// get_backup, put_backup, setup_channel (one call per channel/CSV pair),
// push_firmware, and the two that need no controller when given a backup
// file: get_channel and show_backup. Each checks its own arguments, prints its progress and its
// "OK" lines, and owns everything it allocates for its own duration.
//
// Uses: controller, model, the formats and base. Used by cli.
//
// Results: 0 for success, 1 for failure, 2 when arguments are missing; the
// front end does not turn them into the exit status. channel_setup reports
// CHANNEL_SETUP_END_RUN when a CSV file was rejected: the run then ends with
// status 1.
#pragma once

#include "action/channel_pairs.h"
#include "action/get_backup.h"
#include "action/get_channel.h"
#include "action/get_status.h"
#include "action/push_firmware.h"
#include "action/put_backup.h"
#include "action/report.h"
#include "action/setup_channel.h"
#include "action/show_backup.h"
