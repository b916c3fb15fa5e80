#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "device/address.h"
#include "device/settings.h"
#include "formats/json_read.h"
#include "formats/result_json.h"

// The JSON (and CSV plans) that orvanctl reads and writes. Field names are stable: scripts
// and the Ansible modules depend on them. Device text is code page 1251; everything here that
// reaches JSON goes through one conversion to UTF-8.
namespace formats {

// The settings an object names, each checked: what `set --from` and a plan entry ask for.
// "address" is skipped, "port" must be the device port in use, null means not named; the
// keys a backup or get --json adds ("missing", "partial", "out_of_range", "read_at") are skipped;
// any other key is an error that lists the valid names. Throws base::Error starting with `where`.
device::Settings WantedSettings(const Json& object, std::uint16_t port, std::string_view where);

// A value as a plan or the command line gives it, in the device's form, or base::Error.
std::string CheckedValue(device::Setting s, std::string_view utf8, std::string_view where);

// More entries than devices in a /16 is refused while reading, before it costs the memory.
inline constexpr std::size_t kMostPlanEntries = 65536;

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

}  // namespace formats
