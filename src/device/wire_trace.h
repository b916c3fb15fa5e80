#pragma once

#include <string>
#include <string_view>

#include "device/port.h"

// The operator's view of the wire: one line per datagram.
namespace device {

// Printable ASCII as it is, every other byte and the backslash as \xNN, so that a line can be
// read back unambiguously and no device text reaches the terminal raw.
std::string EscapeBytes(std::string_view bytes);

// "20:35:01.042 sent 10.0.0.7:4000 2 bytes GO": local time with milliseconds, the direction
// (sent or received), the peer's address and port, the length and the bytes escaped.
std::string FormatWireLine(const WireEvent& e);

}  // namespace device
