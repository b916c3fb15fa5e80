#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/address.h"
#include "device/settings.h"

// The settings each device should hold, from the files orvanctl reads: a plan (JSON or CSV),
// a backup file or a folder of them.
namespace exporter {

struct Desired {
    device::Settings settings;  // in the device's form; absent: not named
    std::string source;         // the file (and entry) it came from, for messages
};

// Keyed by the address a device answers at: a plan entry that moves a device to a new ip is
// found at both, since it is probed before and after the plan is applied.
using DesiredMap = std::map<device::Ipv4, Desired>;

// A folder: every *.json in it is a backup file; of two backups of one address (a unit swapped
// between two backup runs) the one read last wins, by its read_at (the later name when equal),
// and `notes` says so. A file ending in .csv: a CSV plan, which must end in a line break (one
// cut mid-line is a file still being written). Any other file: a JSON plan (an array) or one
// backup file (an object). Throws base::Error naming the file and what is wrong with it.
DesiredMap LoadDesired(const std::string& path, std::uint16_t port,
                       std::vector<std::string>* notes = nullptr);

// A backup's read_at ("2026-12-07T20:35:01+01:00") in seconds since the epoch; nothing for
// any other text.
std::optional<long long> ReadAtSeconds(std::string_view text);

struct SettingState {
    device::Setting setting;
    bool asDesired = false;
};

// Every setting the file names and the device reported, in wire order, the MAC left out
// (a different MAC is another unit, not a drifted setting).
std::vector<SettingState> Compare(const device::Settings& desired, const device::Settings& read);

// Whether the device is the unit the file names; nothing when the file names no MAC or the
// reply carried none.
std::optional<bool> SameUnit(const device::Settings& desired, const device::Settings& read);

}  // namespace exporter
