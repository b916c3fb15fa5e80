#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace base {

// The one rule by which a field's text becomes a number: leading blanks, one sign,
// "$", "x", "X", "0x" or "0X" for hexadecimal, and nothing after the digits.
// Throws base::Error "'<text>' is not a valid integer value".
std::int32_t StrToInt(std::string_view text);

// The same rule, for hot paths where a text that is not a number is ordinary: nothing
// instead of the error.
std::optional<std::int32_t> TryStrToInt(std::string_view text) noexcept;

// The value of one hexadecimal digit, either case; -1 for any other character.
int HexDigit(char c) noexcept;

}  // namespace base
