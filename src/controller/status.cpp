#include "controller/status.h"

#include "base/format.h"
#include "base/limits.h"
#include "controller/transfer.h"

int status_get(const char *address, controller_status *status, std::uint64_t *received_bytes)
{
    if (received_bytes)
        *received_bytes = 0;
    if (!address || !status)
        return 1;
    status_free(status);
    std::string url;
    if (format_alloc(url, "%s/api/v100/status.ssi", address) <= 0)
        return 1;
    mem_buffer buffer;
    if (transfer_download("status", url.c_str(), &buffer, STATUS_DOCUMENT_MAX) != 0)
        return 1;
    const std::uint32_t received = mem_buffer_held(buffer);
    if (received_bytes)
        *received_bytes = received;
    return status_parse(reinterpret_cast<const char *>(buffer.data.data()), received, status);
}
