#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/address.h"
#include "device/runner.h"
#include "device/settings.h"

// The JSON that orvanctl reads and writes. Field names are stable: scripts depend on them.
namespace orvanctl {

// {"address", "port", "telemetry_port", "h323_port", "gateway", "ip", "controller", "mask",
// "mac"}; ports are numbers. A setting that did not convert is null and listed in "missing".
nlohmann::ordered_json SettingsJson(device::Ipv4 address, std::uint16_t port,
                                    const device::Settings& s);

// The settings an object names, each checked: what `set --from` and a plan entry ask for.
// "address" is skipped, "port" must be the device port in use, null means not named, any
// other key is an error. Throws base::Error starting with `where`.
device::Settings WantedSettings(const nlohmann::ordered_json& object, std::uint16_t port,
                                std::string_view where);

struct PlanEntry {
    device::Ipv4 address = 0;
    device::Settings wanted;
};

// A JSON array of objects, each with "address" and any of the settings. Every entry is
// checked before anything is sent; an address may appear once. Throws base::Error naming the
// entry (from 1) and the key.
std::vector<PlanEntry> ParsePlan(std::string_view text, std::uint16_t port);

// One apply or set result: {"address", "result", "changes": [{"setting", "from", "to"}],
// "time_sent", "verified", "message"}.
nlohmann::ordered_json ResultJson(const device::Result& r);

// "changed", "unchanged", "failed", ...: the word of the result lines and of "result".
const char* OutcomeWord(device::Outcome o);

}  // namespace orvanctl
