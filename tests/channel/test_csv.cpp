// Applying channel CSV files to a channel configuration image.
#include "channel/csv.h"
#include "channel_files.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstring>
#include <fstream>

using namespace channel_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const std::string VERSION_1 = "#dali-channel-csv-version: 1\n";
const std::string EXAMPLE_ROW = "0,5,12,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n";

channel_config patterned_image()
{
    channel_config config;
    const std::vector<std::uint8_t> file = patterned_file(CHANNEL_CONFIG_SIZE, 0, 9);
    std::memcpy(config.bytes, file.data(), CHANNEL_CONFIG_SIZE);
    return config;
}

std::uint8_t *entry(channel_config &config, std::uint32_t slot)
{
    return config.bytes + dali_device_offset(DALI_LAYOUT_1, slot);
}

// Loads `csv` into `config`; returns what was printed.
std::string load(const std::string &csv, channel_config &config, int *result = nullptr)
{
    const std::string path = scratch_file("channel.csv", csv);
    CaptureStdout();
    const int r = channel_csv_load(path.c_str(), &config);
    if (result != nullptr)
        *result = r;
    return GetCapturedStdout();
}

void expect_same_image(const channel_config &actual, const channel_config &expected)
{
    const std::vector<std::uint32_t> offsets = differing_offsets(actual.bytes, expected.bytes, CHANNEL_CONFIG_SIZE);
    std::string where;
    for (std::uint32_t offset : offsets)
        where += " " + std::to_string((offset - DALI_DEVICES) / DALI_LAYOUT_1.device_size) + ":" +
                 std::to_string((offset - DALI_DEVICES) % DALI_LAYOUT_1.device_size);
    EXPECT_TRUE(offsets.empty()) << offsets.size() << " bytes differ (entry:byte):" << where;
}

const device_values HALL = {DALI_FLAG_ADDRESSED | DALI_FLAG_POWER_ON, 12, "Hall", 0x0009, 254, 255, 1, 254, 7, 4,
                            {254, 200, 255}};

}  // namespace

TEST(ChannelCsv, ExampleRowSetsExactlyItsDeviceFields)
{
    channel_config config = patterned_image();
    channel_config expected = config;
    int result = -1;
    EXPECT_EQ(load(VERSION_1 + EXAMPLE_ROW, config, &result), "0 fields, 2 rows\n");
    EXPECT_EQ(result, 0);
    apply_expected(expected.bytes, 5, HALL);
    expect_same_image(config, expected);
    EXPECT_EQ(entry(config, 5)[DALI_DEV_ADDRESS_BYTE], 25);
    EXPECT_EQ(dali_get_u16(entry(config, 5), DALI_DEV_GROUPS), 0x0009);

    // The same with carriage returns and without a final line end.
    channel_config crlf = patterned_image();
    std::string text = VERSION_1 + EXAMPLE_ROW;
    text.pop_back();
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2))
        text.replace(at, 1, "\r\n");
    EXPECT_EQ(load(text, crlf), "0 fields, 2 rows\n");
    expect_same_image(crlf, expected);
}

TEST(ChannelCsv, PowerOnFalseNullAddressAndEmptyAddress)
{
    // "false" in any letter case: bit 3 instead of bit 1, level 0.
    channel_config config = patterned_image();
    channel_config expected = config;
    load(VERSION_1 + "0,5,12,Hall,\"[0,3]\",FaLsE,null,1,254,7,4,\"[254,200,null]\"\n", config);
    device_values values = HALL;
    values.add_flags = DALI_FLAG_ADDRESSED | DALI_FLAG_POWER_ON_OFF;
    values.power_on = 0;
    apply_expected(expected.bytes, 5, values);
    expect_same_image(config, expected);

    // No short address (JSON null): the device block is cleared, no bit
    // 0, the address byte stays. "Null" in the levels gives 255 too.
    for (const char *none : {"null", " null "}) {
        config = patterned_image();
        expected = config;
        load(VERSION_1 + "0,5," + none + ",Hall,\"[0,3]\",Null,nULL,1,254,7,4,\"[254,200,null]\"\n", config);
        values = HALL;
        values.add_flags = DALI_FLAG_POWER_ON;
        values.short_address = -1;
        values.power_on = 255;
        apply_expected(expected.bytes, 5, values);
        std::memset(expected.bytes + DALI_LAYOUT_1.device_blocks + 5 * DALI_DEVICE_BLOCK_SIZE, 0,
                    DALI_DEVICE_BLOCK_SIZE);
        expect_same_image(config, expected);
    }

    // An empty cell counts as short address 0; so do true and anything that
    // is not JSON, "NULL" included.
    for (const char *zero : {"", "true", "[", "NULL", "\"\""}) {
        config = patterned_image();
        expected = config;
        load(VERSION_1 + "0,5," + (zero[0] == '"' ? "\"\"\"\"\"\"" : zero) +
                 ",Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n",
             config);
        values = HALL;
        values.short_address = 0;
        apply_expected(expected.bytes, 5, values);
        expect_same_image(config, expected);
        EXPECT_EQ(entry(config, 5)[DALI_DEV_ADDRESS_BYTE], 1) << zero;
    }

    // An address 64 to 254 sets neither bit 0 nor the address byte nor the block.
    config = patterned_image();
    expected = config;
    load(VERSION_1 + "0,5,200,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n", config);
    values = HALL;
    values.add_flags = DALI_FLAG_POWER_ON;
    values.short_address = -1;
    apply_expected(expected.bytes, 5, values);
    expect_same_image(config, expected);
}

TEST(ChannelCsv, JsonCells)
{
    struct address_case {
        const char *cell;
        std::uint8_t address_byte;
    };
    // Strings, numbers truncated toward zero, values in arrays, the last of several.
    for (const address_case &c : {address_case{"\"\"\"9\"\"\"", 19}, address_case{"12.9", 25},
                                  address_case{"[7]", 15}, address_case{"\"[1,2]\"", 5},
                                  address_case{"\"{\"\"a\"\":3}\"", 7}, address_case{"63", 127}}) {
        channel_config config = patterned_image();
        load(VERSION_1 + "0,1," + c.cell + ",x,[],1,1,1,1,1,1,[]\n", config);
        EXPECT_EQ(entry(config, 1)[DALI_DEV_ADDRESS_BYTE], c.address_byte) << c.cell;
    }

    struct groups_case {
        const char *cell;
        std::uint16_t mask;
    };
    // Numbers and strings inside an array; 16 and above, negatives and bare values set nothing.
    for (const groups_case &c : {groups_case{"\"[\"\"2\"\", 15, 16, 31, -1, 40, 1e12]\"", 0x8004},
                                 groups_case{"3", 0}, groups_case{"[]", 0}, groups_case{"\"[0,0,1]\"", 3},
                                 groups_case{"\"[1,[4],5]\"", 0x12}, groups_case{"\"[2, x]\"", 4}}) {
        channel_config config = patterned_image();
        load(VERSION_1 + "0,1,1,x," + c.cell + ",1,1,1,1,1,1,[]\n", config);
        EXPECT_EQ(dali_get_u16(entry(config, 1), DALI_DEV_GROUPS), c.mask) << c.cell;
    }

    // Twenty scene values store the first sixteen; strings and null count.
    channel_config config = patterned_image();
    std::string scenes = "\"[";
    for (int i = 0; i < 20; ++i)
        scenes += (i ? "," : "") + std::to_string(i * 10);
    scenes += "]\"";
    load(VERSION_1 + "0,2,1,x,[],1,1,1,1,1,1," + scenes + "\n", config);
    for (std::uint32_t i = 0; i < DALI_SCENE_COUNT; ++i)
        EXPECT_EQ(entry(config, 2)[DALI_DEV_SCENE_LEVELS + i], i * 10) << i;

    load(VERSION_1 + "0,2,1,x,[],1,1,1,1,1,1,\"[\"\"3\"\", null, 300, true, 4]\"\n", config);
    const std::uint8_t expected[DALI_SCENE_COUNT] = {3, 255, 44, 4, 255, 255, 255, 255,
                                                     255, 255, 255, 255, 255, 255, 255, 255};
    EXPECT_EQ(std::memcmp(entry(config, 2) + DALI_DEV_SCENE_LEVELS, expected, DALI_SCENE_COUNT), 0);

    load(VERSION_1 + "0,2,1,x,[],1,1,1,1,1,1,5\n", config);
    for (std::uint32_t i = 0; i < DALI_SCENE_COUNT; ++i)
        EXPECT_EQ(entry(config, 2)[DALI_DEV_SCENE_LEVELS + i], 255) << i;
}

TEST(ChannelCsv, FadeLimitsAndNames)
{
    struct fade_case {
        const char *rate;
        const char *time;
        std::uint8_t stored_rate;
        std::uint8_t stored_time;
    };
    for (const fade_case &c : {fade_case{"0", "0", 1, 0}, fade_case{"20", "99", 15, 15},
                               fade_case{"256", "256", 1, 0}, fade_case{"15", "15", 15, 15},
                               fade_case{" 7", "-1", 7, 15}, fade_case{"x", "3x", 1, 3}}) {
        channel_config config = patterned_image();
        load(VERSION_1 + "0,3,1,x,[]," + "1,1,1,1," + c.rate + "," + c.time + ",[]\n", config);
        EXPECT_EQ(entry(config, 3)[DALI_DEV_FADE_RATE], c.stored_rate) << c.rate;
        EXPECT_EQ(entry(config, 3)[DALI_DEV_FADE_TIME], c.stored_time) << c.time;
    }

    // Levels keep the low byte of the decimal value.
    channel_config config = patterned_image();
    load(VERSION_1 + "0,3,1,x,[],257,-1,300,99999999999,1,1,[]\n", config);
    EXPECT_EQ(entry(config, 3)[DALI_DEV_POWER_ON_LEVEL], 1);
    EXPECT_EQ(entry(config, 3)[DALI_DEV_SYSTEM_FAILURE_LEVEL], 255);
    EXPECT_EQ(entry(config, 3)[DALI_DEV_MIN_LEVEL], 44);
    EXPECT_EQ(entry(config, 3)[DALI_DEV_MAX_LEVEL], 255);

    // A 40-character name keeps its first 32; a short name clears the rest.
    const std::string forty = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd";
    load(VERSION_1 + "0,4,1," + forty + ",[],1,1,1,1,1,1,[]\n", config);
    const char *name = reinterpret_cast<const char *>(entry(config, 4) + DALI_LAYOUT_1.name);
    EXPECT_EQ(std::string(name), forty.substr(0, 32));
    load(VERSION_1 + "0,4,1,\"Stairs, north\",[],1,1,1,1,1,1,[]\n", config);
    EXPECT_EQ(std::string(name), "Stairs, north");
    for (std::uint32_t i = 13; i < DALI_DEV_NAME_SIZE; ++i)
        EXPECT_EQ(name[i], 0) << i;
}

TEST(ChannelCsv, RowsThatAreCountedButNotApplied)
{
    const std::string row = "0,5,12,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"";
    const std::string csv = row + "\n"                                                          // before the version line
                            + "#dali-channel-csv-version: 2\n" + row + "\n"                     // version 2
                            + VERSION_1 +                                                        //
                            "0,5,12,Hall,\"[0,3]\",254,null,1,254,7,4\n"                         // 11 fields
                            + row + ",extra\n"                                                   // 13 fields
                            + "0,64,12,Hall,\"[0,3]\",254,null,1,254,7,4,[]\n"                   // slot 64
                            + "0,-1,12,Hall,\"[0,3]\",254,null,1,254,7,4,[]\n"                   // slot -1
                            + "0,4294967301,12,Hall,[],254,null,1,254,7,4,[]\n"                  // slot wraps to 5
                            + "0,#5,12,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n"   // comment row
                            + "0,5,12,Hall #2,[],254,null,1,254,7,4,[]\n";  // '#' inside a name is no comment
    channel_config config = patterned_image();
    channel_config expected = config;
    EXPECT_EQ(load(csv, config), "0 fields, 11 rows\n");
    device_values values = HALL;
    values.name = "Hall #2";
    values.groups = 0;
    values.scenes = {};
    apply_expected(expected.bytes, 5, values);
    expect_same_image(config, expected);

    // Without any version line nothing is applied; the summary still comes.
    config = patterned_image();
    expected = config;
    EXPECT_EQ(load(row + "\n" + row + "\n", config), "0 fields, 2 rows\n");
    expect_same_image(config, expected);

    // A version line inside a longer comment field: the number stands 27
    // characters after the field's start.
    config = patterned_image();
    EXPECT_EQ(load("# #dali-channel-csv-version: 1\n" + row + "\n", config), "0 fields, 2 rows\n");
    expect_same_image(config, expected);
    const std::string late = "#" + std::string(26, '-') + "1 #dali-channel-csv-version: 9";
    EXPECT_EQ(load(late + "\n" + row + "\n", config), "0 fields, 2 rows\n");
    apply_expected(expected.bytes, 5, HALL);
    expect_same_image(config, expected);
}

TEST(ChannelCsv, SlotNamedTwiceAndEmptyOrMissingFiles)
{
    channel_config config = patterned_image();
    channel_config expected = config;
    load(VERSION_1 + EXAMPLE_ROW + "0,5,3,Other,[1],FALSE,2,3,4,5,6,[9]\n", config);
    device_values values = {DALI_FLAG_ADDRESSED | DALI_FLAG_POWER_ON | DALI_FLAG_POWER_ON_OFF,
                            3, "Other", 0x0002, 0, 2, 3, 4, 5, 6, {9}};
    apply_expected(expected.bytes, 5, values);
    expect_same_image(config, expected);

    // An empty file prints the summary with nothing counted.
    config = patterned_image();
    expected = config;
    EXPECT_EQ(load("", config), "0 fields, 0 rows\n");
    expect_same_image(config, expected);

    // A file that does not exist: nothing printed, nothing changed.
    CaptureStdout();
    EXPECT_EQ(channel_csv_load((scratch_dir() + "/absent.csv").c_str(), &config), 1);
    EXPECT_EQ(channel_csv_load(nullptr, &config), 1);
    EXPECT_EQ(GetCapturedStdout(), "");
    expect_same_image(config, expected);

    // The callbacks and the row copy refuse to work without their context.
    channel_csv_field(nullptr, 0, nullptr);
    channel_csv_row_end('\n', nullptr);
    channel_csv_apply_row(0, nullptr);
    channel_csv_ctx ctx;
    ctx.config = &config;
    channel_csv_apply_row(64, &ctx);
    expect_same_image(config, expected);
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(ChannelCsvDeathTest, RejectedFileEndsTheProgram)
{
    // The tokeniser fails only when it cannot hold a field: one field of 64 MB
    // in a process that may not grow by that much.
    const std::string path = huge_field_csv();
    auto run = [&path] {
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        std::ifstream status("/proc/self/status");
        std::string line;
        unsigned long vm_kb = 0;
        while (std::getline(status, line))
            if (line.rfind("VmSize:", 0) == 0)
                vm_kb = std::stoul(line.substr(7));
        limit.rlim_cur = (vm_kb + 16 * 1024) * 1024;
        setrlimit(RLIMIT_AS, &limit);
        channel_config config{};
        channel_csv_load(path.c_str(), &config);
        std::_Exit(0);
    };
    EXPECT_EXIT(run(), testing::ExitedWithCode(1), "^Error while parsing file: .+\n$");
}
#endif
