#include "exporter/desired.h"

#include <algorithm>

#include "base/error.h"
#include "formats/backup_file.h"
#include "formats/plan.h"
#include "formats/text.h"

namespace exporter {

using device::Setting;

namespace {

void Put(DesiredMap& map, device::Ipv4 address, const Desired& d) {
    if (!map.emplace(address, d).second) {
        throw base::Error(d.source + ": " + device::FormatDotted(address) + " is also named by " +
                          map[address].source);
    }
}

void AddEntries(DesiredMap& map, const std::vector<formats::PlanEntry>& entries,
                const std::string& path) {
    for (const auto& e : entries) {
        const Desired d{e.wanted, path + ": " + e.where};
        Put(map, e.address, d);
        if (const auto& ip = e.wanted[Setting::kIp]) {
            const auto moved = device::ParseDotted(*ip);
            if (moved && *moved != e.address) Put(map, *moved, d);
        }
    }
}

// A backup file names every setting the device held, its MAC among them.
void AddBackup(DesiredMap& map, const std::string& path, std::string_view text,
               std::uint16_t port) {
    formats::BackupContents b = formats::ParseBackup(text, path, port);
    Desired d{std::move(b.settings), path};
    d.settings[Setting::kMac] = std::move(b.mac);
    Put(map, b.address, d);
}

}  // namespace

DesiredMap LoadDesired(const std::string& path, std::uint16_t port) {
    DesiredMap map;
    try {
        const auto files = formats::BackupFilesOf(path);
        if (files.size() != 1 || files.front() != path) {
            for (const std::string& file : files) {
                try {
                    AddBackup(map, file, formats::ReadRegular(file), port);
                } catch (const formats::PartialBackup&) {
                    // A reply that parsed only in part: no desired state.
                }
            }
        } else if (path.ends_with(".csv")) {
            AddEntries(map, formats::ParseCsvPlan(formats::ReadRegular(path), port), path);
        } else {
            const std::string text = formats::ReadRegular(path);
            const auto first = text.find_first_not_of(" \t\r\n");
            if (first != std::string::npos && text[first] == '{') {
                AddBackup(map, path, text, port);
            } else {
                AddEntries(map, formats::ParsePlan(text, port), path);
            }
        }
    } catch (const base::Error& e) {
        const std::string what = e.what();
        if (what.starts_with(path)) throw;
        throw base::Error(path + ": " + what);
    }
    return map;
}

std::vector<SettingState> Compare(const device::Settings& desired, const device::Settings& read) {
    std::vector<SettingState> out;
    for (Setting s : device::kAllSettings) {
        if (s == Setting::kMac || !desired[s] || !read[s]) continue;
        out.push_back({s, *desired[s] == *read[s]});
    }
    return out;
}

std::optional<bool> SameUnit(const device::Settings& desired, const device::Settings& read) {
    if (!desired[Setting::kMac] || !read[Setting::kMac]) return std::nullopt;
    return *desired[Setting::kMac] == *read[Setting::kMac];
}

}  // namespace exporter
