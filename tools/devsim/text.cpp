#include "devsim/text.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>

namespace devsim {

std::string Hex(unsigned value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", value);
    return buf;
}

std::string Dotted(const Quad& q) {
    return std::to_string(q[0]) + "." + std::to_string(q[1]) + "." + std::to_string(q[2]) + "." +
           std::to_string(q[3]);
}

std::string HexQuad(const Quad& q) {
    return Hex(q[0]) + "." + Hex(q[1]) + "." + Hex(q[2]) + "." + Hex(q[3]);
}

std::string Escaped(std::string_view bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out + "\"";
}

std::string Address(const in_addr& a) {
    char buf[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

std::string Endpoint(const sockaddr_in& a) {
    return Address(a.sin_addr) + ":" + std::to_string(ntohs(a.sin_port));
}

namespace {
constexpr std::size_t kMostShownBytes = 1024;
}

std::string Shown(std::string_view bytes) {
    if (bytes.size() <= kMostShownBytes) return Escaped(bytes);
    return Escaped(bytes.substr(0, kMostShownBytes)) + " and " +
           std::to_string(bytes.size() - kMostShownBytes) + " more bytes";
}

std::vector<std::string_view> Split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = text.find(sep);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::optional<unsigned> Number(std::string_view text, unsigned base) {
    if (text.empty()) return std::nullopt;
    unsigned long long value = 0;
    for (char c : text) {
        if (base == 16 ? !IsHexDigit(c) : !IsDigit(c)) return std::nullopt;
        const unsigned d = IsDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10;
        value = std::min(value * base + d, 0xFFFFFFFFull);
    }
    return static_cast<unsigned>(value);
}

bool HasControlByte(std::string_view text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

std::optional<Quad> ParseDotted(std::string_view text) {
    const auto parts = Split(text, '.');
    if (parts.size() != 4) return std::nullopt;
    Quad q{};
    for (std::size_t i = 0; i < 4; ++i) {
        const auto v = Number(parts[i], 10);
        if (!v || *v > 255) return std::nullopt;
        q[i] = static_cast<std::uint8_t>(*v);
    }
    return q;
}

std::optional<unsigned> ParseDecimalPort(std::string_view text, unsigned min) {
    const auto v = Number(text, 10);
    if (!v || *v < min || *v > 65535) return std::nullopt;
    return v;
}

}  // namespace devsim
