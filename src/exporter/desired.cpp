#include "exporter/desired.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "base/error.h"
#include "orvanctl/plan.h"
#include "orvanctl/text.h"

namespace exporter {

using device::Setting;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw base::Error(path + ": cannot read");
    std::string text;
    char chunk[65536];
    while (text.size() <= orvanctl::kMostPlanBytes && file.read(chunk, sizeof chunk).gcount() > 0)
        text.append(chunk, std::size_t(file.gcount()));
    if (file.bad()) throw base::Error(path + ": cannot read");
    if (text.size() > orvanctl::kMostPlanBytes) {
        throw base::Error(path + ": larger than " + std::to_string(orvanctl::kMostPlanBytes >> 20) +
                          " MiB");
    }
    return text;
}

void Put(DesiredMap& map, device::Ipv4 address, const Desired& d) {
    if (!map.emplace(address, d).second) {
        throw base::Error(d.source + ": " + device::FormatDotted(address) + " is also named by " +
                          map[address].source);
    }
}

void AddEntries(DesiredMap& map, const std::vector<orvanctl::PlanEntry>& entries,
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
void AddBackup(DesiredMap& map, const std::string& path, std::uint16_t port) {
    orvanctl::Json object = orvanctl::ParseJson(ReadFile(path), path);
    if (!object.is_object() || !object.contains("address") || !object["address"].is_string() ||
        !object.contains("mac") || !object["mac"].is_string()) {
        throw base::Error(path + ": not a backup file (no \"address\" or \"mac\")");
    }
    const auto address = device::ParseDotted(object["address"].get<std::string>());
    if (!address) throw base::Error(path + ": address: not a dotted IPv4 address");
    const auto mac = orvanctl::Cp1251FromUtf8(object["mac"].get<std::string>());
    if (!mac) throw base::Error(path + ": mac: a character code page 1251 lacks");
    object.erase("mac");
    Desired d{orvanctl::WantedSettings(object, port, path), path};
    d.settings[Setting::kMac] = *mac;
    Put(map, *address, d);
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

DesiredMap LoadDesired(const std::string& path, std::uint16_t port) {
    DesiredMap map;
    try {
        if (IsFolder(path)) {
            std::vector<std::string> files;
            if (DIR* dir = ::opendir(path.c_str())) {
                while (const dirent* e = ::readdir(dir)) {
                    const std::string name = e->d_name;
                    if (name.front() != '.' && name.ends_with(".json"))
                        files.push_back(path + "/" + name);
                }
                ::closedir(dir);
            }
            std::sort(files.begin(), files.end());
            if (files.empty()) throw base::Error(path + ": no backup files (*.json) in it");
            for (const std::string& file : files) AddBackup(map, file, port);
        } else if (path.ends_with(".csv")) {
            AddEntries(map, orvanctl::ParseCsvPlan(ReadFile(path), port), path);
        } else {
            const std::string text = ReadFile(path);
            const auto first = text.find_first_not_of(" \t\r\n");
            if (first != std::string::npos && text[first] == '{') {
                AddBackup(map, path, port);
            } else {
                AddEntries(map, orvanctl::ParsePlan(text, port), path);
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
