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

// What the reading of a list option passes over without a word: a value that
// is no JSON at all, an error after its start, text after the first value,
// lists inside the list, elements of the wrong kind, a channel 0 before
// others. The first of those as a sentence naming the option (as `option`,
// e.g. "--channel"), the value as given, what is read of it and the form to
// write instead; nothing when the value is read whole.
enum class list_kind { channels, texts };
std::optional<std::string> list_option_complaint(const char *option, const char *argument, list_kind kind);
