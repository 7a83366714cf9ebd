#include "action/push_firmware.h"

#include <cstdio>

int action_push_firmware(const char *address, const char *)
{
    if (!address) {
        std::fputs("Missing arguments for action push_firmware.", stdout);
        return 2;
    }
    return 1;
}
