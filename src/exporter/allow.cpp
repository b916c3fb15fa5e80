#include "exporter/allow.h"

#include <algorithm>

#include "base/error.h"

namespace exporter {

AddressRange ParseAllowRange(std::string_view text) {
    const std::string quoted = "--allow '" + std::string(text) + "': ";
    if (const auto slash = text.find('/'); slash != std::string_view::npos) {
        const auto base = device::ParseDotted(text.substr(0, slash));
        const std::string_view bits = text.substr(slash + 1);
        unsigned prefix = 0;
        bool digits = !bits.empty() && bits.size() <= 2;
        for (char c : bits) {
            if (c < '0' || c > '9') digits = false;
            if (digits) prefix = prefix * 10 + unsigned(c - '0');
        }
        if (!base) throw base::Error(quoted + "not a dotted IPv4 address before '/'");
        if (!digits || prefix > 32) throw base::Error(quoted + "the prefix is not 0 to 32");
        const device::Ipv4 mask = prefix == 0 ? 0 : ~device::Ipv4(0) << (32 - prefix);
        if ((*base & ~mask) != 0) {
            throw base::Error(quoted + "not a network address (host bits set); did you mean " +
                              device::FormatDotted(*base & mask) + "/" + std::string(bits) + "?");
        }
        return {*base, *base | ~mask};
    }
    if (const auto dash = text.find('-'); dash != std::string_view::npos) {
        const auto first = device::ParseDotted(text.substr(0, dash));
        const auto last = device::ParseDotted(text.substr(dash + 1));
        if (!first || !last) throw base::Error(quoted + "FIRST-LAST takes two dotted addresses");
        if (*first > *last) throw base::Error(quoted + "the first address is above the last");
        return {*first, *last};
    }
    const auto one = device::ParseDotted(text);
    if (!one) throw base::Error(quoted + "not an address, A.B.C.D/NN or FIRST-LAST");
    return {*one, *one};
}

std::string TargetError(std::string_view text, device::Ipv4& address) {
    const auto parsed = device::ParseDotted(text);
    if (!parsed) return "target '" + std::string(text) + "' is not a dotted IPv4 address";
    address = *parsed;
    if (address == 0 || address == 0xFFFFFFFFu) {
        return "target " + std::string(text) + " is not a device address";
    }
    if ((address >> 28) == 0xE) return "target " + std::string(text) + " is a multicast address";
    return {};
}

std::string PortError(std::string_view text, const std::vector<std::uint16_t>& ports,
                      std::uint16_t& port) {
    const std::string shown(text.substr(0, 16));
    unsigned long value = 0;
    bool digits = !text.empty() && text.size() <= 5;
    for (char c : text) {
        if (c < '0' || c > '9') digits = false;
        if (digits) value = value * 10 + unsigned(c - '0');
    }
    if (!digits || value < 1 || value > 65535)
        return "port '" + shown + "' is not a port number (1 to 65535)";
    if (std::find(ports.begin(), ports.end(), value) == ports.end()) {
        std::string list;
        for (std::uint16_t p : ports) list += (list.empty() ? "" : ", ") + std::to_string(p);
        return "port " + shown + " is not a device port given with --device-port (" + list + ")";
    }
    port = std::uint16_t(value);
    return {};
}

bool AllowList::Contains(device::Ipv4 address) const {
    for (const AddressRange& r : ranges_)
        if (r.first <= address && address <= r.last) return true;
    return false;
}

}  // namespace exporter
