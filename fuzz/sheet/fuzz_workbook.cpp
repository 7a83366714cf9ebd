// The workbook reader and the channel row checks behind it, over arbitrary
// worksheet and shared-string parts. An input is the worksheet's XML, then
// optionally a NUL byte and the shared strings' XML; each is packed with a
// fixed workbook into a scratch .xlsx file over the zip layer (random bytes
// would almost never make a zip archive whose parts are found).
#include "base/text.h"
#include "fuzz/fuzz_support.h"
#include "model/channel_file.h"
#include "model/csv.h"
#include "model/sheet.h"
#include "zip/zip_layer.h"

#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr const char ROOT_RELS[] =
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship "
    "Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
    "Target=\"xl/workbook.xml\"/></Relationships>";
constexpr const char WORKBOOK[] =
    "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
    "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheets><sheet name=\"dali1\" "
    "sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>";
constexpr const char WORKBOOK_RELS[] =
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship "
    "Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
    "Target=\"worksheets/sheet1.xml\"/><Relationship Id=\"rId2\" "
    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings\" "
    "Target=\"sharedStrings.xml\"/></Relationships>";

void add_part(mzip::zip_handle_t *zip, const char *name, const void *data, std::size_t size)
{
    FUZZ_CHECK(mzip::zip_entry_open(zip, name) == 0);
    FUZZ_CHECK(size == 0 || mzip::zip_entry_write(zip, data, size) == 0);
    FUZZ_CHECK(mzip::zip_entry_close(zip) == 0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    const char *split = static_cast<const char *>(std::memchr(text, '\0', size));
    const std::size_t sheet_size = split ? static_cast<std::size_t>(split - text) : size;

    // The scratch file is rewritten as a whole workbook for every input.
    const std::string path = fuzz_scratch().write(nullptr, 0);
    mzip::zip_handle_t *zip = mzip::zip_open(path.c_str(), 0, 'w');
    FUZZ_CHECK(zip != nullptr);
    add_part(zip, "_rels/.rels", ROOT_RELS, sizeof ROOT_RELS - 1);
    add_part(zip, "xl/workbook.xml", WORKBOOK, sizeof WORKBOOK - 1);
    add_part(zip, "xl/_rels/workbook.xml.rels", WORKBOOK_RELS, sizeof WORKBOOK_RELS - 1);
    add_part(zip, "xl/worksheets/sheet1.xml", text, sheet_size);
    if (split)
        add_part(zip, "xl/sharedStrings.xml", split + 1, size - sheet_size - 1);
    FUZZ_CHECK(mzip::zip_close(zip) == 0);

    auto config = std::make_unique<channel_config>();
    channel_csv_ctx ctx;
    ctx.config = config.get();
    ctx.kind = sheet_kind::workbook;
    std::uint32_t rows = 0;
    sheet_outcome outcome;
    const int result = sheet_workbook_read(path.c_str(), [&](const sheet_row &row) {
        // Text out of XML is UTF-8, escapes included, and rows fit a worksheet.
        for (const std::string &cell : row.cells)
            FUZZ_CHECK(utf8_valid(cell));
        FUZZ_CHECK(row.cells.size() <= 16384);
        ++rows;
        channel_csv_take_row(row, ctx);
    }, outcome);
    FUZZ_CHECK(result == SHEET_READ || result == SHEET_NOT_READ);
    FUZZ_CHECK(result == SHEET_READ ? outcome.rows == rows : !outcome.reason.empty());
    FUZZ_CHECK(!ctx.outcome.not_utf8);
    FUZZ_CHECK(ctx.outcome.applied + ctx.outcome.left_out <= rows);
    FUZZ_CHECK(ctx.outcome.listed.size() <= CSV_PROBLEMS_LISTED);
    return 0;
}
