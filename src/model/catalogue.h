// The controller's configurations and the firmware versions at which the
// layout of its DALI channel files changed: the one place that knows them.
// The backup, the restore and its conversion, the channel setup, the
// simulated controller and the tests all read these tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

// Kinds of configuration: how a file is treated when it is restored (see
// config_convert). The numbers are the first column of the restore table.
enum : std::uint32_t {
    CONFIG_KIND_SYSTEM = 0,
    CONFIG_KIND_DALI_FIRST = 1,   // dali1 to dali4: DALI channel files, converted between layouts
    CONFIG_KIND_DALI_LAST = 4,
    CONFIG_KIND_CD_FIRST = 5,     // cd1 to cd4: refused when newer than the tool knows
    CONFIG_KIND_CD_LAST = 8,
    CONFIG_KIND_SCHEDULES = 9,
    CONFIG_KIND_RLC = 10,
};

// One configuration: its kind, the name the controller hands it out under,
// the name of its archive inside a backup zip (and of a loose backup file),
// and the path of its file inside that archive (also the path the controller
// receives on a restore).
struct config_entry {
    std::uint32_t kind;
    const char *name;
    const char *zip_name;
    const char *path;
};

// Every configuration a controller has, in the order a backup takes them and
// the restore knows them.
inline constexpr config_entry config_catalogue[] = {
    {CONFIG_KIND_SYSTEM, "systemconfig", "systemconfig.tar", "/etc/config/system/systemconfig.bin"},
    {1, "dali1", "dali1.tar", "/etc/config/dali/dali1.bin"},
    {2, "dali2", "dali2.tar", "/etc/config/dali/dali2.bin"},
    {3, "dali3", "dali3.tar", "/etc/config/dali/dali3.bin"},
    {4, "dali4", "dali4.tar", "/etc/config/dali/dali4.bin"},
    {5, "cd1", "cd1.tar", "/etc/config/dali/cd1.bin"},
    {6, "cd2", "cd2.tar", "/etc/config/dali/cd2.bin"},
    {7, "cd3", "cd3.tar", "/etc/config/dali/cd3.bin"},
    {8, "cd4", "cd4.tar", "/etc/config/dali/cd4.bin"},
    {CONFIG_KIND_SCHEDULES, "schedules", "schedules.tar", "/etc/config/schedule/schedule.bin"},
    {CONFIG_KIND_RLC, "rlc", "rlc.tar", "/etc/config/rlc/rlc.bin"},
};
inline constexpr std::size_t CONFIG_COUNT = std::size(config_catalogue);

// The channel file of DALI channel N (1 to 4, but any number forms a name).
inline constexpr const char *CONFIG_CHANNEL_NAME = "dali%u";
inline constexpr const char *CONFIG_CHANNEL_PATH = "/etc/config/dali/dali%u.bin";

// Whether `name` can name a configuration: not empty, not "." or "..", and
// without '/', '\\' or control characters (it becomes part of a file name).
bool config_name_valid(const char *name);

// The configuration called `name`, or whose backup archive is called
// `zip_name` (exact, case-sensitive); null when there is none.
const config_entry *config_by_name(const char *name);
const config_entry *config_by_zip_name(const char *zip_name);

constexpr bool config_kind_is_channel(std::uint32_t kind)
{
    return kind >= CONFIG_KIND_DALI_FIRST && kind <= CONFIG_KIND_DALI_LAST;
}
constexpr bool config_kind_is_cd(std::uint32_t kind)
{
    return kind >= CONFIG_KIND_CD_FIRST && kind <= CONFIG_KIND_CD_LAST;
}

// The firmware version table: the versions at which the channel file layout
// changed, each with its version index.
struct config_version {
    const char *firmware_version;
    std::uint32_t index;
};
inline constexpr config_version config_versions[] = {
    {"1.0.0", 0},
    {"1.3.0", 1},
    {"1.3.1", 2},
    {"1.5.0", 3},
};

// The newest firmware that still keeps its channel files in layout 1, the
// layout the channel setup writes.
inline constexpr const char *CONFIG_LAST_LAYOUT_1_FIRMWARE = config_versions[1].firmware_version;

// The layout of channel file a controller of version index `index` expects:
// 1 for index 0 and 1, else the index itself (2 or 3).
constexpr std::uint32_t config_expected_layout(std::uint32_t index) { return index <= 1 ? 1 : index; }

// The index of the last table row whose version is not after `firmware_version`
// (compared numerically, component by component); 0 when none is, or when the
// text is null.
std::uint32_t config_version_index(const char *firmware_version);
