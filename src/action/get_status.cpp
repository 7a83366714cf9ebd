#include "action/get_status.h"

#include "base/format.h"
#include "controller/status.h"

#include <cstdio>

int action_get_status(const char *address)
{
    if (!address) {
        std::fputs("Missing arguments for action get_status.", stdout);
        return 2;
    }
    controller_status status;
    int result = status_get(address, &status);
    if (result == 0)
        std::printf("model_name=%s\r\n", show(status.model_name));
    status_free(&status);
    return result;
}
