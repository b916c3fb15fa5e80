#include "device/settings.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "base/error.h"
#include "device/address.h"

namespace device {
namespace {

constexpr const char* kNames[kSettingCount] = {"telemetry_port", "h323_port", "gateway", "ip",
                                               "controller",     "mask",      "mac"};

bool IsPort(Setting s) {
    return s == Setting::kTelemetryPort || s == Setting::kH323Port;
}

std::string Padded(const Settings& s, Setting which) {
    const auto quads = config::DottedToHexQuads(*s[which]);
    if (!quads)
        throw base::Error(std::string(Name(which)) + ": '" + *s[which] + "' has an empty part");
    return quads->padded;
}

// The reply parser gives decimal text of signed 32-bit values; the wire had them in hex.
std::string Hex(std::string_view decimal) {
    char text[16];
    std::snprintf(text, sizeof text, "%X",
                  std::uint32_t(std::strtoll(std::string(decimal).c_str(), nullptr, 10)));
    return text;
}

// The value when it is one a device can hold, else its wire form.
std::optional<OutOfRange> RangeOf(Setting s, const std::string& value) {
    if (s == Setting::kMac) return std::nullopt;
    if (IsPort(s)) {
        const long long n = std::strtoll(value.c_str(), nullptr, 10);
        if (n >= 0 && n <= 0xFFFF) return std::nullopt;
        return OutOfRange{s, Hex(value)};
    }
    if (ParseDotted(value)) return std::nullopt;
    std::string wire;
    for (std::size_t at = 0; at <= value.size();) {
        const std::size_t dot = std::min(value.find('.', at), value.size());
        wire += (wire.empty() ? "" : ".") + Hex(std::string_view(value).substr(at, dot - at));
        at = dot + 1;
    }
    return OutOfRange{s, wire};
}

std::string Names(const std::vector<Setting>& settings) {
    std::string text;
    for (Setting s : settings) text += (text.empty() ? "" : ", ") + std::string(Name(s));
    return text;
}

}  // namespace

const char* Name(Setting s) {
    return kNames[std::size_t(s)];
}

std::optional<Setting> SettingNamed(std::string_view name) {
    for (Setting s : kAllSettings)
        if (name == Name(s)) return s;
    return std::nullopt;
}

bool Settings::Complete() const {
    return Missing().empty();
}

std::vector<Setting> Settings::Missing() const {
    std::vector<Setting> missing;
    for (Setting s : kAllSettings)
        if (!(*this)[s]) missing.push_back(s);
    return missing;
}

Settings FromReply(const config::ConfigReplyFields& r) {
    Settings s;
    s[Setting::kTelemetryPort] = r.telemetryPort;
    s[Setting::kH323Port] = r.h323Port;
    s[Setting::kGateway] = r.gateway;
    s[Setting::kIp] = r.ipAddress;
    s[Setting::kController] = r.handsetController;
    s[Setting::kMask] = r.netMask;
    s[Setting::kMac] = r.mac;
    return s;
}

ParsedReply ParseReply(std::string_view bytes) {
    ParsedReply r;
    r.settings = FromReply(config::ParseConfigReply(bytes));
    const std::size_t close = bytes.find('>');
    if (bytes.size() > kMostReplyBytes) {
        r.notWhole = "the reply is " + std::to_string(bytes.size()) + " bytes, longer than the " +
                     std::to_string(kMostReplyBytes) + " a configuration reply can be";
    } else if (close == std::string_view::npos) {
        r.notWhole = "the reply is cut short: no closing '>'";
    } else if (close + 1 != bytes.size()) {
        r.notWhole = "the reply goes on after its closing '>'";
    } else if (!bytes.starts_with('<')) {
        r.notWhole = "the reply does not begin with '<'";
    }
    // Where the reply ends is not known: its last field, the MAC text, cannot be trusted.
    if (!r.notWhole.empty()) r.settings[Setting::kMac].reset();
    for (Setting s : kAllSettings) {
        auto& value = r.settings[s];
        if (!value) continue;
        if (auto out = RangeOf(s, *value)) {
            r.outOfRange.push_back(std::move(*out));
            value.reset();
        }
    }
    return r;
}

std::string ParsedReply::Why() const {
    std::string text = notWhole.empty() ? "the reply parsed only in part" : notWhole;
    std::vector<Setting> missing = settings.Missing();
    if (!outOfRange.empty()) {
        text += "; out of range:";
        for (const OutOfRange& o : outOfRange) {
            text += std::string(o == outOfRange.front() ? " " : ", ") + Name(o.setting) + " " +
                    o.reported +
                    (IsPort(o.setting) ? " (a port is 0 to FFFF)" : " (parts 0 to FF)");
            std::erase(missing, o.setting);
        }
    }
    if (!missing.empty()) text += "; not converted: " + Names(missing);
    return text;
}

Checked Check(Setting s, std::string_view text) {
    const std::string quoted = "'" + std::string(text) + "'";
    if (IsPort(s)) {
        unsigned value = 0;
        bool digits = !text.empty() && text.size() <= 5;
        for (char c : text) {
            if (c < '0' || c > '9') digits = false;
            if (digits) value = value * 10 + unsigned(c - '0');
        }
        if (!digits || value < 1 || value > 65535)
            return {{}, quoted + " is not a port number (1 to 65535)"};
        return {std::to_string(value), {}};
    }
    if (s == Setting::kMac) {
        if (text.size() > kMostMacBytes) {
            return {{},
                    "the MAC text is " + std::to_string(text.size()) + " bytes, longer than " +
                        std::to_string(kMostMacBytes) + " (a reply holds no longer one)"};
        }
        for (unsigned char c : text) {
            if (c == '>') return {{}, quoted + " holds '>', which would end the command"};
            if (c < 0x20 || c == 0x7F) return {{}, "the MAC text holds a control character"};
        }
        return {std::string(text), {}};
    }
    const auto address = ParseDotted(text);
    if (!address) return {{}, quoted + " is not an address of four parts 0 to 255"};
    return {FormatDotted(*address), {}};
}

std::vector<Change> Diff(const Settings& current, const Settings& wanted) {
    std::vector<Change> changes;
    for (Setting s : kAllSettings) {
        if (!wanted[s] || wanted[s] == current[s]) continue;
        changes.push_back({s, current[s].value_or(""), *wanted[s]});
    }
    return changes;
}

Settings Merge(const Settings& current, const Settings& wanted) {
    Settings merged = current;
    for (Setting s : kAllSettings)
        if (wanted[s]) merged[s] = wanted[s];
    return merged;
}

std::string ConfigCommand(const Settings& s) {
    if (const auto missing = s.Missing(); !missing.empty())
        throw base::Error(std::string("no value for ") + Name(missing.front()));
    return config::BuildConfigCommand(*s[Setting::kTelemetryPort], *s[Setting::kH323Port],
                                      Padded(s, Setting::kGateway), Padded(s, Setting::kIp),
                                      Padded(s, Setting::kController), Padded(s, Setting::kMask),
                                      *s[Setting::kMac]);
}

}  // namespace device
