#include "model/catalogue.h"

#include "base/version.h"

#include <cstring>

namespace {

template <typename Field>
const config_entry *find(const char *wanted, Field field)
{
    if (wanted == nullptr)
        return nullptr;
    for (const config_entry &entry : config_catalogue)
        if (std::strcmp(entry.*field, wanted) == 0)
            return &entry;
    return nullptr;
}

}  // namespace

const config_entry *config_by_name(const char *name) { return find(name, &config_entry::name); }

const config_entry *config_by_zip_name(const char *zip_name) { return find(zip_name, &config_entry::zip_name); }

std::uint32_t config_version_index(const char *firmware_version)
{
    std::uint32_t index = 0;
    if (firmware_version == nullptr)
        return index;
    for (const config_version &row : config_versions)
        if (version_compare(row.firmware_version, firmware_version) <= 0)
            index = row.index;
    return index;
}
