#include "action/get_backup.h"

#include <cstdio>

int action_get_backup(const char *address, const char *, const char *, const std::vector<std::string> *)
{
    if (!address) {
        std::fputs("Missing arguments for action get_backup.", stdout);
        return 2;
    }
    return 0;
}
