#include "action/get_status.h"

#include "base/format.h"
#include "base/text.h"
#include "action/report.h"
#include "controller/status.h"
#include "controller/transfer.h"

#include <cstdint>
#include <cstdio>

int action_get_status(const char *address)
{
    if (!address) {
        missing_arguments("get_status");
        return 2;
    }
    controller_status status;
    std::uint64_t received = 0;
    int result = status_get(address, &status, &received);
    record_identity(status.model_name, status.firmware_version, status.serial_number);
    record_step("status", "status.ssi", result == 0, received,
                transfer_last_error().empty() ? "the answer names no model" : transfer_last_error());
    if (result == 0)
        std::printf("model_name=%s\r\n", console_line(show(status.model_name)).c_str());
    status_free(&status);
    return result;
}
