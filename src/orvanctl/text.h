#pragma once

#include <optional>
#include <string>
#include <string_view>

// The device speaks code page 1251; terminals, files and JSON speak UTF-8.
namespace orvanctl {

std::string Utf8FromCp1251(std::string_view bytes);

// For a terminal line: UTF-8, with every control byte (C0, DEL, and 0x98 which stands for a
// C1 control) shown as \xNN of the device's byte, so that device text can never move the
// cursor, end the line or forge another.
std::string Printable(std::string_view bytes);

// Nothing when the text is not UTF-8 or holds a character that code page 1251 lacks.
std::optional<std::string> Cp1251FromUtf8(std::string_view text);

}  // namespace orvanctl
