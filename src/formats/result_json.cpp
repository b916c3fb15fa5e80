#include "formats/result_json.h"

#include <algorithm>

#include "formats/text.h"

namespace formats {

using device::Setting;

namespace {

bool IsPort(Setting s) {
    return s == Setting::kTelemetryPort || s == Setting::kH323Port;
}

Json ValueJson(Setting s, const std::string& value) {
    if (IsPort(s)) {
        // The reply parser writes plain decimal numbers; anything else stays text.
        const auto checked = device::Check(s, value);
        if (checked.error.empty()) return std::stoll(checked.value);
    }
    return TextJson(value);
}

}  // namespace

std::string Dump(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json TextJson(std::string_view cp1251) {
    return Utf8FromCp1251(cp1251);
}

Json ValuesJson(const device::Settings& s) {
    Json out = Json::object();
    for (Setting setting : device::kAllSettings) {
        const auto& value = s[setting];
        out[device::Name(setting)] = value ? ValueJson(setting, *value) : Json(nullptr);
    }
    return out;
}

Json SettingsJson(device::Ipv4 address, std::uint16_t port, const device::Settings& s,
                  const std::vector<device::OutOfRange>& outOfRange) {
    Json out = Json::object();
    out["address"] = device::FormatDotted(address);
    out["port"] = port;
    const Json values = ValuesJson(s);
    for (const auto& [key, value] : values.items()) out[key] = value;
    Json missing = Json::array();
    for (Setting setting : s.Missing()) missing.push_back(device::Name(setting));
    if (!missing.empty()) {
        out["partial"] = true;
        out["missing"] = missing;
    }
    if (!outOfRange.empty()) {
        Json reported = Json::object();
        for (const device::OutOfRange& o : outOfRange)
            reported[device::Name(o.setting)] = o.reported;
        out["out_of_range"] = reported;
    }
    return out;
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

bool Verified(const device::Result& r) {
    return r.verifiedAt.has_value() && r.outcome == device::Outcome::kChanged;
}

Json ResultJson(const device::Result& r, const std::vector<Skipped>& skipped) {
    Json changes = Json::array();
    for (const device::Change& c : r.changes) {
        changes.push_back({{"setting", device::Name(c.setting)},
                           {"from", ValueJson(c.setting, c.from)},
                           {"to", ValueJson(c.setting, c.to)}});
    }
    const device::Sent& sent = r.sent;
    Json out = Json::object();
    out["address"] = device::FormatDotted(r.address);
    out["result"] = OutcomeWord(r.outcome);
    out["changes"] = changes;
    out["before"] = ValuesJson(r.before);
    out["command"] = r.command.empty() ? Json(nullptr) : TextJson(r.command);
    out["sent"] = {{"request", sent.request}, {"command", sent.command}, {"time", sent.time}};
    out["time_sent"] = r.timeSent;
    out["verified"] = Verified(r);
    const bool readAfter = std::any_of(r.after.values.begin(), r.after.values.end(),
                                       [](const auto& v) { return v.has_value(); });
    if (readAfter) out["after"] = ValuesJson(r.after);
    Json skips = Json::array();
    for (const Skipped& s : skipped)
        skips.push_back({{"setting", device::Name(s.setting)}, {"reason", s.reason}});
    out["skipped"] = skips;
    out["message"] = TextJson(r.message);
    return out;
}

}  // namespace formats
