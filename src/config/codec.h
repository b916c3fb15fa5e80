#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/local_date_time.h"

// The texts exchanged with the device. All texts are code page 1251 bytes, never decoded here.
namespace config {

// A parsed configuration reply, each setting in the form the operator sees (decimal).
// A numeric setting is absent when it, or any setting before it, failed to convert.
struct ConfigReplyFields {
    std::optional<std::string> telemetryPort, h323Port, gateway, ipAddress, handsetController,
        netMask;
    std::string mac;  // always present, may be empty
};

// The same address as hexadecimal parts: plain (C0.A8.77.1) and padded (C0.A8.77.01).
struct HexQuads {
    std::string hex, padded;
};

using base::LocalDateTime;

// The request that makes the device send its configuration reply: "GO".
std::string RequestText();

// Parses "<port#port#a.b.c.d#a.b.c.d#a.b.c.d#a.b.c.d#mac>" (hexadecimal numbers).
// Never throws: what does not convert is left absent.
ConfigReplyFields ParseConfigReply(std::string_view line);

// Converts a dotted decimal address; nothing when a part is empty.
// Throws base::Error naming the first part that is not a valid integer.
std::optional<HexQuads> DottedToHexQuads(std::string_view text);

// Builds the command that writes the settings; the ports are decimal texts, the quads padded
// hex quads and the MAC free text, the last five taken as they stand.
// Throws base::Error naming the first port text that is not a valid integer.
std::string BuildConfigCommand(std::string_view telemetryPort, std::string_view h323Port,
                               std::string_view gateway, std::string_view ipAddress,
                               std::string_view handsetController, std::string_view netMask,
                               std::string_view mac);

// Builds the command that sets the device clock, "USTTIME<yy*mm*dd*0w*hh*mm*ss>".
std::string BuildTimeCommand(const LocalDateTime& now);

}  // namespace config
