#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/address.h"
#include "device/runner.h"
#include "device/settings.h"

// The JSON (and CSV plans) that orvanctl reads and writes. Field names are stable: scripts
// and the Ansible modules depend on them. Device text is code page 1251; everything here that
// reaches JSON goes through one conversion to UTF-8.
namespace orvanctl {

using Json = nlohmann::ordered_json;

// A plan (or a --from file) larger than this is refused before it is parsed.
inline constexpr std::size_t kMostPlanBytes = std::size_t(16) << 20;

// One line, whatever it holds: bytes that are not UTF-8 are replaced rather than thrown on,
// so that a run never loses a result to its printing.
std::string Dump(const Json& value);

// Strict JSON: a number beyond a double, or a key twice in one object, is refused. Throws
// base::Error starting with `where`.
Json ParseJson(std::string_view text, std::string_view where);

// Device text (code page 1251) as a JSON string.
Json TextJson(std::string_view cp1251);

// {"address", "port", "telemetry_port", "h323_port", "gateway", "ip", "controller", "mask",
// "mac"}; ports are numbers. A setting that did not convert is null and listed in "missing",
// with "partial": true.
Json SettingsJson(device::Ipv4 address, std::uint16_t port, const device::Settings& s);

// The seven settings alone, null where absent.
Json ValuesJson(const device::Settings& s);

// The settings an object names, each checked: what `set --from` and a plan entry ask for.
// "address" is skipped, "port" must be the device port in use, null means not named; the
// keys a backup or get --json adds ("missing", "partial", "read_at") are skipped; any other
// key is an error that lists the valid names. Throws base::Error starting with `where`.
device::Settings WantedSettings(const Json& object, std::uint16_t port, std::string_view where);

// A value as a plan or the command line gives it, in the device's form, or base::Error.
std::string CheckedValue(device::Setting s, std::string_view utf8, std::string_view where);

struct PlanEntry {
    device::Ipv4 address = 0;
    device::Settings wanted;
    std::string where;  // "entry 3 (10.0.0.5)", for messages
};

// A JSON array of objects, each with "address" and any of the settings. Every entry is
// checked, then the plan as a whole (CheckPlan), before anything is sent. Throws base::Error
// naming the entry (from 1) and the key.
std::vector<PlanEntry> ParsePlan(std::string_view text, std::uint16_t port);

// The same from CSV: a header row with "address" first and setting names; an empty cell
// leaves that setting as it is. Entries are counted from the first row after the header.
std::vector<PlanEntry> ParseCsvPlan(std::string_view text, std::uint16_t port);

// Refuses a plan that would give two devices one identity, naming every entry involved, one
// line per conflict: an address twice, one new ip for two entries, a new ip that is the
// address of another listed device that keeps it, one mac for two entries.
void CheckPlan(const std::vector<PlanEntry>& entries);

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

}  // namespace orvanctl
