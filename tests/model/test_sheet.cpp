// Sheets: workbooks read as a spreadsheet writes them (packages made here
// part by part over the zip layer), workbooks written and read back, and the
// string escapes of the format.
#include "model/sheet.h"

#include "support.h"
#include "zip/zip_layer.h"

#include <map>

namespace {

const std::string MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
const std::string RELS = "http://schemas.openxmlformats.org/package/2006/relationships";
const std::string DOC = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";

const std::string ROOT_RELS = "<?xml version=\"1.0\"?><Relationships xmlns=\"" + RELS +
                              "\"><Relationship Id=\"rId1\" Type=\"" + DOC +
                              "/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>";
// Two sheets: the first in the workbook's order is the one read.
const std::string WORKBOOK = "<workbook xmlns=\"" + MAIN + "\" xmlns:r=\"" + DOC +
                             "\"><sheets><sheet name=\"Devices\" sheetId=\"2\" r:id=\"rId7\"/>"
                             "<sheet name=\"Other\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>";
const std::string WORKBOOK_RELS =
    "<Relationships xmlns=\"" + RELS + "\"><Relationship Id=\"rId1\" Type=\"" + DOC +
    "/worksheet\" Target=\"worksheets/sheet1.xml\"/><Relationship Id=\"rId7\" Type=\"" + DOC +
    "/worksheet\" Target=\"/xl/worksheets/../worksheets/devices.xml\"/><Relationship Id=\"rId3\" Type=\"" + DOC +
    "/sharedStrings\" Target=\"sharedStrings.xml\"/></Relationships>";
// Plain, rich (runs) and phonetic text, and an escaped control character.
const std::string SHARED = "<x:sst xmlns:x=\"" + MAIN +
                           "\"><x:si><x:t>Entrance</x:t></x:si><x:si><x:r><x:t>Ca</x:t></x:r><x:r><x:t "
                           "xml:space=\"preserve\">fé </x:t></x:r></x:si><x:si><x:t>会議室</x:t><x:rPh sb=\"0\" "
                           "eb=\"3\"><x:t>かいぎしつ</x:t></x:rPh></x:si><x:si><x:t>a_x000D_b_x005F_x0041_</x:t></x:si>"
                           "</x:sst>";

std::string worksheet(const std::string &rows)
{
    return "<worksheet xmlns=\"" + MAIN + "\"><sheetData>" + rows + "</sheetData></worksheet>";
}

// A package of the given parts, written over the zip layer.
void write_package(const std::string &path, const std::map<std::string, std::string> &parts)
{
    mzip::zip_handle_t *zip = mzip::zip_open(path.c_str(), 6, 'w');
    ASSERT_NE(zip, nullptr);
    for (const auto &[name, text] : parts) {
        ASSERT_EQ(mzip::zip_entry_open(zip, name.c_str()), 0);
        ASSERT_EQ(mzip::zip_entry_write(zip, text.data(), text.size()), 0);
        ASSERT_EQ(mzip::zip_entry_close(zip), 0);
    }
    ASSERT_EQ(mzip::zip_close(zip), 0);
}

std::map<std::string, std::string> package_with(const std::string &sheet)
{
    return {{"_rels/.rels", ROOT_RELS},
            {"xl/workbook.xml", WORKBOOK},
            {"xl/_rels/workbook.xml.rels", WORKBOOK_RELS},
            {"xl/sharedStrings.xml", SHARED},
            {"xl/worksheets/sheet1.xml", worksheet("<row r=\"1\"><c t=\"inlineStr\"><is><t>not this one</t></is></c></row>")},
            {"xl/worksheets/devices.xml", sheet}};
}

// Every row read, one line each: its number, then its cells in brackets.
struct read_result {
    int status = -1;
    std::string rows;
    sheet_outcome outcome;
};
read_result read(const std::string &path)
{
    read_result result;
    result.status = sheet_read(path.c_str(), [&](const sheet_row &row) {
        result.rows += std::to_string(row.number) + ":";
        for (const std::string &cell : row.cells)
            result.rows += "[" + cell + "]";
        for (const std::uint32_t column : row.formulas_without_value)
            result.rows += " formula without value in " + std::to_string(column);
        result.rows += "\n";
    }, result.outcome);
    return result;
}

} // namespace

TEST(Sheet, WorkbookAsASpreadsheetWritesIt)
{
    temp_dir dir;
    const std::string path = dir.file("devices.XLSX");
    write_package(path, package_with(worksheet(
        // Shared, inline and formula strings; numbers as a spreadsheet writes
        // them; booleans; an error value; a cell without a reference; cells
        // left out in between; a formula's cached result, and one saved without.
        "<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c><c r=\"C1\" t=\"s\"><v>2</v></c>"
        "<c r=\"D1\" t=\"s\"><v>3</v></c></row>"
        "<row r=\"2\"><c r=\"A2\"><v>254</v></c><c><v>254.0</v></c><c r=\"C2\"><v>2.54E2</v></c><c r=\"D2\"><v>7.5</v></c>"
        "<c r=\"E2\"><v>1E+21</v></c><c r=\"F2\" t=\"b\"><v>0</v></c><c r=\"G2\" t=\"e\"><v>#N/A</v></c></row>"
        "<row r=\"4\"><c r=\"B4\" t=\"inlineStr\"><is><r><t>in</t></r><r><t>line</t></r></is></c>"
        "<c r=\"E4\" t=\"str\"><f>A1</f><v>Entrance</v></c><c r=\"F4\"><f>1+2</f><v>3</v></c><c r=\"G4\" s=\"1\"/><c r=\"H4\"><f>A1</f></c></row>"
        "<row><c r=\"A5\"><v>-0</v></c></row>")));
    const read_result result = read(path);
    EXPECT_EQ(result.status, SHEET_READ) << result.outcome.reason;
    EXPECT_EQ(result.rows, "1:[Entrance][Café ][会議室][a\rb_x0041_]\n"
                           "2:[254][254][254][7.5][1E+21][FALSE][#N/A]\n"
                           "4:[][inline][][][Entrance][3] formula without value in 7\n"
                           "5:[0]\n");
    EXPECT_EQ(result.outcome.rows, 4u);
    EXPECT_EQ(result.outcome.kind, sheet_kind::workbook);
}

TEST(Sheet, WorkbooksThatCannotBeRead)
{
    temp_dir dir;
    const auto reason = [&](const std::map<std::string, std::string> &parts) {
        const std::string path = dir.file("x.xlsx");
        std::remove(path.c_str());
        write_package(path, parts);
        const read_result result = read(path);
        EXPECT_EQ(result.status, SHEET_NOT_READ);
        EXPECT_EQ(result.rows, "");
        return result.outcome.reason;
    };
    auto parts = package_with(worksheet(""));
    parts.erase("_rels/.rels");
    EXPECT_EQ(reason(parts), "cannot be read as an .xlsx workbook: it has no part _rels/.rels");
    parts = package_with(worksheet("<row><c t=\"s\"><v>4</v></c></row>"));
    EXPECT_EQ(reason(parts), "cannot be read as an .xlsx workbook: xl/worksheets/devices.xml: a shared string that "
                             "is not there in row 1 (line 1)");
    parts = package_with(worksheet("<row><c r=\"XFE1\"><v>1</v></c></row>"));
    EXPECT_EQ(reason(parts), "cannot be read as an .xlsx workbook: xl/worksheets/devices.xml: a cell beyond column "
                             "XFD in row 1 (line 1)");
    parts = package_with("<!DOCTYPE worksheet [<!ENTITY a \"aaaa\">]>" + worksheet(""));
    EXPECT_EQ(reason(parts), "cannot be read as an .xlsx workbook: xl/worksheets/devices.xml: a document type "
                             "declaration (line 1)");
    parts = package_with(worksheet("<row>"));
    const std::string unclosed = "cannot be read as an .xlsx workbook: xl/worksheets/devices.xml: mismatched tag";
    EXPECT_EQ(reason(parts).substr(0, unclosed.size()), unclosed);
    parts = package_with(worksheet(""));
    parts["xl/workbook.xml"] = "<workbook xmlns=\"" + MAIN + "\"><sheets/></workbook>";
    EXPECT_EQ(reason(parts), "cannot be read as an .xlsx workbook: its first sheet is no worksheet");

    // A file that is no zip archive, and one that is not there.
    ASSERT_TRUE(write_file(dir.file("text.xlsx"), "#dali-channel-csv-version: 1\n"));
    read_result result = read(dir.file("text.xlsx"));
    EXPECT_EQ(result.status, SHEET_NOT_READ);
    EXPECT_EQ(result.outcome.reason, "not an .xlsx workbook (Not a zip archive)");
    result = read(dir.file("missing.xlsx"));
    EXPECT_EQ(result.status, SHEET_NOT_READ);
    EXPECT_EQ(result.outcome.error, ENOENT);
}

// What the writer puts in a workbook comes back as it went in: text that XML
// cannot hold, text that looks like an escape, a formula's text, numbers.
TEST(Sheet, WorkbookWrittenAndReadBack)
{
    temp_dir dir;
    const std::string path = dir.file("written.xlsx");
    const sheet_table table = {
        {{"#version"}},
        {{"a\rb\x01" "c\td\ne"}, {"_x0041_ and _x005F_"}, {"=1+2"}, {"007"}, {"254", true}, {""}, {"会議室"}},
        {},
        {{""}, {"1/2"}},
    };
    std::string why;
    ASSERT_EQ(sheet_workbook_write(path, "dali1", table, {{10, true}, {34, false}}, 2, why), 0) << why;
    const read_result result = read(path);
    EXPECT_EQ(result.status, SHEET_READ) << result.outcome.reason;
    EXPECT_EQ(result.rows, "1:[#version]\n"
                           "2:[a\rb\x01" "c\td\ne][_x0041_ and _x005F_][=1+2][007][254][][会議室]\n"
                           "4:[][1/2]\n");
}

TEST(Sheet, StringEscapes)
{
    const struct {
        std::string escaped, text;
    } strings[] = {
        {"plain", "plain"},          {"_x000D_", "\r"},          {"_x000d__x0009_", "\r\t"},
        {"_x005F_x0041_", "_x0041_"}, {"_x00e9_", "é"},           {"_xD83D__xDCA1_", "💡"},
        {"_xD83D_", "\xEF\xBF\xBD"}, {"_x12_", "_x12_"},         {"_xZZZZ_", "_xZZZZ_"},
        {"_x0041", "_x0041"},        {"__x0041_", "_A"},         {"_x00ff__x00FF_", "ÿÿ"},
    };
    for (const auto &[escaped, text] : strings)
        EXPECT_EQ(sheet_unescape(escaped), text) << escaped;
    for (const std::string text : {"_x0041_", "a_x12345_b", "_x005F_", "none", "_x_"})
        EXPECT_EQ(sheet_unescape(sheet_escape(text)), text) << text;
}

TEST(Sheet, WorkbookByItsName)
{
    for (const auto &[path, workbook] : std::vector<std::pair<std::string, bool>>{
             {"a.xlsx", true}, {"dir/A.XLSX", true}, {".xlsx", false}, {"a.xls", false}, {"a.xlsx.csv", false},
             {"a.csv", false}, {"xlsx", false}})
        EXPECT_EQ(sheet_is_workbook(path), workbook) << path;
}
