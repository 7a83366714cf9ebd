// The list-valued options: a JSON value or array read into a list.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Channel numbers for --channel, --create and -c. A 0 entry ends the list.
void list_read_channels(const char *argument, std::vector<std::int32_t> &list);
// Texts for --channelcsvfile and --backupconfig. The list stays absent until
// its first element is appended.
void list_read_texts(const char *argument, std::optional<std::vector<std::string>> &list);
