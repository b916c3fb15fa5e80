#pragma once

#include <optional>
#include <string>
#include <string_view>

// The device speaks code page 1251; terminals, files and JSON speak UTF-8.
namespace formats {

std::string Utf8FromCp1251(std::string_view bytes);

// For a terminal line: UTF-8, with every control byte (C0, DEL, and 0x98 which stands for a
// C1 control) shown as \xNN of the device's byte, so that device text can never move the
// cursor, end the line or forge another.
std::string Printable(std::string_view bytes);

// Printable, and in double quotes (with \" and \\ inside) when the text is empty or holds a
// space, '=', ';', a quote or a backslash: a value on a line of fields cannot pass for more
// fields or for the line's own words.
std::string Quoted(std::string_view bytes);

// A UTF-8 message with its control bytes as \xNN, as Printable shows device text; a line
// break stays only where it starts an indented line (a message of several lines).
std::string Escaped(std::string_view utf8);

// Device text as a CSV cell: UTF-8, with control bytes and the backslash as \xNN of the
// device's byte, so that no cell holds a raw control byte and the cell reads back exactly.
std::string CsvCellOf(std::string_view cp1251);
// A CSV cell back as UTF-8: every \xNN becomes the character of that device byte.
std::string TextOfCsvCell(std::string_view cell);

// Nothing when the text is not UTF-8 or holds a character that code page 1251 lacks.
std::optional<std::string> Cp1251FromUtf8(std::string_view text);

}  // namespace formats
