#include "devsim/device.h"

#include <vector>

namespace devsim {

bool IsRequest(std::string_view data) {
    return data == "GO";
}

bool IsTimeCommand(std::string_view data) {
    return data.substr(0, 7) == "USTTIME";
}

bool IsConfigCommand(std::string_view data) {
    return !data.empty() && data.front() == '<';
}

std::string ConfigReply(const Settings& s) {
    // Appended piece by piece: GCC 12 at -O3 warns falsely about "<" + a temporary.
    std::string reply = "<";
    for (const std::string& field : {Hex(s.telemetry), Hex(s.h323), HexQuad(s.gateway),
                                     HexQuad(s.ip), HexQuad(s.handset), HexQuad(s.mask)}) {
        reply += field;
        reply += '#';
    }
    reply += s.mac;
    reply += '>';
    return reply;
}

std::string Describe(const Settings& s) {
    return "telemetry " + std::to_string(s.telemetry) + ", h323 " + std::to_string(s.h323) +
           ", gateway " + Dotted(s.gateway) + ", ip " + Dotted(s.ip) + ", handset " +
           Dotted(s.handset) + ", mask " + Dotted(s.mask) + ", mac " + Escaped(s.mac);
}

std::optional<Settings> ParseConfigCommand(std::string_view text, std::string& why) {
    if (text.back() != '>') {
        why = text.find('>') == std::string_view::npos ? "no closing '>'"
                                                       : "text after the closing '>'";
        return std::nullopt;
    }
    const std::string_view body = text.substr(1, text.size() - 2);
    if (body.find('>') != std::string_view::npos) {
        why = "'>' inside the command";
        return std::nullopt;
    }
    // The MAC is free text, so it takes everything after the sixth "#".
    std::vector<std::string_view> fields;
    std::string_view rest = body;
    while (fields.size() < 6) {
        const auto at = rest.find('#');
        if (at == std::string_view::npos) {
            why = "7 fields expected, found " + std::to_string(fields.size() + 1);
            return std::nullopt;
        }
        fields.push_back(rest.substr(0, at));
        rest.remove_prefix(at + 1);
    }
    fields.push_back(rest);

    Settings s;
    const auto port = [&](std::string_view field, const char* name, std::uint16_t& out) {
        const auto v = Number(field, 16);
        if (!v) {
            why = std::string(name) + " port " + Escaped(field) + " is not a hexadecimal number";
            return false;
        }
        if (*v > 0xFFFF) {
            why = std::string(name) + " port " + Escaped(field) + " is above FFFF";
            return false;
        }
        out = static_cast<std::uint16_t>(*v);
        return true;
    };
    const auto quad = [&](std::string_view field, const char* name, Quad& out) {
        const auto parts = Split(field, '.');
        if (parts.size() != 4) {
            why = std::string(name) + " " + Escaped(field) + " has " +
                  std::to_string(parts.size()) + " parts, not 4";
            return false;
        }
        for (std::size_t i = 0; i < 4; ++i) {
            const auto v = Number(parts[i], 16);
            if (!v) {
                why = std::string(name) + " part " + Escaped(parts[i]) +
                      " is not a hexadecimal number";
                return false;
            }
            if (parts[i].size() > 2) {
                why = std::string(name) + " part " + Escaped(parts[i]) +
                      (*v > 0xFF ? " is above FF" : " has more than two digits");
                return false;
            }
            out[i] = static_cast<std::uint8_t>(*v);
        }
        return true;
    };
    if (!port(fields[0], "telemetry", s.telemetry) || !port(fields[1], "h323", s.h323) ||
        !quad(fields[2], "gateway", s.gateway) || !quad(fields[3], "ip", s.ip) ||
        !quad(fields[4], "handset", s.handset) || !quad(fields[5], "mask", s.mask)) {
        return std::nullopt;
    }
    if (HasControlByte(fields[6])) {
        why = "mac " + Escaped(fields[6]) + " holds a control character";
        return std::nullopt;
    }
    s.mac = std::string(fields[6]);
    return s;
}

}  // namespace devsim
