// Applying channel CSV files to a channel configuration image: whole files
// through the import, single cells through their column's check, and what
// the import says about every row it leaves out or applies with a warning.
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

// A patterned image whose flags carry none of the bits the import adds, so
// that no row meets a device the import could not fully change.
channel_config patterned_image()
{
    channel_config config;
    const bytes file = patterned_file(CHANNEL_CONFIG_SIZE, 0, 9);
    std::memcpy(config.bytes, file.data(), CHANNEL_CONFIG_SIZE);
    for (std::uint32_t slot = 0; slot < DALI_DEVICE_COUNT; ++slot) {
        std::uint8_t *entry = config.bytes + dali_device_offset(DALI_LAYOUT_1, slot);
        dali_put_u32(entry, DALI_DEV_FLAGS, dali_get_u32(entry, DALI_DEV_FLAGS) & ~0xBu);
    }
    return config;
}

const std::uint8_t *entry(const channel_config &config, std::uint32_t slot)
{
    return config.bytes + dali_device_offset(DALI_LAYOUT_1, slot);
}

// Loads `csv` (written to a file named `name`) into `config` and returns what was printed.
std::string load(const std::string &csv, channel_config &config, csv_outcome *outcome = nullptr, int *result = nullptr,
                 const std::string &name = "channel.csv")
{
    temp_dir dir;
    EXPECT_TRUE(write_file(dir.file(name), csv));
    return capture_stdout([&] {
        const int r = channel_csv_load(dir.file(name).c_str(), &config, outcome);
        if (result)
            *result = r;
    });
}

channel_config loaded(const std::string &csv)
{
    channel_config config = patterned_image();
    load(csv, config);
    return config;
}

// What the import said about a file: every problem listed, one per line.
std::string problems_of(const std::string &csv, channel_config &config, csv_outcome &outcome)
{
    load(csv, config, &outcome);
    std::string text;
    for (const csv_problem &problem : outcome.listed)
        text += problem.text + "\n";
    return text;
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

// The field a column sets, as text: the value a cell gave.
std::string field(std::uint32_t column, const channel_csv_row &row)
{
    switch (column) {
    case 1: return std::to_string(row.slot);
    case 2: return std::to_string(row.short_address);
    case 3: return row.name;
    case 4: return std::to_string(row.groups);
    case 5: return row.power_on_false ? "false" : std::to_string(row.power_on_level);
    case 6: return std::to_string(row.system_failure_level);
    case 7: return std::to_string(row.min_level);
    case 8: return std::to_string(row.max_level);
    case 9: return std::to_string(row.fade_rate);
    case 10: return std::to_string(row.fade_time);
    default: {
        std::string levels;
        for (const std::uint8_t level : row.scene_levels)
            levels += (levels.empty() ? "" : " ") + std::to_string(level);
        return levels;
    }
    }
}

} // namespace

TEST(ChannelCsv, ExampleRowAndItsVariants)
{
    // Entry 5: address byte 25, flag bits 0 and 1, groups 0 and 3, the levels,
    // fade 7 and 4, scenes 254, 200, 255, byte 36 set to 255; nothing else.
    channel_config config = patterned_image();
    int result = -1;
    csv_outcome outcome;
    EXPECT_EQ(load(VERSION_1 + HALL_ROW, config, &outcome, &result), "0 fields, 2 rows\n");
    EXPECT_EQ(result, CSV_LOADED);
    EXPECT_EQ(outcome.applied, 1u);
    EXPECT_EQ(outcome.problems, 0u);
    expect_same_image(config, expected_with(HALL));
    EXPECT_EQ(entry(config, 5)[DALI_DEV_ADDRESS_BYTE], 25);
    EXPECT_EQ(dali_get_u16(entry(config, 5), DALI_DEV_GROUPS), 0x0009);

    // Carriage returns and no final line end; a byte-order mark.
    std::string crlf = VERSION_1 + HALL_ROW;
    crlf.pop_back();
    for (std::size_t at = crlf.find('\n'); at != std::string::npos; at = crlf.find('\n', at + 2))
        crlf.replace(at, 1, "\r\n");
    expect_same_image(loaded(crlf), expected_with(HALL));
    expect_same_image(loaded("\xEF\xBB\xBF" + VERSION_1 + HALL_ROW), expected_with(HALL));

    // "false" in any letter case: bit 3 instead of bit 1, level 0.
    device_values values = HALL;
    values.add_flags = DALI_FLAG_ADDRESSED | DALI_FLAG_POWER_ON_OFF;
    values.power_on = 0;
    expect_same_image(loaded(VERSION_1 + "0,5,12,Hall,\"[0,3]\",FaLsE,null,1,254,7,4,\"[254,200,null]\"\n"),
                      expected_with(values));

    // No short address (null, or 255): the device block is cleared, no bit 0,
    // the address byte stays. "Null" in the levels gives 255 too.
    values = HALL;
    values.add_flags = DALI_FLAG_POWER_ON;
    values.short_address = -1;
    values.power_on = 255;
    for (const char *none : {"null", " NULL ", "255"})
        expect_same_image(loaded(VERSION_1 + "0,5," + none + ",Hall,\"[0,3]\",Null,nULL,1,254,7,4,\"[254,200,null]\"\n"),
                          expected_with(values, true));

    // A slot named twice: the later row adds its flags over the earlier's.
    expect_same_image(loaded(VERSION_1 + HALL_ROW + "0,5,3,Other,[1],FALSE,2,3,4,5,6,[9]\n"),
                      expected_with({DALI_FLAG_ADDRESSED | DALI_FLAG_POWER_ON | DALI_FLAG_POWER_ON_OFF, 3, "Other",
                                     0x0002, 0, 2, 3, 4, 5, 6, {9}}));

    // A 40-byte name keeps its first 32 bytes; a shorter one clears the rest.
    const std::string forty = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd";
    config = patterned_image();
    load(VERSION_1 + "0,4,1," + forty + ",[],1,1,1,1,1,1,[]\n", config);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(entry(config, 4) + DALI_LAYOUT_1.name)), forty.substr(0, 32));
    load(VERSION_1 + "0,4,1,\"Stairs, north\",[],1,1,1,1,1,1,[]\n", config);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(entry(config, 4) + DALI_LAYOUT_1.name)), "Stairs, north");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(entry(config, 4) + DALI_LAYOUT_1.name + 13), 20),
              std::string(20, '\0'));
}

// Every column's valid cells and the value each gives. Blanks around a
// number are taken; the fade limits of the format stay (0 -> 1, above 15 -> 15).
TEST(ChannelCsv, CellsEachColumnTakes)
{
    const struct {
        std::uint32_t column;
        std::string cell, value;
    } cells[] = {
        {1, "0", "0"}, {1, "63", "63"}, {1, " 7 ", "7"}, {1, "+7", "7"},
        {2, "0", "0"}, {2, "63", "63"}, {2, "null", "255"}, {2, "Null", "255"}, {2, "255", "255"},
        {3, "", ""}, {3, "Café Süd", "Café Süd"}, {3, "=1+2", "=1+2"},
        {3, std::string(31, 'a') + "\xC3\xBC", std::string(31, 'a')},              // cut before a split character
        {3, std::string(30, 'a') + "\xE4\xBC\x9A", std::string(30, 'a')},
        {3, std::string(29, 'a') + "\xE4\xBC\x9A", std::string(29, 'a') + "\xE4\xBC\x9A"},
        {4, "[]", "0"}, {4, "[0,15]", "32769"}, {4, " [ 3 , 3 ] ", "8"}, {4, "[\"2\"]", "4"},
        {5, "0", "0"}, {5, "255", "255"}, {5, "null", "255"}, {5, "false", "false"}, {5, "FALSE", "false"},
        {6, "0", "0"}, {6, "254", "254"}, {6, "NULL", "255"},
        {7, "0", "0"}, {7, "255", "255"}, {8, "254", "254"},
        {9, "0", "1"}, {9, "1", "1"}, {9, "15", "15"}, {9, "16", "15"}, {9, "255", "15"},
        {10, "0", "0"}, {10, "15", "15"}, {10, "99", "15"},
        {11, "[]", "255 255 255 255 255 255 255 255 255 255 255 255 255 255 255 255"},
        {11, "[254,null,\"3\",0]", "254 255 3 0 255 255 255 255 255 255 255 255 255 255 255 255"},
        {11, "[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16]", "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16"},
    };
    for (const auto &[column, cell, value] : cells) {
        channel_csv_row row;
        EXPECT_TRUE(channel_csv_read_cell(column, cell, row)) << channel_csv_column_name(column) << " " << cell;
        EXPECT_EQ(field(column, row), value) << channel_csv_column_name(column) << " " << cell;
    }
}

// Cells no column takes, each of which the import once stored as something
// else (the low byte, 0, no groups, the first 16 scenes).
TEST(ChannelCsv, CellsNoColumnTakes)
{
    const struct {
        std::uint32_t column;
        std::string cell;
    } cells[] = {
        {1, ""}, {1, "64"}, {1, "-1"}, {1, "x"}, {1, "4294967301"}, {1, "5.0"},
        {2, ""}, {2, "64"}, {2, "254"}, {2, "-1"}, {2, "abc"}, {2, "true"}, {2, "[7]"}, {2, "12.9"}, {2, "\"9\""},
        {3, std::string("a\0b", 3)},
        {4, ""}, {4, "0,15"}, {4, "[16]"}, {4, "[-1]"}, {4, "[1.5]"}, {4, "[null]"}, {4, "[[4]]"}, {4, "[1] x"},
        {4, "[1"}, {4, "3"}, {4, "{}"},
        {5, "300"}, {5, "256"}, {5, "-1"}, {5, "abc"}, {5, "2.54E+02"}, {5, ""}, {5, "true"}, {5, "99999999999999999999"},
        {6, ""}, {6, "false"}, {6, "256"},
        {7, ""}, {7, "300"}, {8, "x"}, {8, "1e2"},
        {9, ""}, {9, "256"}, {9, "-1"}, {10, "256"}, {10, "x"},
        {11, ""}, {11, "[256,-1,x]"}, {11, "[256]"}, {11, "[-1]"}, {11, "[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17]"},
        {11, "[true]"}, {11, "254"}, {11, "[\"x\"]"},
    };
    for (const auto &[column, cell] : cells) {
        channel_csv_row row;
        EXPECT_FALSE(channel_csv_read_cell(column, cell, row)) << channel_csv_column_name(column) << " " << cell;
    }
}

// A row with a cell its column does not take is left out, each such cell
// named with row, column and the cell as written; the valid rows go in.
TEST(ChannelCsv, RowsWithBadCellsAreLeftOutAndNamed)
{
    const std::string csv = VERSION_1 +                                              // row 1
                            "0,1,1,A,[],300,254,1,254,7,0,[]\n" +                    // 2
                            "0,2,,B,[],254,,1,254,7,0,[]\n" +                        // 3: two bad cells
                            "0,3,3,C,0,15,254,254,1,254,7,0,[]\n" +                 // 4: 13 cells
                            "0,3,3,C,[16],254,254,1,254,7,0,\"[256,-1,x]\"\n" +      // 5
                            HALL_ROW +                                               // 6
                            "0,6,6,F,[],2.54E+02,254,1,254,7,0\n" +                  // 7: 11 cells
                            ",,,,,,,,,,,\n";                                         // 8: blank row
    channel_config config = patterned_image();
    csv_outcome outcome;
    EXPECT_EQ(problems_of(csv, config, outcome),
              "row 2 left out: power-on level \"300\" is no level from 0 to 255, null or false\n"
              "row 3 left out: short address \"\" is no short address from 0 to 63 or null\n"
              "row 3 left out: system failure level \"\" is no level from 0 to 255 or null\n"
              "row 4 left out: 13 cells, a device row has 12\n"
              "row 5 left out: groups \"[16]\" is no JSON array of groups from 0 to 15, such as [0,3] or []\n"
              "row 5 left out: scene levels \"[256,-1,x]\" is no JSON array of up to 16 levels from 0 to 255 or null, "
              "such as [254,128,null]\n"
              "row 7 left out: 11 cells, a device row has 12\n");
    EXPECT_EQ(outcome.applied, 1u);
    EXPECT_EQ(outcome.left_out, 5u);
    EXPECT_EQ(outcome.warned, 0u);
    expect_same_image(config, expected_with(HALL));

    // Ten problems are listed, the rest counted; a long cell is shown cut.
    std::string many = VERSION_1;
    for (int i = 0; i < 12; ++i)
        many += "0,1,1,A,[],254,254,1,254,7,0," + std::string(50, 'x') + "\n";
    config = patterned_image();
    const std::string shown = "row 2 left out: scene levels \"" + std::string(40, 'x') + "...\" is no JSON array";
    EXPECT_EQ(problems_of(many, config, outcome).substr(0, shown.size()), shown);
    EXPECT_EQ(outcome.listed.size(), CSV_PROBLEMS_LISTED);
    EXPECT_EQ(outcome.problems, 12u);
    EXPECT_EQ(outcome.left_out, 12u);
    EXPECT_EQ(outcome.listed.back().row, 11u);
}

// Rows that go in, but not quite as written: named as warnings.
TEST(ChannelCsv, RowsAppliedWithAWarning)
{
    channel_config config = patterned_image();
    std::uint8_t *fifty = config.bytes + dali_device_offset(DALI_LAYOUT_1, 50);
    dali_put_u32(fifty, DALI_DEV_FLAGS, DALI_FLAG_ADDRESSED | DALI_FLAG_POWER_ON_OFF);
    fifty[DALI_DEV_ADDRESS_BYTE] = 15; // short address 7
    const std::string name33 = std::string(31, 'a') + "\xC3\xBC";
    csv_outcome outcome;
    EXPECT_EQ(problems_of(VERSION_1 + "0,1,1,A,[],254,254,250,5,7,0,[]\n" +      // row 2
                              "0,2,2," + name33 + ",[],254,254,1,254,7,0,[]\n" + // 3
                              "0,50,null,Z,[],0,254,1,254,7,0,[]\n" +            // 4
                              "0,50,null,Z,[],false,254,1,254,7,0,[]\n",         // 5
                          config, outcome),
              "row 2 applied: min level 250 is above max level 5; applied as written\n"
              "row 3 applied: name \"" + name33.substr(0, 40) + "\" is cut to 32 bytes: \"" + std::string(31, 'a') +
                  "\"\n"
              "row 4 applied: slot 50 keeps short address 7: an import cannot remove a short address\n"
              "row 4 applied: slot 50 keeps power-on \"false\": an import cannot remove it, so level 0 stays "
              "\"false\"\n"
              "row 5 applied: slot 50 keeps short address 7: an import cannot remove a short address\n");
    EXPECT_EQ(outcome.applied, 4u);
    EXPECT_EQ(outcome.warned, 4u);
    EXPECT_EQ(outcome.left_out, 0u);
    EXPECT_EQ(entry(config, 1)[DALI_DEV_MIN_LEVEL], 250);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(entry(config, 2) + DALI_LAYOUT_1.name)), std::string(31, 'a'));
}

// The specified comment rule stays; a row that looks like a device and is a
// comment only through a later cell is named.
TEST(ChannelCsv, CommentRowsThatLookLikeDevices)
{
    const std::string csv = VERSION_1 + "# id,slot,short address,name\n" + // row 2: a comment
                            "#,1,1,A,[],254,254,1,254,7,0,[]\n" +               // 3: a comment
                            "0,#1,1,A,[],254,254,1,254,7,0,[]\n" +              // 4: a comment
                            "0,1,1,#1 Lobby,[],254,254,1,254,7,0,[]\n" +        // 5: named
                            "0,2,2,B,[],#N/A,254,1,254,7,0,[]\n" +              // 6: named
                            "0,2,2,B,[],254,254,1,254,7,0,[],#x\n";             // 7: named
    channel_config config = patterned_image();
    csv_outcome outcome;
    EXPECT_EQ(problems_of(csv, config, outcome),
              "row 5 left out: read as a comment, since name \"#1 Lobby\" begins with '#' (a name written as "
              "\"'#1 Lobby\" keeps it)\n"
              "row 6 left out: read as a comment, since power-on level \"#N/A\" begins with '#'\n"
              "row 7 left out: read as a comment, since a cell \"#x\" begins with '#'\n");
    EXPECT_EQ(outcome.left_out, 3u);
    expect_same_image(config, patterned_image());
}

// A CSV file must be UTF-8 text: another is refused whole, named by its first
// row that is not. A name the slot holds already, byte for byte, is no
// change (get_channel writes such a name as it is stored).
TEST(ChannelCsv, TextThatIsNotUtf8)
{
    channel_config config = patterned_image();
    csv_outcome outcome;
    load(VERSION_1 + HALL_ROW + "0,6,6,Caf\xE9 S\xFC" "d,[],254,254,1,254,7,0,[]\n# \xFF\n", config, &outcome);
    ASSERT_TRUE(outcome.not_utf8);
    EXPECT_EQ(outcome.not_utf8->text, "row 3 is not UTF-8 text (byte 0xe9 in name \"Caf\\xe9 S\\xfcd\")");
    EXPECT_EQ(outcome.rows, 4u);

    // A comment row counts too.
    load(VERSION_1 + "# caf\xE9\n" + HALL_ROW, config, &outcome);
    ASSERT_TRUE(outcome.not_utf8);
    EXPECT_EQ(outcome.not_utf8->row, 2u);

    config = patterned_image();
    std::uint8_t *six = config.bytes + dali_device_offset(DALI_LAYOUT_1, 6);
    std::memcpy(six + DALI_LAYOUT_1.name, "Caf\xE9\0", 5);
    load(VERSION_1 + "0,6,6,Caf\xE9,[],254,254,1,254,7,0,[]\n", config, &outcome);
    EXPECT_FALSE(outcome.not_utf8);
    EXPECT_EQ(outcome.applied, 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(six + DALI_LAYOUT_1.name)), "Caf\xE9");
    load(VERSION_1 + "0,7,6,Caf\xE9,[],254,254,1,254,7,0,[]\n", config, &outcome); // another slot's name
    EXPECT_TRUE(outcome.not_utf8);
}

// The guard against formulas: one "'" before a name that a spreadsheet would
// read as a formula (or the import as a comment), taken off again on import.
TEST(ChannelCsv, NameGuard)
{
    const struct {
        std::string name, cell;
    } names[] = {
        {"=1+2", "'=1+2"}, {"+49", "'+49"}, {"-1 Parking", "'-1 Parking"}, {"@x", "'@x"}, {"#1 Lobby", "'#1 Lobby"},
        {"\tTab", "'\tTab"}, {"\rCR", "'\rCR"}, {"'=x", "''=x"}, {"''@", "'''@"},
        {"Hall", "Hall"}, {"'quoted'", "'quoted'"}, {"'", "'"}, {"", ""}, {"a=b", "a=b"}, {"\nLF", "\nLF"},
    };
    for (const auto &[name, cell] : names) {
        EXPECT_EQ(channel_csv_guard_name(name), cell) << name;
        EXPECT_EQ(channel_csv_unguard_name(cell), name) << cell;
    }
    // Through the import.
    channel_config config = patterned_image();
    load(VERSION_1 + "0,4,1,'=1+2,[],1,1,1,1,1,1,[]\n", config);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(entry(config, 4) + DALI_LAYOUT_1.name)), "=1+2");
}

TEST(ChannelCsv, RowsThatAreNoDeviceRows)
{
    const std::string row = "0,5,12,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"";
    // Rows before any version line, and after one that declares 2, are
    // counted in the summary but neither applied nor named.
    const std::string csv = row + "\n" + "#dali-channel-csv-version: 2\n" + row + "\n" + VERSION_1 + row + "\n";
    channel_config config = patterned_image();
    csv_outcome outcome;
    EXPECT_EQ(load(csv, config, &outcome), "0 fields, 5 rows\n");
    EXPECT_EQ(outcome.applied, 1u);
    EXPECT_EQ(outcome.problems, 0u);
    expect_same_image(config, expected_with(HALL));

    // A version line inside a longer comment field: the number stands 27
    // characters after the field's start.
    const auto unchanged = patterned_image();
    config = patterned_image();
    EXPECT_EQ(load("# #dali-channel-csv-version: 1\n" + row + "\n", config, &outcome), "0 fields, 2 rows\n");
    EXPECT_FALSE(outcome.version_1);
    expect_same_image(config, unchanged);
    config = patterned_image();
    load("#" + std::string(26, '-') + "1 #dali-channel-csv-version: 9\n" + row + "\n", config);
    expect_same_image(config, expected_with(HALL));

    // An empty file: the summary with nothing counted. A file that does not
    // exist: nothing printed, nothing changed, the reason kept.
    config = patterned_image();
    EXPECT_EQ(load("", config), "0 fields, 0 rows\n");
    EXPECT_EQ(capture_stdout([&] {
                  EXPECT_EQ(channel_csv_load("/nonexistent/absent.csv", &config, &outcome), CSV_NOT_READ);
                  EXPECT_EQ(outcome.open_error, ENOENT);
                  EXPECT_EQ(channel_csv_load(nullptr, &config), CSV_NOT_READ);
              }),
              "");
    // The row copy refuses to work without its context or outside the 64 slots.
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
        EXPECT_EQ(sheet_csv_separator(row.text.data(), row.text.size()), row.separator) << row.text;
}
