#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/address.h"
#include "device/runner.h"
#include "device/settings.h"

// The JSON forms of what orvanctl reports: settings, results, one line each. Field names are
// stable: scripts and the Ansible modules depend on them. Device text is code page 1251;
// everything here that reaches JSON goes through one conversion to UTF-8.
namespace formats {

using Json = nlohmann::ordered_json;

// One line, whatever it holds: bytes that are not UTF-8 are replaced rather than thrown on,
// so that a run never loses a result to its printing.
std::string Dump(const Json& value);

// Device text (code page 1251) as a JSON string.
Json TextJson(std::string_view cp1251);

// {"address", "port", "telemetry_port", "h323_port", "gateway", "ip", "controller", "mask",
// "mac"}; ports are numbers. A setting that did not convert is null and listed in "missing",
// with "partial": true; one whose value was out of range is also in "out_of_range" with the
// reply's text ({"telemetry_port": "FFFFFFFF"}).
Json SettingsJson(device::Ipv4 address, std::uint16_t port, const device::Settings& s,
                  const std::vector<device::OutOfRange>& outOfRange = {});

// The seven settings alone, null where absent.
Json ValuesJson(const device::Settings& s);

// A setting `set --from` left out, and why.
struct Skipped {
    device::Setting setting;
    std::string reason;
};

// One result: {"address", "result", "changes": [{"setting", "from", "to"}], "before",
// "command", "sent": {"request", "command", "time"}, "time_sent", "verified", ["after"],
// "skipped", "message"}.
Json ResultJson(const device::Result& r, const std::vector<Skipped>& skipped = {});

// A change read back and found in place; a verify of a device that needed no change says nothing.
bool Verified(const device::Result& r);

// "changed", "unchanged", "failed", ...: the word of the result lines and of "result".
const char* OutcomeWord(device::Outcome o);

}  // namespace formats
