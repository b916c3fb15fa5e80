#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Comma-separated values as spreadsheets write them: fields in double quotes may hold commas,
// quotes (doubled) and line breaks; lines end in CRLF or LF.
namespace device {

using CsvRow = std::vector<std::string>;

// Every row as written (rows may differ in length). A UTF-8 byte order mark at the start is
// dropped, so is a last line break; a blank line is a row with one empty field; an
// apostrophe FormatCsvRow put before a field is dropped. Throws
// base::Error naming the line for a quote that is never closed or a quote inside a bare field.
std::vector<CsvRow> ParseCsv(std::string_view text);
// The same row by row, none kept: `each` may take the row's fields.
void ParseCsv(std::string_view text, const std::function<void(CsvRow&)>& each);

// One row ending in CRLF; a field is quoted when it holds a comma, a quote, CR or LF, or
// begins or ends with a space. A field that begins with '=', '+', '-' or '@' (after any spaces,
// tabs and UTF-8 no-break spaces), '|', a tab, CR or an apostrophe gets an apostrophe before it, so
// that no spreadsheet takes it for a formula; ParseCsv takes one such apostrophe off again.
std::string FormatCsvRow(const CsvRow& row);

}  // namespace device
