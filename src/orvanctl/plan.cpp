#include "orvanctl/plan.h"

#include <algorithm>
#include <map>
#include <set>

#include "base/error.h"
#include "device/csv.h"
#include "orvanctl/text.h"

namespace orvanctl {

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

std::string KeyError(std::string_view where, std::string_view key, const std::string& what) {
    return std::string(where) + ": " + std::string(key) + ": " + what;
}

// Keys a settings object may carry besides the settings.
bool IsNote(std::string_view key) {
    return key == "missing" || key == "partial" || key == "read_at";
}

std::string ValidNames() {
    std::string names = "address, port";
    for (Setting s : device::kAllSettings) names += std::string(", ") + device::Name(s);
    return names;
}

// The library's message without its "[json.exception.parse_error.101] " prefix.
std::string LibraryText(const std::exception& e) {
    std::string text = e.what();
    if (text.rfind("[json.exception.", 0) == 0) {
        if (const auto end = text.find("] "); end != std::string::npos) text.erase(0, end + 2);
    }
    return text;
}

std::string NumberText(const Json& value) {
    if (value.is_number_unsigned()) return std::to_string(value.get<std::uint64_t>());
    if (value.is_number_integer()) return std::to_string(value.get<std::int64_t>());
    return value.dump();
}

std::string Joined(const std::vector<const PlanEntry*>& entries) {
    std::string text;
    for (const PlanEntry* e : entries) text += (text.empty() ? "" : ", ") + e->where;
    return text;
}

}  // namespace

std::string Dump(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json ParseJson(std::string_view text, std::string_view where) {
    if (text.size() > kMostPlanBytes) {
        throw base::Error(std::string(where) + ": larger than " +
                          std::to_string(kMostPlanBytes >> 20) + " MiB");
    }
    // One set of keys per object being read, to refuse a key that comes twice.
    std::vector<std::set<std::string>> keys;
    std::string duplicate;
    const Json::parser_callback_t check = [&](int, Json::parse_event_t event, Json& parsed) {
        switch (event) {
            case Json::parse_event_t::object_start:
                keys.emplace_back();
                break;
            case Json::parse_event_t::object_end:
                if (!keys.empty()) keys.pop_back();
                break;
            case Json::parse_event_t::key:
                if (!keys.empty() && !keys.back().insert(parsed.get<std::string>()).second &&
                    duplicate.empty()) {
                    duplicate = parsed.get<std::string>();
                }
                break;
            default:
                break;
        }
        return true;
    };
    Json value;
    try {
        value = Json::parse(text, check);
    } catch (const Json::out_of_range& e) {
        throw base::Error(std::string(where) + ": a number too large: " + LibraryText(e));
    } catch (const Json::exception& e) {
        throw base::Error(std::string(where) + ": not JSON: " + LibraryText(e));
    }
    if (!duplicate.empty()) {
        throw base::Error(std::string(where) + ": the key \"" + duplicate +
                          "\" comes twice in one object");
    }
    return value;
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

Json SettingsJson(device::Ipv4 address, std::uint16_t port, const device::Settings& s) {
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
    return out;
}

std::string CheckedValue(Setting s, std::string_view utf8, std::string_view where) {
    std::string text(utf8);
    if (s == Setting::kMac) {
        const auto bytes = Cp1251FromUtf8(text);
        if (!bytes) throw base::Error(KeyError(where, "mac", "a character code page 1251 lacks"));
        text = *bytes;
    }
    const device::Checked checked = device::Check(s, text);
    if (!checked.error.empty()) throw base::Error(KeyError(where, device::Name(s), checked.error));
    return checked.value;
}

device::Settings WantedSettings(const Json& object, std::uint16_t port, std::string_view where) {
    if (!object.is_object()) throw base::Error(std::string(where) + ": not a JSON object");
    device::Settings wanted;
    for (const auto& [key, value] : object.items()) {
        if (key == "address" || IsNote(key)) continue;
        if (key == "port") {
            if (!value.is_number_integer() || NumberText(value) != std::to_string(port)) {
                throw base::Error(KeyError(where, key,
                                           NumberText(value) + " is not the device port " +
                                               std::to_string(port) + " in use (see --port)"));
            }
            continue;
        }
        const auto setting = device::SettingNamed(key);
        if (!setting) {
            throw base::Error(std::string(where) + ": unknown setting '" + key +
                              "'; the valid names: " + ValidNames());
        }
        if (value.is_null()) continue;
        std::string text;
        if (IsPort(*setting) && value.is_number_integer()) {
            text = NumberText(value);
        } else if (value.is_string()) {
            text = value.get<std::string>();
        } else {
            throw base::Error(KeyError(where, key, value.dump() + " is neither text nor a number"));
        }
        wanted[*setting] = CheckedValue(*setting, text, where);
    }
    return wanted;
}

namespace {

device::Ipv4 EntryAddress(const std::string& address, const std::string& where) {
    const auto parsed = device::ParseDotted(address);
    if (!parsed) {
        throw base::Error(where + ": address: '" + address +
                          "' is not an address of four parts 0 to 255");
    }
    return *parsed;
}

}  // namespace

std::vector<PlanEntry> ParsePlan(std::string_view text, std::uint16_t port) {
    const Json plan = ParseJson(text, "plan");
    if (!plan.is_array()) throw base::Error("plan: expected a JSON array of objects");
    std::vector<PlanEntry> entries;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        std::string where = "plan entry " + std::to_string(i + 1);
        const Json& item = plan[i];
        if (!item.is_object()) throw base::Error(where + ": not a JSON object");
        if (!item.contains("address") || !item["address"].is_string())
            throw base::Error(where + ": no \"address\"");
        const std::string address = item["address"].get<std::string>();
        const device::Ipv4 parsed = EntryAddress(address, where);
        where += " (" + address + ")";
        entries.push_back({parsed, WantedSettings(item, port, where), where});
    }
    CheckPlan(entries);
    return entries;
}

std::vector<PlanEntry> ParseCsvPlan(std::string_view text, std::uint16_t port) {
    if (text.size() > kMostPlanBytes) {
        throw base::Error("plan: larger than " + std::to_string(kMostPlanBytes >> 20) + " MiB");
    }
    std::vector<device::CsvRow> rows;
    try {
        rows = device::ParseCsv(text);
    } catch (const base::Error& e) {
        throw base::Error(std::string("plan: ") + e.what());
    }
    if (rows.empty()) throw base::Error("plan: no header row");
    const device::CsvRow& header = rows.front();
    if (header.empty() || header.front() != "address")
        throw base::Error("plan: the header row must begin with \"address\"");
    std::set<std::string> seen;
    for (std::size_t c = 0; c < header.size(); ++c) {
        const std::string& key = header[c];
        if (!seen.insert(key).second)
            throw base::Error("plan: the column \"" + key + "\" comes twice");
        if (key != "address" && key != "port" && !IsNote(key) && !device::SettingNamed(key)) {
            throw base::Error("plan: unknown column '" + key +
                              "'; the valid names: " + ValidNames());
        }
    }
    std::vector<PlanEntry> entries;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        const device::CsvRow& row = rows[r];
        std::string where = "plan entry " + std::to_string(r);
        if (row.size() == 1 && row.front().empty()) continue;  // a blank line
        if (row.size() > header.size()) {
            throw base::Error(where + ": " + std::to_string(row.size()) +
                              " cells, more than the header's " + std::to_string(header.size()));
        }
        const std::string& address = row.front();
        if (address.empty()) throw base::Error(where + ": no \"address\"");
        const device::Ipv4 parsed = EntryAddress(address, where);
        where += " (" + address + ")";
        // Cells as a JSON object, so that both plan forms share one set of checks; a port cell
        // is a number, an empty cell (or a missing one at the end of a row) names nothing.
        Json object = Json::object();
        for (std::size_t c = 1; c < row.size(); ++c) {
            const std::string& key = header[c];
            const std::string& cell = row[c];
            if (cell.empty() || IsNote(key)) continue;
            const auto setting = device::SettingNamed(key);
            if (key == "port" || (setting && IsPort(*setting))) {
                const device::Checked checked = device::Check(Setting::kTelemetryPort, cell);
                if (!checked.error.empty()) throw base::Error(KeyError(where, key, checked.error));
                object[key] = std::stoll(checked.value);
            } else {
                object[key] = cell;
            }
        }
        entries.push_back({parsed, WantedSettings(object, port, where), where});
    }
    CheckPlan(entries);
    return entries;
}

void CheckPlan(const std::vector<PlanEntry>& entries) {
    std::map<device::Ipv4, std::vector<const PlanEntry*>> byAddress, byNewIp;
    std::map<std::string, std::vector<const PlanEntry*>> byMac;
    for (const PlanEntry& e : entries) {
        byAddress[e.address].push_back(&e);
        if (const auto& ip = e.wanted[Setting::kIp]; ip && *device::ParseDotted(*ip) != e.address)
            byNewIp[*device::ParseDotted(*ip)].push_back(&e);
        if (const auto& mac = e.wanted[Setting::kMac]) byMac[*mac].push_back(&e);
    }
    std::vector<std::string> refusals;
    for (const auto& [address, list] : byAddress) {
        if (list.size() > 1) {
            refusals.push_back("the address " + device::FormatDotted(address) +
                               " comes more than once: " + Joined(list));
        }
    }
    for (const auto& [ip, list] : byNewIp) {
        if (list.size() > 1) {
            refusals.push_back("one new ip " + device::FormatDotted(ip) +
                               " for several devices: " + Joined(list));
        }
        // A device listed at that address keeps it unless its entry moves it elsewhere.
        const auto at = byAddress.find(ip);
        if (at == byAddress.end()) continue;
        for (const PlanEntry* other : at->second) {
            const auto& moved = other->wanted[Setting::kIp];
            if (moved && *device::ParseDotted(*moved) != ip) continue;
            refusals.push_back("the new ip " + device::FormatDotted(ip) + " of " + Joined(list) +
                               " is the address of " + other->where + ", which keeps it");
        }
    }
    for (const auto& [mac, list] : byMac) {
        if (list.size() > 1) {
            refusals.push_back("one mac '" + Printable(mac) +
                               "' for several devices: " + Joined(list));
        }
    }
    if (refusals.empty()) return;
    std::string text = "plan refused, nothing sent:";
    for (const std::string& r : refusals) text += "\n  " + r;
    throw base::Error(text);
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

}  // namespace orvanctl
