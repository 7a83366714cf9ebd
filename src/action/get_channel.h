// The get_channel action: a channel's devices written as a channel CSV file
// that setup_channel takes back, from the controller or from a backup file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// For each pair of a channel and a CSV file (index by index, as for
// setup_channel): the channel's file from `backup_file` when given (a backup
// zip or a single configuration tar; nothing goes over the network), else
// from the controller at `address`, written to the CSV file, which must not
// exist yet. 2 without a source, channels or files (after "Missing arguments
// for action get_channel."), 1 when a pair failed, else 0.
int action_get_channel(const char *address, const char *backup_file, const std::vector<std::int32_t> &channels,
                       const std::optional<std::vector<std::string>> &csv_files);
