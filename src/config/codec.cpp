#include "config/codec.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/int_conv.h"

namespace config {
namespace {

// Cuts the next field up to `separator`. Without a separator the field is the whole rest,
// and the rest stays as it is, so the next scan reads the same text again.
std::string_view Scan(std::string_view& rest, char separator) {
    const std::size_t at = rest.find(separator);
    if (at == std::string_view::npos) return rest;
    const std::string_view field = rest.substr(0, at);
    rest.remove_prefix(at + 1);
    return field;
}

// Hexadecimal digits only: the "$" keeps blanks, signs and other prefixes out. Nothing when
// the field does not convert: most datagrams seen in programming mode are no replies, and
// the parser reports nothing anyway.
std::optional<std::string> HexFieldToDecimal(std::string_view field) {
    // Fields of a reply are short: "$" and the field go on the stack, not the heap.
    char buffer[32];
    std::optional<std::int32_t> value;
    if (field.size() < sizeof buffer) {
        buffer[0] = '$';
        std::memcpy(buffer + 1, field.data(), field.size());
        value = base::TryStrToInt(std::string_view(buffer, field.size() + 1));
    } else {
        std::string text(1, '$');
        text.append(field);
        value = base::TryStrToInt(text);
    }
    if (!value) return std::nullopt;
    return std::to_string(*value);
}

// Upper case, no leading zeros; a negative value shows its 32-bit two's complement.
std::string Hex(std::int32_t value) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(static_cast<std::uint32_t>(value)));
    return buf;
}

std::string Join(const std::array<std::string, 4>& parts) {
    std::string joined;
    joined.reserve(parts[0].size() + parts[1].size() + parts[2].size() + parts[3].size() + 3);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) joined += '.';
        joined += parts[i];
    }
    return joined;
}

}  // namespace

std::string RequestText() {
    return "GO";
}

ConfigReplyFields ParseConfigReply(std::string_view line) {
    std::string_view rest = line;
    std::string telemetry(Scan(rest, '#'));
    std::erase(telemetry, '<');
    const std::string_view h323 = Scan(rest, '#');
    std::array<std::array<std::string_view, 4>, 4> quads;
    for (auto& quad : quads) {
        for (int i = 0; i < 3; ++i) quad[i] = Scan(rest, '.');
        quad[3] = Scan(rest, '#');
    }

    ConfigReplyFields fields;
    fields.mac = std::string(Scan(rest, '>'));
    std::optional<std::string>* const addresses[] = {&fields.gateway, &fields.ipAddress,
                                                     &fields.handsetController, &fields.netMask};
    // A bad field ends the conversion; what was stored before it stays.
    fields.telemetryPort = HexFieldToDecimal(telemetry);
    if (!fields.telemetryPort) return fields;
    fields.h323Port = HexFieldToDecimal(h323);
    if (!fields.h323Port) return fields;
    for (std::size_t q = 0; q < quads.size(); ++q) {
        std::array<std::string, 4> parts;
        for (std::size_t i = 0; i < 4; ++i) {
            std::optional<std::string> part = HexFieldToDecimal(quads[q][i]);
            if (!part) return fields;
            parts[i] = std::move(*part);
        }
        *addresses[q] = Join(parts);
    }
    return fields;
}

std::optional<HexQuads> DottedToHexQuads(std::string_view text) {
    std::string_view rest = text;
    std::array<std::string_view, 4> parts;
    for (int i = 0; i < 3; ++i) parts[i] = Scan(rest, '.');
    parts[3] = rest;
    for (const auto part : parts) {
        if (part.empty()) return std::nullopt;
    }

    HexQuads quads;
    std::array<std::string, 4> hex, padded;
    for (std::size_t i = 0; i < 4; ++i) {
        const std::int32_t value = base::StrToInt(parts[i]);
        hex[i] = Hex(value);
        // Negative values are below 16 too and get their "0" like the small ones.
        padded[i] = value < 16 ? "0" + hex[i] : hex[i];
    }
    return HexQuads{Join(hex), Join(padded)};
}

std::string BuildConfigCommand(std::string_view telemetryPort, std::string_view h323Port,
                               std::string_view gateway, std::string_view ipAddress,
                               std::string_view handsetController, std::string_view netMask,
                               std::string_view mac) {
    const std::string telemetry = Hex(base::StrToInt(telemetryPort));
    const std::string h323 = Hex(base::StrToInt(h323Port));
    std::string command = "<" + telemetry + "#" + h323;
    for (const auto field : {gateway, ipAddress, handsetController, netMask, mac}) {
        command += '#';
        command += field;
    }
    return command + ">";
}

std::string BuildTimeCommand(const LocalDateTime& now) {
    // Every number is cut to its last two digits, so the command is always 29 characters.
    const auto two = [](int value) {
        const int v = (value % 100 + 100) % 100;
        return std::string{static_cast<char>('0' + v / 10), static_cast<char>('0' + v % 10)};
    };
    return "USTTIME<" + two(now.year) + "*" + two(now.month) + "*" + two(now.day) + "*" +
           two(now.isoWeekday) + "*" + two(now.hour) + "*" + two(now.minute) + "*" +
           two(now.second) + ">";
}

}  // namespace config
