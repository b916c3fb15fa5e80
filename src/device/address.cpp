#include "device/address.h"

#include "base/error.h"

namespace device {
namespace {

constexpr std::uint64_t kMostAddresses = 65536;  // a /16

std::optional<unsigned> Decimal(std::string_view text, unsigned most) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + unsigned(c - '0');
    }
    if (value > most) return std::nullopt;
    return value;
}

Ipv4 Dotted(std::string_view text, std::string_view whole) {
    const auto a = ParseDotted(text);
    if (!a) {
        throw base::Error("range '" + std::string(whole) + "': '" + std::string(text) +
                          "' is not an address of four parts 0 to 255");
    }
    return *a;
}

}  // namespace

std::optional<Ipv4> ParseDotted(std::string_view text) {
    Ipv4 address = 0;
    for (int part = 0; part < 4; ++part) {
        const auto dot = text.find('.');
        if ((part < 3) == (dot == std::string_view::npos)) return std::nullopt;
        const auto value = Decimal(text.substr(0, dot), 255);
        if (!value) return std::nullopt;
        address = address << 8 | *value;
        text.remove_prefix(part < 3 ? dot + 1 : text.size());
    }
    return address;
}

std::string FormatDotted(Ipv4 a) {
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 0xFF) + "." +
           std::to_string(a >> 8 & 0xFF) + "." + std::to_string(a & 0xFF);
}

std::vector<Ipv4> ParseRange(std::string_view text, bool withBroadcast) {
    std::uint64_t first = 0, last = 0;
    if (const auto slash = text.find('/'); slash != std::string_view::npos) {
        const auto bits = Decimal(text.substr(slash + 1), 32);
        if (!bits || *bits < 16) {
            throw base::Error("range '" + std::string(text) +
                              "': the prefix length must be 16 to 32");
        }
        const Ipv4 mask = ~Ipv4{0} << (32 - *bits);
        const Ipv4 network = Dotted(text.substr(0, slash), text) & mask;
        const Ipv4 broadcast = network | ~mask;
        if (*bits >= 31) {
            first = network;
            last = broadcast;
        } else {
            first = network + 1;
            last = broadcast - 1;
        }
        std::vector<Ipv4> hosts;
        hosts.reserve(last - first + 2);
        for (std::uint64_t a = first; a <= last; ++a) hosts.push_back(Ipv4(a));
        if (withBroadcast && *bits < 31) hosts.push_back(broadcast);
        return hosts;
    }
    const auto dash = text.find('-');
    if (dash == std::string_view::npos) {
        throw base::Error("range '" + std::string(text) + "': expected A.B.C.D/NN or FIRST-LAST");
    }
    first = Dotted(text.substr(0, dash), text);
    last = Dotted(text.substr(dash + 1), text);
    if (last < first) {
        throw base::Error("range '" + std::string(text) +
                          "': the last address comes before the first");
    }
    if (last - first + 1 > kMostAddresses) {
        throw base::Error("range '" + std::string(text) + "': more than 65536 addresses");
    }
    std::vector<Ipv4> hosts;
    hosts.reserve(last - first + 1);
    for (std::uint64_t a = first; a <= last; ++a) hosts.push_back(Ipv4(a));
    return hosts;
}

}  // namespace device
