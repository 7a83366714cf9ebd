// Sheets as .xlsx workbooks: read with expat over the zip layer (the
// package's relationships lead to the workbook, its first worksheet and its
// shared strings), written with libxlsxwriter.
#include "model/sheet.h"

#include "base/file_put.h"
#include "zip/zip_layer.h"

#include <expat.h>
#include <xlsxwriter.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>

namespace {

// No part of a channel's workbook comes near this unpacked; a larger one is
// refused instead of being held in memory.
constexpr std::size_t PART_LIMIT = 16 << 20;
// Columns A to XFD, as many as a worksheet has.
constexpr std::uint32_t COLUMN_LIMIT = 16384;
constexpr char NAMESPACE_SEPARATOR = '|';

// ---- Reading XML ----

// The element or attribute name without its namespace: workbooks write the
// same names with and without prefixes.
std::string_view local_name(const XML_Char *name)
{
    const char *separator = std::strrchr(name, NAMESPACE_SEPARATOR);
    return separator ? separator + 1 : name;
}

// The value of the attribute `local` (in a namespace when `namespaced`), or null.
const XML_Char *attribute(const XML_Char **attributes, std::string_view local, bool namespaced = false)
{
    for (; attributes[0] != nullptr; attributes += 2)
        if (local_name(attributes[0]) == local &&
            (std::strchr(attributes[0], NAMESPACE_SEPARATOR) != nullptr) == namespaced)
            return attributes[1];
    return nullptr;
}

// One XML part parsed by expat, element by element. A document type
// declaration is refused: a workbook has none, and entities are not expanded.
class xml_part {
public:
    std::function<void(std::string_view, const XML_Char **)> on_start = [](std::string_view, const XML_Char **) {};
    std::function<void(std::string_view)> on_end = [](std::string_view) {};
    std::function<void(std::string_view)> on_text = [](std::string_view) {};

    // Whether the whole part is well-formed XML; else `why` says where not.
    bool parse(const std::vector<unsigned char> &data, std::string &why)
    {
        const std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(
            XML_ParserCreateNS(nullptr, NAMESPACE_SEPARATOR), XML_ParserFree);
        if (!parser) {
            why = "out of memory";
            return false;
        }
        parser_ = parser.get();
        XML_SetUserData(parser_, this);
        XML_SetElementHandler(parser_, start, end);
        XML_SetCharacterDataHandler(parser_, text);
        XML_SetStartDoctypeDeclHandler(parser_, doctype);
        const auto status = XML_Parse(parser_, reinterpret_cast<const char *>(data.data()),
                                      static_cast<int>(data.size()), XML_TRUE);
        if (status == XML_STATUS_OK && failure_.empty())
            return true;
        why = !failure_.empty() ? failure_ : XML_ErrorString(XML_GetErrorCode(parser_));
        why += " (line " + std::to_string(XML_GetCurrentLineNumber(parser_)) + ")";
        return false;
    }

    // Ends the parse with `why` from inside a handler.
    void fail(const std::string &why)
    {
        if (failure_.empty())
            failure_ = why;
        XML_StopParser(parser_, XML_FALSE);
    }

private:
    static void start(void *self, const XML_Char *name, const XML_Char **attributes)
    {
        static_cast<xml_part *>(self)->on_start(local_name(name), attributes);
    }
    static void end(void *self, const XML_Char *name) { static_cast<xml_part *>(self)->on_end(local_name(name)); }
    static void text(void *self, const XML_Char *text, int length)
    {
        static_cast<xml_part *>(self)->on_text(std::string_view(text, static_cast<std::size_t>(length)));
    }
    static void doctype(void *self, const XML_Char *, const XML_Char *, const XML_Char *, int)
    {
        static_cast<xml_part *>(self)->fail("a document type declaration");
    }

    XML_Parser parser_ = nullptr;
    std::string failure_;
};

// ---- The package ----

// A part's name inside the package, from a relationship's target: absolute
// ("/xl/workbook.xml") or relative to the folder of the part that refers to
// it, with "." and ".." resolved.
std::string part_path(const std::string &folder, const std::string &target)
{
    const std::string joined = !target.empty() && target[0] == '/' ? target.substr(1) : folder + target;
    std::vector<std::string> segments;
    std::size_t from = 0;
    while (from <= joined.size()) {
        std::size_t to = joined.find('/', from);
        if (to == std::string::npos)
            to = joined.size();
        const std::string segment = joined.substr(from, to - from);
        if (segment == "..") {
            if (!segments.empty())
                segments.pop_back();
        } else if (!segment.empty() && segment != ".") {
            segments.push_back(segment);
        }
        from = to + 1;
    }
    std::string path;
    for (const std::string &segment : segments)
        path += (path.empty() ? "" : "/") + segment;
    return path;
}

std::string folder_of_part(const std::string &part)
{
    const std::size_t slash = part.rfind('/');
    return slash == std::string::npos ? std::string() : part.substr(0, slash + 1);
}

struct relationship {
    std::string type;
    std::string target; // as a part's name
};

class package {
public:
    explicit package(mzip::zip_handle_t *zip) : zip_(zip) {}

    // The part's bytes; nothing (with `why` set) when it is missing, too large
    // or damaged.
    std::optional<std::vector<unsigned char>> part(const std::string &name, std::string &why)
    {
        if (mzip::zip_entry_open(zip_, name.c_str()) != 0) {
            why = "it has no part " + name;
            return std::nullopt;
        }
        std::vector<unsigned char> data;
        const std::int64_t read = mzip::zip_entry_read(zip_, &data, nullptr, PART_LIMIT);
        mzip::zip_entry_close(zip_);
        if (read == mzip::ZIP_ENTRY_TOO_LARGE)
            why = name + " is larger than " + std::to_string(PART_LIMIT >> 20) + " MiB unpacked";
        else if (read < 0)
            why = name + " cannot be unpacked";
        else
            return data;
        return std::nullopt;
    }

    // The relationships of part `source` ("" for the package's own), by id.
    std::optional<std::map<std::string, relationship>> relationships(const std::string &source, std::string &why)
    {
        const std::string folder = folder_of_part(source);
        const std::string name = folder + "_rels/" + source.substr(folder.size()) + ".rels";
        const std::optional<std::vector<unsigned char>> data = part(name, why);
        if (!data)
            return std::nullopt;
        std::map<std::string, relationship> found;
        xml_part xml;
        xml.on_start = [&](std::string_view element, const XML_Char **attributes) {
            const XML_Char *id = attribute(attributes, "Id");
            const XML_Char *type = attribute(attributes, "Type");
            const XML_Char *target = attribute(attributes, "Target");
            const XML_Char *mode = attribute(attributes, "TargetMode");
            if (element == "Relationship" && id && type && target && !(mode && std::strcmp(mode, "External") == 0))
                found[id] = {type, part_path(folder, target)};
        };
        if (!xml.parse(*data, why)) {
            why = name + ": " + why;
            return std::nullopt;
        }
        return found;
    }

private:
    mzip::zip_handle_t *zip_;
};

bool type_is(const std::string &type, std::string_view kind)
{
    return type.size() > kind.size() && type.compare(type.size() - kind.size(), kind.size(), kind) == 0 &&
           type[type.size() - kind.size() - 1] == '/';
}

const relationship *relationship_of_type(const std::map<std::string, relationship> &all, std::string_view kind)
{
    for (const auto &[id, found] : all)
        if (type_is(found.type, kind))
            return &found;
    return nullptr;
}

// ---- Cell text ----

void append_utf8(std::string &out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The UTF-16 unit of an escape "_xHHHH_" at the start of `text`.
std::optional<std::uint32_t> escaped_unit(std::string_view text)
{
    if (text.size() < 7 || text[0] != '_' || text[1] != 'x' || text[6] != '_')
        return std::nullopt;
    std::uint32_t unit = 0;
    for (std::size_t i = 2; i < 6; ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
            return std::nullopt;
        unit = unit << 4 | static_cast<std::uint32_t>(digit);
    }
    return unit;
}

} // namespace

// Workbook strings carry what XML cannot hold (control characters) as
// "_xHHHH_", UTF-16 units; "_x005F_" is the '_' of a literal "_xHHHH_".
std::string sheet_unescape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::optional<std::uint32_t> unit = escaped_unit(text.substr(at));
        if (!unit) {
            out += text[at++];
            continue;
        }
        at += 7;
        std::uint32_t code = *unit;
        if (code >= 0xD800 && code <= 0xDBFF) {
            const std::optional<std::uint32_t> low = escaped_unit(text.substr(at));
            if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (*low - 0xDC00);
                at += 7;
            }
        }
        append_utf8(out, code >= 0xD800 && code <= 0xDFFF ? 0xFFFD : code);
    }
    return out;
}

std::string sheet_escape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (escaped_unit(text.substr(at)))
            out += "_x005F";
        out += text[at];
    }
    return out;
}

namespace {

// A number cell as the column checks read it: an integral value as a
// decimal integer (a workbook may hold 254 as "254.0" or "2.54E2"), any
// other as written.
std::string number_text(const std::string &text)
{
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(value) || value != std::trunc(value) ||
        std::fabs(value) >= 1e15)
        return text;
    char out[32];
    std::snprintf(out, sizeof out, "%.0f", value + 0.0);
    return out;
}

// A cell reference's column ("C7" -> 2); nothing for one beyond XFD.
std::optional<std::uint32_t> reference_column(const char *reference)
{
    std::uint32_t column = 0;
    std::size_t letters = 0;
    for (; reference[letters] >= 'A' && reference[letters] <= 'Z'; ++letters) {
        column = column * 26 + static_cast<std::uint32_t>(reference[letters] - 'A' + 1);
        if (column > COLUMN_LIMIT)
            return std::nullopt;
    }
    if (letters == 0)
        return std::nullopt;
    return column - 1;
}

// The text of a string item (<si> of the shared strings, <is> of a cell):
// its <t> elements, rich text runs included, without the phonetic reading
// aids (<rPh>) some spreadsheets add.
class string_item {
public:
    void begin()
    {
        open_ = true;
        text_.clear();
    }
    std::string finish()
    {
        open_ = false;
        return sheet_unescape(text_);
    }
    bool open() const { return open_; }
    void start(std::string_view element)
    {
        if (element == "rPh")
            ++phonetic_;
        else if (element == "t")
            in_text_ = open_ && phonetic_ == 0;
    }
    void end(std::string_view element)
    {
        if (element == "rPh")
            --phonetic_;
        else if (element == "t")
            in_text_ = false;
    }
    void add(std::string_view text)
    {
        if (in_text_)
            text_ += text;
    }

private:
    bool open_ = false, in_text_ = false;
    int phonetic_ = 0;
    std::string text_;
};

// The shared strings, in order.
bool read_shared_strings(const std::vector<unsigned char> &data, std::vector<std::string> &strings, std::string &why)
{
    string_item item;
    xml_part xml;
    xml.on_start = [&](std::string_view element, const XML_Char **) {
        if (element == "si")
            item.begin();
        item.start(element);
    };
    xml.on_end = [&](std::string_view element) {
        item.end(element);
        if (element == "si" && item.open())
            strings.push_back(item.finish());
    };
    xml.on_text = [&](std::string_view text) { item.add(text); };
    return xml.parse(data, why);
}

// The rows of a worksheet, handed over one by one.
bool read_rows(const std::vector<unsigned char> &data, const std::vector<std::string> &strings,
               const sheet_row_taker &take, std::uint32_t &rows, std::string &why)
{
    sheet_row row;
    bool in_row = false, in_cell = false, in_value = false, formula = false;
    std::uint32_t column = 0;
    std::string type, value;
    string_item inline_text;
    xml_part xml;
    xml.on_start = [&](std::string_view element, const XML_Char **attributes) {
        if (element == "row") {
            const XML_Char *number = attribute(attributes, "r");
            const unsigned long given = number ? std::strtoul(number, nullptr, 10) : 0;
            row.number = given > 0 && given <= UINT32_MAX ? static_cast<std::uint32_t>(given) : row.number + 1;
            row.cells.clear();
            row.formulas_without_value.clear();
            in_row = true;
            column = 0;
        } else if (element == "c" && in_row) {
            const XML_Char *reference = attribute(attributes, "r");
            const std::optional<std::uint32_t> at = reference ? reference_column(reference) : column;
            if (!at || *at >= COLUMN_LIMIT) {
                xml.fail("a cell beyond column XFD in row " + std::to_string(row.number));
                return;
            }
            column = *at;
            const XML_Char *kind = attribute(attributes, "t");
            type = kind ? kind : "n";
            value.clear();
            inline_text = string_item();
            formula = false;
            in_cell = true;
        } else if (element == "v" && in_cell) {
            in_value = true;
        } else if (element == "f" && in_cell) {
            formula = true;
        } else if (element == "is" && in_cell) {
            inline_text.begin();
        }
        inline_text.start(element);
    };
    xml.on_end = [&](std::string_view element) {
        inline_text.end(element);
        if (element == "c" && in_cell) {
            std::string text;
            if (type == "s") {
                char *end = nullptr;
                const unsigned long index = std::strtoul(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || index >= strings.size()) {
                    xml.fail("a shared string that is not there in row " + std::to_string(row.number));
                    return;
                }
                text = strings[index];
            } else if (type == "inlineStr") {
                text = inline_text.finish();
            } else if (type == "str") {
                text = sheet_unescape(value);
            } else if (type == "b") {
                text = value == "1" ? "TRUE" : value == "0" ? "FALSE" : value;
            } else if (type == "n") {
                text = number_text(value);
            } else {
                text = value; // "e" (an error value such as #N/A), "d" (a date as written)
            }
            if (!text.empty()) {
                if (row.cells.size() <= column)
                    row.cells.resize(column + 1);
                row.cells[column] = std::move(text);
            } else if (formula && value.empty()) {
                row.formulas_without_value.push_back(column);
            }
            ++column;
            in_cell = false;
        } else if (element == "row" && in_row) {
            take(row);
            ++rows;
            in_row = false;
        } else if (element == "v") {
            in_value = false;
        }
    };
    xml.on_text = [&](std::string_view text) {
        if (in_value)
            value += text;
        inline_text.add(text);
    };
    return xml.parse(data, why);
}

// ---- Writing ----

struct workbook_owner {
    lxw_workbook *workbook = nullptr;
    ~workbook_owner()
    {
        if (workbook != nullptr)
            lxw_workbook_free(workbook);
    }
};

} // namespace

int sheet_workbook_read(const char *path, const sheet_row_taker &take, sheet_outcome &outcome)
{
    outcome = sheet_outcome{};
    outcome.kind = sheet_kind::workbook;
    if (path == nullptr)
        return SHEET_NOT_READ;
    // A file that cannot be opened is said as for a CSV file.
    outcome.error = file_readable(path);
    if (outcome.error != 0)
        return SHEET_NOT_READ;
    std::string why;
    const mzip::zip_handle_ptr zip(mzip::zip_open(path, 0, 'r', &why));
    if (!zip) {
        outcome.reason = "not an .xlsx workbook (" + (why.empty() ? std::string("no zip archive") : why) + ")";
        return SHEET_NOT_READ;
    }
    package workbook(zip.get());
    const auto fail = [&](const std::string &what) {
        outcome.reason = "cannot be read as an .xlsx workbook: " + what;
        return SHEET_NOT_READ;
    };
    const auto root = workbook.relationships("", why);
    if (!root)
        return fail(why);
    const relationship *document = relationship_of_type(*root, "officeDocument");
    if (!document)
        return fail("it names no workbook part");
    const auto parts = workbook.relationships(document->target, why);
    if (!parts)
        return fail(why);
    const auto book = workbook.part(document->target, why);
    if (!book)
        return fail(why);

    // The first <sheet> of <sheets>, by its relationship.
    std::optional<std::string> first;
    xml_part xml;
    xml.on_start = [&](std::string_view element, const XML_Char **attributes) {
        if (element == "sheet" && !first)
            if (const XML_Char *id = attribute(attributes, "id", true))
                first = id;
    };
    if (!xml.parse(*book, why))
        return fail(document->target + ": " + why);
    const auto sheet = first ? parts->find(*first) : parts->end();
    if (sheet == parts->end() || !type_is(sheet->second.type, "worksheet"))
        return fail("its first sheet is no worksheet");

    std::vector<std::string> strings;
    if (const relationship *shared = relationship_of_type(*parts, "sharedStrings")) {
        const auto data = workbook.part(shared->target, why);
        if (!data)
            return fail(why);
        if (!read_shared_strings(*data, strings, why))
            return fail(shared->target + ": " + why);
    }
    const auto data = workbook.part(sheet->second.target, why);
    if (!data)
        return fail(why);
    if (!read_rows(*data, strings, take, outcome.rows, why))
        return fail(sheet->second.target + ": " + why);
    return SHEET_READ;
}

int sheet_workbook_write(const std::string &path, const char *title, const sheet_table &table,
                         const std::vector<sheet_column> &columns, std::uint32_t frozen, std::string &reason)
{
    workbook_owner owner;
    lxw_workbook_options options{};
    owner.workbook = workbook_new_opt(path.c_str(), &options);
    lxw_worksheet *sheet = owner.workbook ? workbook_add_worksheet(owner.workbook, title) : nullptr;
    lxw_format *text = owner.workbook ? workbook_add_format(owner.workbook) : nullptr;
    if (sheet == nullptr || text == nullptr) {
        reason = "the workbook cannot be made";
        return 1;
    }
    format_set_num_format(text, "@");
    lxw_error error = LXW_NO_ERROR;
    for (std::size_t i = 0; i < columns.size() && error == LXW_NO_ERROR; ++i)
        error = worksheet_set_column(sheet, static_cast<lxw_col_t>(i), static_cast<lxw_col_t>(i), columns[i].width,
                                     columns[i].text ? text : nullptr);
    if (frozen > 0)
        worksheet_freeze_panes(sheet, frozen, 0);
    for (std::size_t r = 0; r < table.size() && error == LXW_NO_ERROR; ++r)
        for (std::size_t c = 0; c < table[r].size() && error == LXW_NO_ERROR; ++c) {
            const sheet_cell &cell = table[r][c];
            const auto row = static_cast<lxw_row_t>(r);
            const auto column = static_cast<lxw_col_t>(c);
            if (cell.number)
                error = worksheet_write_number(sheet, row, column, std::strtod(cell.text.c_str(), nullptr), nullptr);
            else if (!cell.text.empty())
                error = worksheet_write_string(sheet, row, column, sheet_escape(cell.text).c_str(),
                                               c < columns.size() && columns[c].text ? text : nullptr);
        }
    if (error == LXW_NO_ERROR) {
        // workbook_close writes the file and frees the workbook either way.
        error = workbook_close(owner.workbook);
        owner.workbook = nullptr;
    }
    if (error != LXW_NO_ERROR) {
        reason = lxw_strerror(error);
        return 1;
    }
    return 0;
}
