// The get_backup action: every configuration of the controller into one zip
// archive or into loose tar files.
#pragma once

#include <optional>
#include <string>
#include <vector>

// `names` is the list of configuration names, or null for the built-in list.
// 2 without an address (or without the directory an output type needs), 1
// when the output cannot be written or a configuration was not fetched or not
// stored, else 0.
int action_get_backup(const char *address, const char *directory, const char *type,
                      const std::vector<std::string> *names);

// Why get_backup with this output folder and type would store nothing, as a
// sentence naming the option and what to write instead: a type other than
// "zip" or "directory" ("Zip", "dir"), or a folder without a type. Nothing
// when the backup is stored, or when neither option was given.
std::optional<std::string> backup_output_complaint(const char *directory, const char *type);
