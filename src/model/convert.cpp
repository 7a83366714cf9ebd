#include "model/convert.h"

#include "model/channel_file.h"
#include "model/dali_layout.h"

#include <cstdio>
#include <cstring>

namespace {

// Where each device type with type data keeps it.
struct type_area {
    std::uint8_t device_type;
    std::int32_t dali_layout::*offset;
    std::uint32_t size;
};
constexpr type_area TYPE_AREAS[] = {
    {DALI_TYPE_5, &dali_layout::type_5_data, DALI_TYPE_5_DATA_SIZE},
    {DALI_TYPE_6, &dali_layout::type_6_data, DALI_TYPE_6_DATA_SIZE},
    {DALI_TYPE_8, &dali_layout::type_8_data, DALI_TYPE_8_DATA_SIZE},
};

bool has_type_data(std::uint8_t device_type)
{
    for (const type_area &area : TYPE_AREAS)
        if (area.device_type == device_type)
            return true;
    return false;
}

void convert_device(std::uint8_t *out, const dali_layout &to, const std::uint8_t *in, const dali_layout &from)
{
    // Common settings and the device type.
    std::memcpy(out, in, DALI_DEV_COMMON_SIZE + 1);
    const std::uint8_t device_type = in[DALI_DEV_DEVICE_TYPE];

    // Marker byte and the 255 after it: computed from layout 1, carried otherwise.
    if (from.type_marker == DALI_ABSENT) {
        out[to.type_marker] = has_type_data(device_type) ? device_type : DALI_NO_TYPE_DATA;
        out[to.type_marker + 1] = DALI_NO_TYPE_DATA;
    } else {
        std::memcpy(out + to.type_marker, in + from.type_marker, 2);
    }

    // Type data goes only where the new layout has an area for the entry's type.
    for (const type_area &area : TYPE_AREAS) {
        const std::int32_t source = from.*area.offset;
        const std::int32_t target = to.*area.offset;
        if (area.device_type == device_type && source != DALI_ABSENT && target != DALI_ABSENT)
            std::memcpy(out + target, in + source, area.size);
    }

    std::memcpy(out + to.name, in + from.name, DALI_DEV_NAME_SIZE);
    out[to.name_tail] = in[from.name_tail];
    std::memcpy(out + to.word, in + from.word, 4);
    std::memcpy(out + to.words, in + from.words, DALI_DEV_WORDS_SIZE);
}

// One conversion step from layout `from` to the newer layout `to` (2 or 3).
int dali_convert(std::uint8_t *out, const dali_layout &to, const std::uint8_t *in, const dali_layout &from)
{
    if (out == nullptr || in == nullptr)
        return 1;
    std::memset(out, 0, to.file_size);
    std::memcpy(out, in, DALI_RESERVED);  // header bytes 0 to 58; 59 stays 0
    for (std::uint32_t i = 0; i < DALI_DEVICE_COUNT; ++i)
        convert_device(out + dali_device_offset(to, i), to, in + dali_device_offset(from, i), from);
    std::memcpy(out + to.channel_table, in + from.channel_table, DALI_CHANNEL_TABLE_SIZE);
    std::memcpy(out + to.trailer, in + from.trailer, DALI_TRAILER_SIZE);

    dali_put_u32(out, DALI_FILE_SIZE, to.file_size);
    dali_put_u32(out, DALI_LAYOUT_VERSION, to.version);
    dali_put_u32(out, DALI_REVISION, dali_get_u32(in, DALI_REVISION) + 1);
    dali_file_stamp(out, to.file_size);
    return 0;
}

void print_refusal(std::uint32_t layout, std::uint32_t index)
{
    std::printf("CONFIGURATION CONVERSION VERSION %u to %u IS NOT SUPPORTED!", layout, index);
}

// A channel file of layout `from` for a controller of version index `index`:
// 0 with `out` filled, or 2.
unsigned convert_channel_file(const std::uint8_t *data, std::uint32_t size, std::uint32_t index,
                              std::vector<std::uint8_t> *out)
{
    const std::uint32_t version = dali_get_u32(data, DALI_LAYOUT_VERSION);
    const dali_layout *from = dali_layout_for_version(version);
    if (from == nullptr)
        return 2;  // a layout newer than any known: refused without a message
    const dali_layout *to = dali_layout_for_version(config_expected_layout(index));
    if (from->version == to->version) {
        out->assign(data, data + size);
        return 0;
    }
    if (from->version > to->version) {
        print_refusal(version, index);
        return 2;
    }
    if (size != from->file_size)
        return 2;
    out->assign(to->file_size, 0);
    dali_convert(out->data(), *to, data, *from);
    return 0;
}

}  // namespace

int dali_convert_1_to_2(std::uint8_t *out, const std::uint8_t *in)
{
    return dali_convert(out, DALI_LAYOUT_2, in, DALI_LAYOUT_1);
}

int dali_convert_2_to_3(std::uint8_t *out, const std::uint8_t *in)
{
    return dali_convert(out, DALI_LAYOUT_3, in, DALI_LAYOUT_2);
}

int dali_convert_1_to_3(std::uint8_t *out, const std::uint8_t *in)
{
    return dali_convert(out, DALI_LAYOUT_3, in, DALI_LAYOUT_1);
}

unsigned config_convert(std::uint32_t kind, const char *firmware_version, const std::uint8_t *data,
                        std::uint32_t size, std::vector<std::uint8_t> *out)
{
    if (data == nullptr || out == nullptr)
        return 1;
    out->clear();
    const bool versioned = config_kind_is_channel(kind) || config_kind_is_cd(kind);
    // A file too short to hold its version field cannot be judged.
    if (versioned && size < DALI_REVISION)
        return 2;

    if (config_kind_is_channel(kind))
        return convert_channel_file(data, size, config_version_index(firmware_version), out);
    if (config_kind_is_cd(kind)) {
        if (dali_get_u32(data, DALI_LAYOUT_VERSION) > 2)
            return 2;
    } else if (kind != CONFIG_KIND_SYSTEM && kind != CONFIG_KIND_SCHEDULES && kind != CONFIG_KIND_RLC) {
        return 2;
    }
    out->assign(data, data + size);
    return 0;
}
