#include "formats/plan.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "base/error.h"
#include "device/csv.h"
#include "device/port.h"
#include "formats/text.h"

namespace formats {

using device::Setting;

namespace {

bool IsPort(Setting s) {
    return s == Setting::kTelemetryPort || s == Setting::kH323Port;
}

std::string KeyError(std::string_view where, std::string_view key, const std::string& what) {
    return std::string(where) + ": " + std::string(key) + ": " + what;
}

// Keys a settings object may carry besides the settings.
bool IsNote(std::string_view key) {
    return key == "missing" || key == "partial" || key == "out_of_range" || key == "read_at";
}

std::string ValidNames() {
    std::string names = "address, port";
    for (Setting s : device::kAllSettings) names += std::string(", ") + device::Name(s);
    return names;
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

void CountEntry(const std::vector<PlanEntry>& entries) {
    if (entries.size() == kMostPlanEntries) {
        throw base::Error("plan: more than " + std::to_string(kMostPlanEntries) + " entries");
    }
}

void CheckHeader(const device::CsvRow& header) {
    if (header.empty() || header.front() != "address")
        throw base::Error("plan: the header row must begin with \"address\"");
    std::set<std::string> seen;
    for (const std::string& key : header) {
        if (!seen.insert(key).second)
            throw base::Error("plan: the column \"" + key + "\" comes twice");
        if (key != "address" && key != "port" && !IsNote(key) && !device::SettingNamed(key)) {
            throw base::Error("plan: unknown column '" + key +
                              "'; the valid names: " + ValidNames());
        }
    }
}

// Cells as a JSON object, so that both plan forms share one set of checks; a port cell is a
// number, an empty cell (or a missing one at the end of a row) names nothing.
Json CsvObject(const device::CsvRow& header, const device::CsvRow& row, const std::string& where) {
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
    return object;
}

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
    std::vector<PlanEntry> entries;
    const bool array = ParseJsonArray(text, "plan", [&](Json&& item) {
        CountEntry(entries);
        std::string where = "plan entry " + std::to_string(entries.size() + 1);
        if (!item.is_object()) throw base::Error(where + ": not a JSON object");
        const auto address = item.find("address");
        if (address == item.end() || !address->is_string())
            throw base::Error(where + ": no \"address\"");
        const std::string& dotted = address->get_ref<const std::string&>();
        const device::Ipv4 parsed = EntryAddress(dotted, where);
        where += " (" + dotted + ")";
        entries.push_back({parsed, WantedSettings(item, port, where), where});
    });
    if (!array) throw base::Error("plan: expected a JSON array of objects");
    CheckPlan(entries);
    return entries;
}

std::vector<PlanEntry> ParseCsvPlan(std::string_view text, std::uint16_t port) {
    if (text.size() > kMostPlanBytes) {
        throw base::Error("plan: larger than " + std::to_string(kMostPlanBytes >> 20) + " MiB");
    }
    // Errors of the rows themselves are whole already; those of the CSV get "plan: ".
    struct RowError : base::Error {
        using base::Error::Error;
    };
    std::optional<device::CsvRow> header;
    std::vector<PlanEntry> entries;
    std::size_t r = 0;
    const auto take = [&](device::CsvRow& row) {
        if (device::StopRequested()) throw RowError("plan: interrupted");
        if (!header) {
            try {
                CheckHeader(row);
            } catch (const base::Error& e) {
                throw RowError(e.what());
            }
            header = std::move(row);
            return;
        }
        std::string where = "plan entry " + std::to_string(++r);
        if (row.size() == 1 && row.front().empty()) return;  // a blank line
        if (row.size() > header->size()) {
            throw RowError(where + ": " + std::to_string(row.size()) +
                           " cells, more than the header's " + std::to_string(header->size()));
        }
        for (std::string& cell : row) cell = TextOfCsvCell(cell);
        const std::string& address = row.front();
        if (address.empty()) throw RowError(where + ": no \"address\"");
        try {
            CountEntry(entries);
            const device::Ipv4 parsed = EntryAddress(address, where);
            where += " (" + address + ")";
            entries.push_back(
                {parsed, WantedSettings(CsvObject(*header, row, where), port, where), where});
        } catch (const base::Error& e) {
            throw RowError(e.what());
        }
    };
    try {
        device::ParseCsv(text, take);
    } catch (const RowError&) {
        throw;
    } catch (const base::Error& e) {
        throw base::Error(std::string("plan: ") + e.what());
    }
    if (!header) throw base::Error("plan: no header row");
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

}  // namespace formats
