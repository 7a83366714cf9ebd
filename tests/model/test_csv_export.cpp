// The channel CSV export against the import: for generated channel files of
// layout 1, export -> import -> export gives the same CSV and leaves every
// field the CSV carries as it was; layouts 2 and 3 of the same files export
// the same CSV.
#include "model/channel_file.h"
#include "model/convert.h"
#include "model/csv.h"
#include "model/csv_export.h"
#include "base/text.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;
constexpr int GENERATED_FILES = 1000;
constexpr int GENERATED_WORKBOOKS = 200;

// Standard output goes nowhere while it lives (the import prints its summary).
class quiet_stdout {
public:
    quiet_stdout() : saved_(dup(STDOUT_FILENO))
    {
        std::fflush(stdout);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~quiet_stdout()
    {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

private:
    int saved_;
};

// Names with everything CSV must protect: separators, quotes, blanks at the
// ends, line ends, the starts a spreadsheet reads as a formula (and '#', a
// comment to the import), UTF-8 (cut anywhere by the 32-byte limit, as an
// import before this one stored such names).
std::string random_name(std::mt19937 &random)
{
    static const std::vector<std::string> pieces = {"Hall", " ", ",", ";", "\"", "\"\"", "\t", "\n", "\r\n", "é",
                                                    "Ø", "灯", "💡", "null", "[0,1]", "#", "a", "Z9", "-", "'",
                                                    "=", "+", "@", "\r", "007", "_x0041_"};
    std::string name;
    const int count = std::uniform_int_distribution<int>(0, 12)(random);
    for (int i = 0; i < count; ++i)
        name += pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(random)];
    return name;
}

std::uint8_t level(std::mt19937 &random)
{
    // The edges more often than chance gives them.
    static const std::uint8_t edges[] = {0, 1, 254, 255};
    return random() % 3 == 0 ? edges[random() % 4] : static_cast<std::uint8_t>(random());
}

// A layout 1 file: noise everywhere, then devices in random slots as the
// import leaves them (random rows applied), the other slots empty.
bytes generated_file(std::mt19937 &random)
{
    bytes file(DALI_LAYOUT_1.file_size);
    for (std::uint8_t &byte : file)
        byte = static_cast<std::uint8_t>(random());
    dali_put_u32(file.data(), DALI_FILE_SIZE, DALI_LAYOUT_1.file_size);
    dali_put_u32(file.data(), DALI_LAYOUT_VERSION, 1);
    auto config = std::make_unique<channel_config>();
    std::memcpy(config->bytes, file.data(), file.size());
    channel_csv_ctx ctx;
    ctx.config = config.get();
    for (std::uint32_t slot = 0; slot < DALI_DEVICE_COUNT; ++slot) {
        std::uint8_t *entry = config->bytes + dali_device_offset(DALI_LAYOUT_1, slot);
        const std::uint32_t flags = dali_get_u32(entry, DALI_DEV_FLAGS);
        dali_put_u32(entry, DALI_DEV_FLAGS, flags & ~(DALI_FLAG_ADDRESSED | DALI_FLAG_POWER_ON | DALI_FLAG_POWER_ON_OFF));
        if (random() % 3 == 0)
            continue;
        channel_csv_row &row = ctx.row;
        row = channel_csv_row{};
        row.short_address = random() % 4 == 0 ? DALI_NO_ADDRESS : static_cast<std::uint8_t>(random() % 64);
        row.name = random_name(random);
        if (random() % 2 == 0)
            row.name.resize(utf8_cut(row.name, DALI_DEV_NAME_SIZE - 1));
        static const std::uint16_t group_edges[] = {0, 1, 0x8000, 0xFFFF};
        row.groups = random() % 2 ? group_edges[random() % 4] : static_cast<std::uint16_t>(random());
        row.power_on_false = random() % 5 == 0;
        row.power_on_level = row.power_on_false ? 0 : level(random);
        row.system_failure_level = level(random);
        row.min_level = level(random);
        row.max_level = level(random);
        row.fade_rate = static_cast<std::uint8_t>(1 + random() % 15);
        row.fade_time = static_cast<std::uint8_t>(random() % 16);
        const unsigned scenes = random() % 17;
        for (unsigned scene = 0; scene < DALI_SCENE_COUNT; ++scene)
            row.scene_levels[scene] = scene < scenes ? level(random) : DALI_NO_LEVEL;
        channel_csv_apply_row(slot, &ctx);
    }
    return bytes(config->bytes, config->bytes + DALI_LAYOUT_1.file_size);
}

// A copy of `file` with the channel file at `path` imported by the real
// import, which must apply every device row as it is.
bytes imported(const bytes &file, const std::string &path, std::uint32_t devices)
{
    auto config = std::make_unique<channel_config>();
    std::memcpy(config->bytes, file.data(), file.size());
    csv_outcome outcome;
    {
        quiet_stdout quiet;
        EXPECT_EQ(channel_csv_load(path.c_str(), config.get(), &outcome), CSV_LOADED);
    }
    EXPECT_EQ(outcome.applied, devices);
    EXPECT_EQ(outcome.left_out, 0u);
    EXPECT_FALSE(outcome.not_utf8) << outcome.not_utf8->text;
    for (const csv_problem &problem : outcome.listed)
        EXPECT_NE(problem.text.find(" applied: "), std::string::npos) << problem.text;
    return bytes(config->bytes, config->bytes + file.size());
}

// A scratch file named `name` for each round trip.
class scratch_file {
public:
    explicit scratch_file(const char *name)
    {
        char folder[] = "/tmp/mervo-export-XXXXXX";
        folder_ = mkdtemp(folder) ? folder : "";
        path_ = folder_ + "/" + name;
    }
    ~scratch_file()
    {
        unlink(path_.c_str());
        rmdir(folder_.c_str());
    }
    const std::string &path() const { return path_; }
    void write(const std::string &text) const
    {
        std::FILE *out = std::fopen(path_.c_str(), "wb");
        ASSERT_TRUE(out != nullptr);
        EXPECT_EQ(std::fwrite(text.data(), 1, text.size(), out), text.size());
        std::fclose(out);
    }

private:
    std::string folder_, path_;
};

// The parts of a device entry the CSV carries: the levels, fade, short
// address (of an addressed device), groups, scenes and name.
bool carried_fields_equal(const bytes &a, const bytes &b, std::uint32_t slot)
{
    const std::uint8_t *x = a.data() + dali_device_offset(DALI_LAYOUT_1, slot);
    const std::uint8_t *y = b.data() + dali_device_offset(DALI_LAYOUT_1, slot);
    if (!channel_slot_holds_device(x))
        return std::memcmp(x, y, DALI_LAYOUT_1.device_size) == 0;
    const bool addressed = dali_get_u32(x, DALI_DEV_FLAGS) & DALI_FLAG_ADDRESSED;
    return std::memcmp(x + DALI_DEV_POWER_ON_LEVEL, y + DALI_DEV_POWER_ON_LEVEL, 6) == 0 &&
           (!addressed || x[DALI_DEV_ADDRESS_BYTE] == y[DALI_DEV_ADDRESS_BYTE]) &&
           std::memcmp(x + DALI_DEV_GROUPS, y + DALI_DEV_GROUPS, 2 + DALI_SCENE_COUNT) == 0 &&
           std::strncmp(reinterpret_cast<const char *>(x + DALI_LAYOUT_1.name),
                        reinterpret_cast<const char *>(y + DALI_LAYOUT_1.name), DALI_DEV_NAME_SIZE) == 0;
}

TEST(ChannelCsvExport, RoundTripThroughTheImportOverGeneratedFiles)
{
    std::mt19937 random(20261207);
    const scratch_file csv_file("channel.csv"), workbook("channel.xlsx");
    int workbooks = 0;
    for (int n = 0; n < GENERATED_FILES; ++n) {
        SCOPED_TRACE("generated file " + std::to_string(n));
        const bytes file = generated_file(random);
        const channel_csv_text first = channel_csv_export(file.data(), DALI_LAYOUT_1);
        csv_file.write(first.text);
        const bytes again = imported(file, csv_file.path(), first.devices);
        const channel_csv_text second = channel_csv_export(again.data(), DALI_LAYOUT_1);
        ASSERT_EQ(second.text, first.text);
        for (std::uint32_t slot = 0; slot < DALI_DEVICE_COUNT; ++slot)
            ASSERT_TRUE(carried_fields_equal(file, again, slot)) << "slot " << slot;

        // A workbook carries the same, where every name is UTF-8 text.
        const channel_sheet sheet = channel_sheet_export(file.data(), DALI_LAYOUT_1);
        if (workbooks < GENERATED_WORKBOOKS && sheet.names_not_utf8.empty()) {
            ++workbooks;
            std::string reason;
            unlink(workbook.path().c_str());
            ASSERT_EQ(channel_sheet_workbook(sheet, workbook.path(), "dali1", reason), 0) << reason;
            const bytes from_workbook = imported(file, workbook.path(), first.devices);
            ASSERT_EQ(channel_csv_export(from_workbook.data(), DALI_LAYOUT_1).text, first.text);
        }

        // Layouts 2 and 3 hold the same devices, so they export the same CSV.
        bytes layout2(DALI_LAYOUT_2.file_size), layout3(DALI_LAYOUT_3.file_size);
        ASSERT_EQ(dali_convert_1_to_2(layout2.data(), file.data()), 0);
        ASSERT_EQ(dali_convert_1_to_3(layout3.data(), file.data()), 0);
        EXPECT_EQ(channel_csv_export(layout2.data(), *channel_file_layout(layout2.data(), layout2.size())).text,
                  first.text);
        EXPECT_EQ(channel_csv_export(layout3.data(), *channel_file_layout(layout3.data(), layout3.size())).text,
                  first.text);
    }
    EXPECT_EQ(workbooks, GENERATED_WORKBOOKS);
}

// Which slots hold a device, decided once: bit 0, 1 or 3 of the flags.
TEST(ChannelCsvExport, SlotsWithAnAddressOrAPowerOnSettingHoldADevice)
{
    for (std::uint32_t flags = 0; flags < 16; ++flags) {
        std::uint8_t entry[DALI_DEV_COMMON_SIZE] = {};
        dali_put_u32(entry, DALI_DEV_FLAGS, flags | 0xF0u);
        EXPECT_EQ(channel_slot_holds_device(entry), (flags & 0xB) != 0) << flags;
    }
}

TEST(ChannelCsvExport, OneRowAsTheImportReadsIt)
{
    bytes file(DALI_LAYOUT_1.file_size, 0);
    dali_put_u32(file.data(), DALI_LAYOUT_VERSION, 1);
    std::uint8_t *entry = file.data() + dali_device_offset(DALI_LAYOUT_1, 5);
    dali_put_u32(entry, DALI_DEV_FLAGS, DALI_FLAG_ADDRESSED | DALI_FLAG_POWER_ON);
    const std::uint8_t levels[] = {254, 255, 1, 254, 7, 4, 25};  // power-on to fade time, address byte
    std::memcpy(entry + DALI_DEV_POWER_ON_LEVEL, levels, sizeof levels);
    dali_put_u16(entry, DALI_DEV_GROUPS, 0x0009);
    std::memset(entry + DALI_DEV_SCENE_LEVELS, 255, DALI_SCENE_COUNT);
    entry[DALI_DEV_SCENE_LEVELS] = 254;
    entry[DALI_DEV_SCENE_LEVELS + 2] = 200;
    std::strcpy(reinterpret_cast<char *>(entry + DALI_LAYOUT_1.name), "Hall, \"east\"");
    const channel_csv_text csv = channel_csv_export(file.data(), DALI_LAYOUT_1);
    EXPECT_EQ(csv.devices, 1u);
    EXPECT_EQ(csv.text.substr(csv.text.find("\n1,")), "\n1,5,12,\"Hall, \"\"east\"\"\",\"[0,3]\",254,null,1,254,7,4,\"[254,null,200]\"\n");
}

} // namespace
