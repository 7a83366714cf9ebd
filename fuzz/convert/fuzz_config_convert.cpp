// The configuration conversion over arbitrary files, for every configuration
// kind (and one past the last) and for a controller of every version index
// (and one without a firmware version). The first bytes, read as a version
// text, also go through the version lookup and one more conversion.
#include "model/convert.h"
#include "model/dali_layout.h"
#include "fuzz/fuzz_support.h"

#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_stdout();
    return 0;
}

namespace {

void convert(std::uint32_t kind, const char *firmware_version, const std::uint8_t *data, std::size_t size)
{
    std::vector<std::uint8_t> out(3, 0xAA);
    const unsigned result = config_convert(kind, firmware_version, data, static_cast<std::uint32_t>(size), &out);
    FUZZ_CHECK(result == 0 || result == 2);
    if (result == 2) {
        FUZZ_CHECK(out.empty());
        return;
    }
    const bool channel = config_kind_is_channel(kind);
    if (!channel || out.size() == size) {
        // Passed on as it is (or a channel file already in the wanted layout).
        FUZZ_CHECK(out.size() == size && (size == 0 || std::memcmp(out.data(), data, size) == 0));
        return;
    }
    // A converted channel file is a whole file of the new layout.
    FUZZ_CHECK(out.size() == DALI_LAYOUT_2.file_size || out.size() == DALI_LAYOUT_3.file_size);
    FUZZ_CHECK(dali_get_u32(out.data(), DALI_FILE_SIZE) == out.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > UINT32_MAX)
        return 0;
    // An exactly sized copy, so that any read past the file is caught.
    const std::vector<std::uint8_t> file(data, data + size);
    static const std::uint8_t nothing = 0;
    const std::uint8_t *bytes = file.empty() ? &nothing : file.data();

    const char *versions[std::size(config_versions) + 1] = {};  // the last one: no firmware version
    for (std::size_t i = 0; i < std::size(config_versions); ++i) {
        versions[i] = config_versions[i].firmware_version;
        FUZZ_CHECK(config_version_index(config_versions[i].firmware_version) == config_versions[i].index);
    }
    for (std::uint32_t kind = 0; kind <= CONFIG_KIND_RLC + 1; ++kind)
        for (const char *version : versions)
            convert(kind, version, bytes, size);

    // A version text out of the input's first bytes.
    const std::string version(reinterpret_cast<const char *>(data), std::min<std::size_t>(size, 24));
    const std::uint32_t index = config_version_index(version.c_str());
    FUZZ_CHECK(index < std::size(config_versions));
    convert(CONFIG_KIND_DALI_FIRST, version.c_str(), bytes, size);
    return 0;
}
