// Byte layout of the DALI channel configuration file in its three layout
// versions. Every offset into a channel file used anywhere in the tool is
// named here: the channel setup edits layout 1, the restore converts layout 1
// to 2 and 3. All multi-byte numbers in the file are little-endian, unsigned.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Header, the same in every layout (bytes 0 to 59) ----
constexpr std::uint32_t DALI_FILE_SIZE = 0;       // u32: size of the whole file in bytes
constexpr std::uint32_t DALI_CHECKSUM = 4;        // u32: CRC-16 of the file in the low half, high half 0
constexpr std::uint32_t DALI_LAYOUT_VERSION = 8;  // u32: 0 or 1 = layout 1, 2, 3
constexpr std::uint32_t DALI_REVISION = 12;       // u32: change counter, raised by each conversion
constexpr std::uint32_t DALI_SETTINGS = 16;       // 40 bytes of channel settings, then setting bytes 56, 57, 58
constexpr std::uint32_t DALI_RESERVED = 59;       // not carried by a conversion (0 there)
constexpr std::uint32_t DALI_DEVICES = 60;        // first device entry

constexpr std::uint32_t DALI_DEVICE_COUNT = 64;
constexpr std::uint32_t DALI_CHANNEL_TABLE_COUNT = 16;
constexpr std::uint32_t DALI_CHANNEL_TABLE_ENTRY = 38;
constexpr std::uint32_t DALI_CHANNEL_TABLE_SIZE = DALI_CHANNEL_TABLE_COUNT * DALI_CHANNEL_TABLE_ENTRY;
constexpr std::uint32_t DALI_DEVICE_BLOCK_SIZE = 12;  // per-device block, layout 1 only
constexpr std::uint32_t DALI_TRAILER_SIZE = 4;

// ---- Device entry: the part shared by all layouts ----
// Bytes 0 to 41 are the common settings and 42 the device type in every layout.
constexpr std::uint32_t DALI_DEV_FLAGS = 0;                 // u32 bit set
constexpr std::uint32_t DALI_DEV_POWER_ON_LEVEL = 5;        // u8, 255 = none
constexpr std::uint32_t DALI_DEV_SYSTEM_FAILURE_LEVEL = 6;  // u8, 255 = none
constexpr std::uint32_t DALI_DEV_MIN_LEVEL = 7;
constexpr std::uint32_t DALI_DEV_MAX_LEVEL = 8;
constexpr std::uint32_t DALI_DEV_FADE_RATE = 9;             // 1 to 15
constexpr std::uint32_t DALI_DEV_FADE_TIME = 10;            // 0 to 15
constexpr std::uint32_t DALI_DEV_ADDRESS_BYTE = 11;         // 2 x short address + 1
constexpr std::uint32_t DALI_DEV_GROUPS = 18;               // u16 group mask
constexpr std::uint32_t DALI_DEV_SCENE_LEVELS = 20;         // 16 x u8, 255 = no level
constexpr std::uint32_t DALI_DEV_IMPORT_MARK = 36;          // u8, set to 255 by the CSV import
constexpr std::uint32_t DALI_DEV_COMMON_SIZE = 42;          // bytes 0 to 41
constexpr std::uint32_t DALI_DEV_DEVICE_TYPE = 42;          // u8 DALI device type number
constexpr std::uint32_t DALI_DEV_NAME_SIZE = 33;            // NUL-terminated, at most 32 characters
constexpr std::uint32_t DALI_DEV_WORDS_SIZE = 16;           // four u32 at the end of each entry

constexpr std::uint32_t DALI_SCENE_COUNT = 16;
constexpr std::uint32_t DALI_NO_LEVEL = 255;
constexpr std::uint32_t DALI_NO_ADDRESS = 255;
constexpr std::uint32_t DALI_MAX_SHORT_ADDRESS = 63;

// `flags` bits of a device entry.
constexpr std::uint32_t DALI_FLAG_ADDRESSED = 1;      // has a short address
constexpr std::uint32_t DALI_FLAG_POWER_ON = 2;       // power-on level given
constexpr std::uint32_t DALI_FLAG_POWER_ON_OFF = 8;   // power-on level "false"

// Device types that carry type-specific data, and the size of that data.
constexpr std::uint8_t DALI_TYPE_5 = 5;
constexpr std::uint8_t DALI_TYPE_6 = 6;
constexpr std::uint8_t DALI_TYPE_8 = 8;
constexpr std::uint32_t DALI_TYPE_5_DATA_SIZE = 3;    // u16, u8
constexpr std::uint32_t DALI_TYPE_6_DATA_SIZE = 7;    // u32, u16, u8
constexpr std::uint32_t DALI_TYPE_8_DATA_SIZE = 50;   // 48 bytes, u16
constexpr std::uint8_t DALI_NO_TYPE_DATA = 255;       // marker of a device without type data
constexpr std::int32_t DALI_ABSENT = -1;              // the layout has no such field

// One layout version: where its parts lie in the file and where the fields
// of a device entry lie within the entry.
struct dali_layout {
    std::uint32_t version;
    std::uint32_t file_size;
    std::uint32_t device_size;     // one device entry
    std::uint32_t channel_table;   // 16 entries of 38 bytes
    std::int32_t device_blocks;    // 64 blocks of 12 bytes, or DALI_ABSENT
    std::uint32_t trailer;         // the last 4 bytes
    // device entry
    std::int32_t type_marker;      // marker byte (device type or 255), then a byte 255; DALI_ABSENT in layout 1
    std::int32_t type_5_data;      // DALI_ABSENT when the layout has no type data
    std::int32_t type_6_data;
    std::int32_t type_8_data;
    std::uint32_t name;
    std::uint32_t name_tail;       // the u8 after the name
    std::uint32_t word;            // the u32 after that
    std::int32_t extra_word;       // layout 1's u32 at 132, carried by no conversion
    std::uint32_t words;           // the closing four u32
};

// Layout 1: firmware up to 1.3.0; the file the channel setup edits. The three
// device types share one area of type data at 44 to 93.
constexpr dali_layout DALI_LAYOUT_1 = {
    1, 11168, 152, 9788, 10396, 11164,
    DALI_ABSENT, 44, 44, 44, 94, 127, 128, 132, 136,
};
// Layout 2: each device type with type data has an area of its own.
constexpr dali_layout DALI_LAYOUT_2 = {
    2, 10912, 160, 10300, DALI_ABSENT, 10908,
    44, 46, 49, 56, 106, 139, 140, DALI_ABSENT, 144,
};
// Layout 3: no type data at all.
constexpr dali_layout DALI_LAYOUT_3 = {
    3, 7072, 100, 6460, DALI_ABSENT, 7068,
    43, DALI_ABSENT, DALI_ABSENT, DALI_ABSENT, 45, 78, 80, DALI_ABSENT, 84,
};

// The layout of a channel file whose layout version field holds `version`
// (0 and 1 are layout 1), or null for a version no layout has.
constexpr const dali_layout *dali_layout_for_version(std::uint32_t version)
{
    switch (version) {
    case 0:
    case 1: return &DALI_LAYOUT_1;
    case 2: return &DALI_LAYOUT_2;
    case 3: return &DALI_LAYOUT_3;
    default: return nullptr;
    }
}

// Layout 1 device entry bytes that no conversion carries.
constexpr std::uint32_t DALI_DEV1_UNCARRIED_43 = 43;

constexpr std::uint32_t dali_device_offset(const dali_layout &layout, std::uint32_t index)
{
    return DALI_DEVICES + layout.device_size * index;
}

// The parts of each layout follow each other without gaps.
constexpr bool dali_layout_is_consistent(const dali_layout &l)
{
    const std::uint32_t after_devices = dali_device_offset(l, DALI_DEVICE_COUNT);
    const std::uint32_t after_table = l.channel_table + DALI_CHANNEL_TABLE_SIZE;
    const std::uint32_t after_blocks =
        l.device_blocks == DALI_ABSENT ? after_table
                                       : after_table + DALI_DEVICE_COUNT * DALI_DEVICE_BLOCK_SIZE;
    return after_devices == l.channel_table &&
           (l.device_blocks == DALI_ABSENT || static_cast<std::uint32_t>(l.device_blocks) == after_table) &&
           after_blocks == l.trailer && l.trailer + DALI_TRAILER_SIZE == l.file_size &&
           l.words + DALI_DEV_WORDS_SIZE == l.device_size && l.name + DALI_DEV_NAME_SIZE == l.name_tail;
}
static_assert(dali_layout_is_consistent(DALI_LAYOUT_1));
static_assert(dali_layout_is_consistent(DALI_LAYOUT_2));
static_assert(dali_layout_is_consistent(DALI_LAYOUT_3));
static_assert(DALI_LAYOUT_2.type_5_data + DALI_TYPE_5_DATA_SIZE == 49u &&
              DALI_LAYOUT_2.type_6_data + DALI_TYPE_6_DATA_SIZE == 56u &&
              DALI_LAYOUT_2.type_8_data + DALI_TYPE_8_DATA_SIZE == DALI_LAYOUT_2.name);
static_assert(DALI_LAYOUT_1.type_8_data + DALI_TYPE_8_DATA_SIZE == DALI_LAYOUT_1.name);

// Little-endian access to the numbers of a channel file.
inline std::uint32_t dali_get_u32(const std::uint8_t *file, std::size_t offset)
{
    return static_cast<std::uint32_t>(file[offset]) | static_cast<std::uint32_t>(file[offset + 1]) << 8 |
           static_cast<std::uint32_t>(file[offset + 2]) << 16 | static_cast<std::uint32_t>(file[offset + 3]) << 24;
}

inline void dali_put_u32(std::uint8_t *file, std::size_t offset, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        file[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint16_t dali_get_u16(const std::uint8_t *file, std::size_t offset)
{
    return static_cast<std::uint16_t>(file[offset] | file[offset + 1] << 8);
}

inline void dali_put_u16(std::uint8_t *file, std::size_t offset, std::uint16_t value)
{
    file[offset] = static_cast<std::uint8_t>(value);
    file[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}
