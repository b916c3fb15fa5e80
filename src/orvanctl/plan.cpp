#include "orvanctl/plan.h"

#include <set>

#include "base/error.h"
#include "orvanctl/text.h"

namespace orvanctl {

using device::Setting;
using json = nlohmann::ordered_json;

namespace {

bool IsPort(Setting s) {
    return s == Setting::kTelemetryPort || s == Setting::kH323Port;
}

json ValueJson(Setting s, const std::string& value) {
    if (IsPort(s)) return std::stoll(value);  // the reply parser writes plain decimal numbers
    return s == Setting::kMac ? Utf8FromCp1251(value) : value;
}

std::string KeyError(std::string_view where, std::string_view key, const std::string& what) {
    return std::string(where) + ": " + std::string(key) + ": " + what;
}

}  // namespace

json SettingsJson(device::Ipv4 address, std::uint16_t port, const device::Settings& s) {
    json out = json::object();
    out["address"] = device::FormatDotted(address);
    out["port"] = port;
    json missing = json::array();
    for (Setting setting : device::kAllSettings) {
        const auto& value = s[setting];
        out[device::Name(setting)] = value ? ValueJson(setting, *value) : json(nullptr);
        if (!value) missing.push_back(device::Name(setting));
    }
    if (!missing.empty()) out["missing"] = missing;
    return out;
}

device::Settings WantedSettings(const json& object, std::uint16_t port, std::string_view where) {
    if (!object.is_object()) throw base::Error(std::string(where) + ": not a JSON object");
    device::Settings wanted;
    for (const auto& [key, value] : object.items()) {
        if (key == "address" || key == "missing") continue;
        if (key == "port") {
            if (!value.is_number_integer() || value.get<long long>() != port) {
                throw base::Error(KeyError(where, key,
                                           value.dump() + " is not the device port " +
                                               std::to_string(port) + " in use (see --port)"));
            }
            continue;
        }
        const auto setting = device::SettingNamed(key);
        if (!setting) {
            throw base::Error(std::string(where) + ": unknown setting '" + key + "'");
        }
        if (value.is_null()) continue;
        std::string text;
        if (IsPort(*setting) && value.is_number_integer()) {
            text = std::to_string(value.get<long long>());
        } else if (value.is_string()) {
            const auto bytes = Cp1251FromUtf8(value.get<std::string>());
            if (!bytes) throw base::Error(KeyError(where, key, "a character code page 1251 lacks"));
            text = *bytes;
        } else {
            throw base::Error(KeyError(where, key, value.dump() + " is neither text nor a number"));
        }
        const device::Checked checked = device::Check(*setting, text);
        if (!checked.error.empty()) throw base::Error(KeyError(where, key, checked.error));
        wanted[*setting] = checked.value;
    }
    return wanted;
}

std::vector<PlanEntry> ParsePlan(std::string_view text, std::uint16_t port) {
    json plan;
    try {
        plan = json::parse(text);
    } catch (const json::parse_error& e) {
        throw base::Error(std::string("plan: not JSON: ") + e.what());
    }
    if (!plan.is_array()) throw base::Error("plan: expected a JSON array of objects");
    std::vector<PlanEntry> entries;
    std::set<device::Ipv4> seen;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        std::string where = "plan entry " + std::to_string(i + 1);
        const json& item = plan[i];
        if (!item.is_object()) throw base::Error(where + ": not a JSON object");
        if (!item.contains("address") || !item["address"].is_string())
            throw base::Error(where + ": no \"address\"");
        const std::string address = item["address"].get<std::string>();
        const auto parsed = device::ParseDotted(address);
        if (!parsed) {
            throw base::Error(where + ": address: '" + address +
                              "' is not an address of four parts 0 to 255");
        }
        where += " (" + address + ")";
        if (!seen.insert(*parsed).second) throw base::Error(where + ": the address comes twice");
        entries.push_back({*parsed, WantedSettings(item, port, where)});
    }
    return entries;
}

const char* OutcomeWord(device::Outcome o) {
    switch (o) {
        case device::Outcome::kRead:
            return "read";
        case device::Outcome::kPartial:
            return "partial";
        case device::Outcome::kNoReply:
            return "no-reply";
        case device::Outcome::kUnchanged:
            return "unchanged";
        case device::Outcome::kDryRun:
            return "dry-run";
        case device::Outcome::kChanged:
            return "changed";
        case device::Outcome::kVerifyFailed:
            return "verify-failed";
        case device::Outcome::kFailed:
            return "failed";
        case device::Outcome::kInterrupted:
            return "interrupted";
    }
    return "?";
}

json ResultJson(const device::Result& r) {
    json changes = json::array();
    for (const device::Change& c : r.changes) {
        changes.push_back({{"setting", device::Name(c.setting)},
                           {"from", ValueJson(c.setting, c.from)},
                           {"to", ValueJson(c.setting, c.to)}});
    }
    json out = {{"address", device::FormatDotted(r.address)},
                {"result", OutcomeWord(r.outcome)},
                {"changes", changes},
                {"time_sent", r.timeSent},
                {"verified", r.verifiedAt.has_value() && r.outcome == device::Outcome::kChanged}};
    out["message"] = r.message;
    return out;
}

}  // namespace orvanctl
