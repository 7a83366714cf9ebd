// Applying channel CSV files to a channel configuration image.
#include "model/csv.h"

#include "channel_files.h"

#include <cstring>

namespace {

const std::string VERSION_1 = "#dali-channel-csv-version: 1\n";

// The device fields a CSV row sets.
struct device_values {
    std::uint32_t add_flags;
    int short_address; // -1: address byte unchanged
    const char *name;
    std::uint16_t groups;
    std::uint8_t power_on, system_failure, min, max, fade_rate, fade_time;
    std::vector<std::uint8_t> scenes; // the rest 255
};
const std::string HALL_ROW = "0,5,12,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n";
const device_values HALL = {DALI_FLAG_ADDRESSED | DALI_FLAG_POWER_ON, 12, "Hall", 0x0009, 254, 255, 1, 254, 7, 4,
                            {254, 200, 255}};

// Sets those fields of device entry `slot` of a layout 1 file as the import
// does, from literal offsets.
void apply_expected(std::uint8_t *file, std::uint32_t slot, const device_values &v)
{
    std::uint8_t *e = file + DALI_DEVICES + 152 * slot;
    e[36] = 255;
    dali_put_u32(e, 0, dali_get_u32(e, 0) | v.add_flags);
    if (v.short_address >= 0)
        e[11] = static_cast<std::uint8_t>(2 * v.short_address + 1);
    std::memset(e + 94, 0, 33);
    std::memcpy(e + 94, v.name, std::min<std::size_t>(std::strlen(v.name), 32));
    dali_put_u16(e, 18, v.groups);
    const std::uint8_t levels[] = {v.power_on, v.system_failure, v.min, v.max, v.fade_rate, v.fade_time};
    std::memcpy(e + 5, levels, sizeof levels);
    std::memset(e + 20, 255, 16);
    std::copy(v.scenes.begin(), v.scenes.end(), e + 20);
}

channel_config patterned_image()
{
    channel_config config;
    const bytes file = patterned_file(CHANNEL_CONFIG_SIZE, 0, 9);
    std::memcpy(config.bytes, file.data(), CHANNEL_CONFIG_SIZE);
    return config;
}

const std::uint8_t *entry(const channel_config &config, std::uint32_t slot)
{
    return config.bytes + dali_device_offset(DALI_LAYOUT_1, slot);
}

// Loads `csv` into `config` and returns what was printed.
std::string load(const std::string &csv, channel_config &config, int *result = nullptr)
{
    temp_dir dir;
    EXPECT_TRUE(write_file(dir.file("channel.csv"), csv));
    return capture_stdout([&] {
        const int r = channel_csv_load(dir.file("channel.csv").c_str(), &config);
        if (result)
            *result = r;
    });
}

// A fresh patterned image after `csv`, and the entry of `slot` in it.
channel_config loaded(const std::string &csv)
{
    channel_config config = patterned_image();
    load(csv, config);
    return config;
}

void expect_same_image(const channel_config &actual, const channel_config &expected)
{
    std::string where;
    const auto offsets = differing_offsets(actual.bytes, expected.bytes, CHANNEL_CONFIG_SIZE);
    for (std::uint32_t offset : offsets)
        where.append(" ")
            .append(std::to_string((offset - DALI_DEVICES) / DALI_LAYOUT_1.device_size))
            .append(":")
            .append(std::to_string((offset - DALI_DEVICES) % DALI_LAYOUT_1.device_size));
    EXPECT_TRUE(offsets.empty()) << offsets.size() << " bytes differ (entry:byte):" << where;
}

// The patterned image with `values` applied to entry 5 (and its device block
// cleared when `cleared`).
channel_config expected_with(const device_values &values, bool cleared = false)
{
    channel_config expected = patterned_image();
    apply_expected(expected.bytes, 5, values);
    if (cleared)
        std::memset(expected.bytes + DALI_LAYOUT_1.device_blocks + 5 * DALI_DEVICE_BLOCK_SIZE, 0, DALI_DEVICE_BLOCK_SIZE);
    return expected;
}

} // namespace

TEST(ChannelCsv, ExampleRowAndItsVariants)
{
    // Entry 5: address byte 25, flag bits 0 and 1, groups 0 and 3, the levels,
    // fade 7 and 4, scenes 254, 200, 255, byte 36 set to 255; nothing else.
    channel_config config = patterned_image();
    int result = -1;
    EXPECT_EQ(load(VERSION_1 + HALL_ROW, config, &result), "0 fields, 2 rows\n");
    EXPECT_EQ(result, 0);
    expect_same_image(config, expected_with(HALL));
    EXPECT_EQ(entry(config, 5)[DALI_DEV_ADDRESS_BYTE], 25);
    EXPECT_EQ(dali_get_u16(entry(config, 5), DALI_DEV_GROUPS), 0x0009);

    // Carriage returns and no final line end.
    std::string crlf = VERSION_1 + HALL_ROW;
    crlf.pop_back();
    for (std::size_t at = crlf.find('\n'); at != std::string::npos; at = crlf.find('\n', at + 2))
        crlf.replace(at, 1, "\r\n");
    expect_same_image(loaded(crlf), expected_with(HALL));

    // "false" in any letter case: bit 3 instead of bit 1, level 0.
    device_values values = HALL;
    values.add_flags = DALI_FLAG_ADDRESSED | DALI_FLAG_POWER_ON_OFF;
    values.power_on = 0;
    expect_same_image(loaded(VERSION_1 + "0,5,12,Hall,\"[0,3]\",FaLsE,null,1,254,7,4,\"[254,200,null]\"\n"),
                      expected_with(values));

    // No short address (JSON null): the device block is cleared, no bit 0,
    // the address byte stays. "Null" in the levels gives 255 too.
    values = HALL;
    values.add_flags = DALI_FLAG_POWER_ON;
    values.short_address = -1;
    values.power_on = 255;
    for (const char *none : {"null", " null "})
        expect_same_image(loaded(VERSION_1 + "0,5," + none + ",Hall,\"[0,3]\",Null,nULL,1,254,7,4,\"[254,200,null]\"\n"),
                          expected_with(values, true));

    // An empty cell counts as short address 0; so do true and anything that
    // is not JSON, "NULL" included.
    values = HALL;
    values.short_address = 0;
    for (const char *zero : {"", "true", "[", "NULL", "\"\"\"\"\"\""})
        expect_same_image(loaded(VERSION_1 + "0,5," + zero + ",Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n"),
                          expected_with(values));

    // 63, the highest address, sets bit 0 and the address byte; 64 to 254
    // set neither, nor clear the block.
    values = HALL;
    values.short_address = 63;
    expect_same_image(loaded(VERSION_1 + "0,5,63,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n"),
                      expected_with(values));
    values.add_flags = DALI_FLAG_POWER_ON;
    values.short_address = -1;
    for (const char *high : {"64", "200"})
        expect_same_image(loaded(VERSION_1 + "0,5," + high + ",Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n"),
                          expected_with(values));

    // A slot named twice: the later row adds its flags over the earlier's.
    expect_same_image(loaded(VERSION_1 + HALL_ROW + "0,5,3,Other,[1],FALSE,2,3,4,5,6,[9]\n"),
                      expected_with({DALI_FLAG_ADDRESSED | DALI_FLAG_POWER_ON | DALI_FLAG_POWER_ON_OFF, 3, "Other",
                                     0x0002, 0, 2, 3, 4, 5, 6, {9}}));
}

TEST(ChannelCsv, CellValues)
{
    // Addresses: strings, numbers truncated toward zero, values in arrays, the last of several.
    for (const auto &[cell, address_byte] : std::vector<std::pair<std::string, int>>{
             {"\"\"\"9\"\"\"", 19}, {"12.9", 25}, {"[7]", 15}, {"\"[1,2]\"", 5}, {"\"{\"\"a\"\":3}\"", 7}, {"63", 127}})
        EXPECT_EQ(entry(loaded(VERSION_1 + "0,1," + cell + ",x,[],1,1,1,1,1,1,[]\n"), 1)[DALI_DEV_ADDRESS_BYTE],
                  address_byte)
            << cell;
    // Groups: numbers and strings inside an array; 16 and above, negatives
    // and bare values set nothing.
    for (const auto &[cell, mask] : std::vector<std::pair<std::string, int>>{
             {"\"[\"\"2\"\", 15, 16, 31, -1, 40, 1e12]\"", 0x8004}, {"3", 0}, {"[]", 0}, {"\"[0,0,1]\"", 3},
             {"\"[1,[4],5]\"", 0x12}, {"\"[2, x]\"", 4}})
        EXPECT_EQ(dali_get_u16(entry(loaded(VERSION_1 + "0,1,1,x," + cell + ",1,1,1,1,1,1,[]\n"), 1), DALI_DEV_GROUPS), mask)
            << cell;
    // Fade rate 1 to 15 (else 1), fade time 0 to 15 (above: 15, else 0).
    for (const auto &[rate, time, stored_rate, stored_time] : std::vector<std::tuple<std::string, std::string, int, int>>{
             {"0", "0", 1, 0}, {"20", "99", 15, 15}, {"256", "256", 1, 0}, {"15", "15", 15, 15}, {" 7", "-1", 7, 15},
             {"x", "3x", 1, 3}}) {
        const channel_config config = loaded(VERSION_1 + "0,3,1,x,[],1,1,1,1," + rate + "," + time + ",[]\n");
        EXPECT_EQ(entry(config, 3)[DALI_DEV_FADE_RATE], stored_rate) << rate;
        EXPECT_EQ(entry(config, 3)[DALI_DEV_FADE_TIME], stored_time) << time;
    }
    // Levels keep the low byte of the decimal value.
    const channel_config levels = loaded(VERSION_1 + "0,3,1,x,[],257,-1,300,99999999999,1,1,[]\n");
    const std::uint8_t stored_levels[] = {1, 255, 44, 255};
    EXPECT_EQ(std::memcmp(entry(levels, 3) + DALI_DEV_POWER_ON_LEVEL, stored_levels, 4), 0);

    // Twenty scene values store the first sixteen; strings and null count.
    std::string scenes = "\"[0";
    for (int i = 1; i < 20; ++i)
        scenes.append(",").append(std::to_string(i * 10));
    std::uint8_t sixteen[DALI_SCENE_COUNT];
    for (std::uint32_t i = 0; i < DALI_SCENE_COUNT; ++i)
        sixteen[i] = static_cast<std::uint8_t>(i * 10);
    const std::uint8_t mixed[DALI_SCENE_COUNT] = {3, 255, 44, 4, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255};
    const std::uint8_t none[DALI_SCENE_COUNT] = {255, 255, 255, 255, 255, 255, 255, 255,
                                                 255, 255, 255, 255, 255, 255, 255, 255};
    for (const auto &[cell, stored] : std::vector<std::pair<std::string, const std::uint8_t *>>{
             {scenes + "]\"", sixteen}, {"\"[\"\"3\"\", null, 300, true, 4]\"", mixed}, {"5", none}})
        EXPECT_EQ(std::memcmp(entry(loaded(VERSION_1 + "0,2,1,x,[],1,1,1,1,1,1," + cell + "\n"), 2) + DALI_DEV_SCENE_LEVELS,
                              stored, DALI_SCENE_COUNT),
                  0)
            << cell;

    // A 40-character name keeps its first 32; a short name clears the rest.
    const std::string forty = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd";
    channel_config config = loaded(VERSION_1 + "0,4,1," + forty + ",[],1,1,1,1,1,1,[]\n");
    const char *name = reinterpret_cast<const char *>(entry(config, 4) + DALI_LAYOUT_1.name);
    EXPECT_EQ(std::string(name), forty.substr(0, 32));
    load(VERSION_1 + "0,4,1,\"Stairs, north\",[],1,1,1,1,1,1,[]\n", config);
    EXPECT_EQ(std::string(name), "Stairs, north");
    EXPECT_EQ(std::string(name + 13, 20), std::string(20, '\0'));
}

TEST(ChannelCsv, RowsThatAreCountedButNotApplied)
{
    const std::string row = "0,5,12,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"";
    const std::string csv = row + "\n"                                                        // before the version line
                            + "#dali-channel-csv-version: 2\n" + row + "\n"                   // version 2
                            + VERSION_1 + "0,5,12,Hall,\"[0,3]\",254,null,1,254,7,4\n"        // 11 fields
                            + row + ",extra\n"                                                 // 13 fields
                            + "0,64,12,Hall,\"[0,3]\",254,null,1,254,7,4,[]\n"                 // slot 64
                            + "0,-1,12,Hall,\"[0,3]\",254,null,1,254,7,4,[]\n"                 // slot -1
                            + "0,4294967301,12,Hall,[],254,null,1,254,7,4,[]\n"                // slot wraps to 5
                            + "0,#5,12,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n" // comment row
                            + "0,5,12,Hall #2,[],254,null,1,254,7,4,[]\n"; // '#' inside a name is no comment
    channel_config config = patterned_image();
    EXPECT_EQ(load(csv, config), "0 fields, 11 rows\n");
    device_values values = HALL;
    values.name = "Hall #2";
    values.groups = 0;
    values.scenes = {};
    expect_same_image(config, expected_with(values));

    // Without any version line nothing is applied; the summary still comes.
    // A version line inside a longer comment field: the number stands 27
    // characters after the field's start.
    const auto unchanged = patterned_image();
    for (const std::string &text : {row + "\n" + row + "\n", "# #dali-channel-csv-version: 1\n" + row + "\n"}) {
        config = patterned_image();
        EXPECT_EQ(load(text, config), "0 fields, 2 rows\n");
        expect_same_image(config, unchanged);
    }
    config = patterned_image();
    EXPECT_EQ(load("#" + std::string(26, '-') + "1 #dali-channel-csv-version: 9\n" + row + "\n", config), "0 fields, 2 rows\n");
    expect_same_image(config, expected_with(HALL));

    // An empty file: the summary with nothing counted. A file that does not
    // exist: nothing printed, nothing changed.
    config = patterned_image();
    EXPECT_EQ(load("", config), "0 fields, 0 rows\n");
    EXPECT_EQ(capture_stdout([&] {
                  EXPECT_EQ(channel_csv_load("/nonexistent/absent.csv", &config), 1);
                  EXPECT_EQ(channel_csv_load(nullptr, &config), 1);
              }),
              "");
    // The callbacks and the row copy refuse to work without their context.
    channel_csv_field(nullptr, 0, nullptr);
    channel_csv_row_end('\n', nullptr);
    channel_csv_apply_row(0, nullptr);
    channel_csv_ctx ctx;
    ctx.config = &config;
    channel_csv_apply_row(64, &ctx);
    expect_same_image(config, unchanged);
}

TEST(ChannelCsv, SeparatorOfTheFirstDeviceRow)
{
    const std::string scenes16 = "[254,254,254,254,254,254,254,254,200,200,200,200,100,100,100,0]";
    const struct {
        std::string text;
        char separator;
    } rows[] = {
        {VERSION_1 + HALL_ROW, ','},
        {"#dali-channel-csv-version: 1;;;;;;;;;;;\r\n3;5;12;Hall;[0,3];254;null;1;254;7;4;[254,200,null]\r\n", ';'},
        // A ';' file leaves arrays unquoted: their commas are no separators,
        // however many a full scene list has.
        {"#dali-channel-csv-version: 1;;;;;;;;;;;\n1;0;0;Entrance;[0,1,2,3];254;null;1;254;7;4;" + scenes16 + "\n", ';'},
        {"1;0;0;Entrance;[0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15];254;null;1;254;7;4;" + scenes16, ';'},
        // A ';' inside a name of a ',' file, quoted or not.
        {"0,5,12,Hall; east,\"[0,3]\",254,null,1,254,7,4,\"[254]\"\n", ','},
        {"0,5,12,\"Hall; east; west\",[0],254,null,1,254,7,4,[254]\n", ','},
        // Only the version line says it (padded by a spreadsheet), or nothing does.
        {"#dali-channel-csv-version: 1;;;;;;;;;;;\n", ';'},
        {VERSION_1, ','},
        {"", ','},
    };
    for (const auto &row : rows)
        EXPECT_EQ(channel_csv_separator(row.text.data(), row.text.size()), row.separator) << row.text;
}
