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

bool config_name_valid(const char *name)
{
    if (name == nullptr || *name == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return false;
    for (const char *c = name; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7F)
            return false;
    }
    return true;
}

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
