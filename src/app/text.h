#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace app {

// The boundary between the program's 8-bit texts (code page 1251) and Qt's strings.
// Every byte decodes to one character and encodes back to the same byte; 0x98, which has
// no character in the code page, travels as U+0098. A character the code page lacks
// encodes as "?".
QString ToQString(std::string_view cp1251);
std::string FromQString(const QString& text);

// For texts written in the sources as UTF-8 literals.
std::string Cp1251(std::string_view utf8);

}  // namespace app
