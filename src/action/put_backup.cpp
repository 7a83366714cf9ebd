#include "action/put_backup.h"

#include <cstdio>

int action_put_backup(const char *address, const char *file_in)
{
    if (!address || !file_in) {
        std::fputs("Missing arguments for action put_backup.", stdout);
        return 2;
    }
    return 1;
}
