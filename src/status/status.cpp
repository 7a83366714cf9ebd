#include "status/status.h"

#include <cstdio>

int action_get_status(const char *address)
{
    if (!address) {
        std::fputs("Missing arguments for action get_status.", stdout);
        return 2;
    }
    return 1;
}
