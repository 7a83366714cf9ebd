// The status document walk over arbitrary bytes.
#include "fuzz/fuzz_support.h"
#include "model/status_document.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    controller_status status;
    const int result = status_parse(reinterpret_cast<const char *>(data), size, &status);
    // 0 exactly when the document named the model.
    FUZZ_CHECK((result == 0) == status.model_name.has_value());
    // A second walk over the same record starts from a cleared one.
    controller_status again;
    again.hostname = "left over";
    FUZZ_CHECK(status_parse(reinterpret_cast<const char *>(data), size, &again) == result);
    FUZZ_CHECK(again.hostname == status.hostname);
    FUZZ_CHECK(again.model_name == status.model_name);
    FUZZ_CHECK(status_free(&status) == 0);
    FUZZ_CHECK(!status.model_name && !status.firmware_version);
    return 0;
}
