#pragma once

#include <string>
#include <string_view>
#include <vector>

// Comma-separated values as spreadsheets write them: fields in double quotes may hold commas,
// quotes (doubled) and line breaks; lines end in CRLF or LF.
namespace device {

using CsvRow = std::vector<std::string>;

// Every row as written (rows may differ in length). A UTF-8 byte order mark at the start is
// dropped, so is a last line break; a blank line is a row with one empty field. Throws
// base::Error naming the line for a quote that is never closed or a quote inside a bare field.
std::vector<CsvRow> ParseCsv(std::string_view text);

// One row ending in CRLF; a field is quoted when it holds a comma, a quote, CR or LF, or
// begins or ends with a space.
std::string FormatCsvRow(const CsvRow& row);

}  // namespace device
