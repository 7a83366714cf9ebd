// The channel CSV import over arbitrary files. The import reads from a path,
// so each input is written to a scratch file first. The tokeniser in its
// non-strict mode takes any bytes, so a rejection is reported as a finding.
#include "model/channel_file.h"
#include "model/csv.h"
#include "fuzz/fuzz_support.h"

#include <memory>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const char *path = fuzz_scratch().write(data, size);
    auto config = std::make_unique<channel_config>();
    FUZZ_CHECK(channel_csv_load(path, config.get()) == CSV_LOADED);
    return 0;
}
