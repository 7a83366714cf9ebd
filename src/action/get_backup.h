// The get_backup action: every configuration of the controller into one zip
// archive or into loose tar files.
#pragma once

#include <string>
#include <vector>

// `names` is the list of configuration names, or null for the built-in list.
int action_get_backup(const char *address, const char *directory, const char *type,
                      const std::vector<std::string> *names);
