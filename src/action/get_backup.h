// The get_backup action: every configuration of the controller into one zip
// archive or into loose tar files.
#pragma once

#include <string>
#include <vector>

// `names` is the list of configuration names, or null for the built-in list.
// 2 without an address (or without the directory an output type needs), 1
// when the output cannot be written or a configuration was not fetched or not
// stored, else 0.
int action_get_backup(const char *address, const char *directory, const char *type,
                      const std::vector<std::string> *names);
