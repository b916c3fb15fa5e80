#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/codec.h"

// The seven device settings in the operator's form (decimal ports, dotted addresses, MAC text),
// as the window's read side shows them, and what a change of them means.
namespace device {

// Wire order of the reply and the command.
enum class Setting { kTelemetryPort, kH323Port, kGateway, kIp, kController, kMask, kMac };
inline constexpr std::size_t kSettingCount = 7;
inline constexpr std::array<Setting, kSettingCount> kAllSettings = {
    Setting::kTelemetryPort, Setting::kH323Port, Setting::kGateway, Setting::kIp,
    Setting::kController,    Setting::kMask,     Setting::kMac};

// The name in JSON and in messages ("telemetry_port", ..., "mac").
const char* Name(Setting s);
std::optional<Setting> SettingNamed(std::string_view name);

// One value per setting; absent where a reply did not convert or a plan does not name it.
struct Settings {
    std::array<std::optional<std::string>, kSettingCount> values;

    std::optional<std::string>& operator[](Setting s) { return values[std::size_t(s)]; }
    const std::optional<std::string>& operator[](Setting s) const { return values[std::size_t(s)]; }
    bool Complete() const;
    std::vector<Setting> Missing() const;
    bool operator==(const Settings&) const = default;
};

Settings FromReply(const config::ConfigReplyFields& reply);

// The longest configuration reply (and command) a device exchanges: the window delivers no
// longer datagram. Its other fields take at most 60 bytes ("<FFFF#FFFF#" and four
// "FF.FF.FF.FF#", then ">"); the MAC text has the rest.
inline constexpr std::size_t kMostReplyBytes = 8192;
inline constexpr std::size_t kMostMacBytes = kMostReplyBytes - 60;

// A value the reply carries that no device setting can be (a port above FFFF, an address
// part above FF), as the reply wrote it: it is left out of the settings, never shown as a
// port -1 or an address 65535.250.0.1.
struct OutOfRange {
    Setting setting;
    std::string reported;  // hexadecimal, as on the wire: "FFFFFFFF", "FFFF.FA.0.1"
    bool operator==(const OutOfRange&) const = default;
};

// A whole received reply: its settings, and why it counts only in part when it is not whole in
// the device's format ("<" to a closing ">" that ends it, nothing cut off) or longer than a reply
// can be. Its MAC text is then left out, so that it is never written back.
struct ParsedReply {
    Settings settings;
    std::string notWhole;  // empty, or the reason
    std::vector<OutOfRange> outOfRange;
    bool Partial() const { return !notWhole.empty() || !settings.Complete(); }
    // Why the reply counts only in part, every field named: "the reply parsed only in part;
    // out of range: telemetry_port FFFFFFFF (a port is 0 to FFFF); not converted: mask".
    std::string Why() const;
};
ParsedReply ParseReply(std::string_view bytes);

// The value in the form the device reports it (a port without leading zeros, an address
// without them), or why it cannot be sent: a port 1 to 65535, an address of four parts 0 to
// 255, a MAC text without ">" (which ends the command) or control bytes, at most
// kMostMacBytes long.
struct Checked {
    std::string value;
    std::string error;  // empty when the value is good
};
Checked Check(Setting s, std::string_view text);

struct Change {
    Setting setting;
    std::string from, to;
};

// The settings of `wanted` whose value differs from `current`, in wire order.
std::vector<Change> Diff(const Settings& current, const Settings& wanted);

// `current` with every value of `wanted` put in.
Settings Merge(const Settings& current, const Settings& wanted);

// The configuration command for complete settings: the window's own bytes for the same
// values (each address as its padded hex quad). Throws base::Error when a value cannot be
// written (an absent setting, an address with an empty part, a port that is no number).
std::string ConfigCommand(const Settings& s);

}  // namespace device
