#include "exporter/desired.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "base/error.h"
#include "formats/backup_file.h"
#include "formats/json_read.h"
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
Desired FromBackup(formats::BackupContents& b, const std::string& path) {
    Desired d{std::move(b.settings), path};
    d.settings[Setting::kMac] = std::move(b.mac);
    return d;
}

struct Found {
    Desired desired;
    std::optional<long long> readAt;  // absent: older than any that has one
    std::string readAtText;
};

// After a unit swap the folder holds the old unit's backup and the new one's: the newest is
// what the site holds now.
void AddBackups(DesiredMap& map, const std::vector<std::string>& files, std::uint16_t port,
                std::vector<std::string>* notes) {
    std::map<device::Ipv4, std::vector<Found>> byAddress;
    for (const std::string& file : files) {
        const std::string text = formats::ReadRegular(file);
        // A reply that parsed only in part is no desired state, whatever its file is called (a
        // whole backup of a unit whose MAC text ends in ".partial" is named like one).
        const formats::Json object = formats::ParseJson(text, file);
        if (object.is_object() && object.contains("partial") && object["partial"] == true) continue;
        formats::BackupContents b = formats::ParseBackup(text, file, port);
        const std::string at = object.contains("read_at") && object["read_at"].is_string()
                                   ? object["read_at"].get<std::string>()
                                   : "";
        byAddress[b.address].push_back(
            {FromBackup(b, file), ReadAtSeconds(at), at.empty() ? "no read_at" : "read " + at});
    }
    for (auto& [address, found] : byAddress) {
        // Files come sorted by name: the later name wins a tie.
        std::size_t newest = 0;
        for (std::size_t i = 1; i < found.size(); ++i) {
            if (found[i].readAt.value_or(LLONG_MIN) >= found[newest].readAt.value_or(LLONG_MIN))
                newest = i;
        }
        if (found.size() > 1 && notes != nullptr) {
            std::string others;
            for (std::size_t i = 0; i < found.size(); ++i) {
                if (i == newest) continue;
                others += (others.empty() ? "" : ", ") + found[i].desired.source + " (" +
                          found[i].readAtText + ")";
            }
            notes->push_back(device::FormatDotted(address) + ": " + found[newest].desired.source +
                             " (" + found[newest].readAtText +
                             ") is the newest backup of this address and wins over " + others);
        }
        map.emplace(address, std::move(found[newest].desired));
    }
}

// A folder that cannot be listed is named as such, never taken for an empty one.
void CheckFolder(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) {
        throw base::Error(path + ": cannot read the folder: " + std::strerror(errno));
    }
    ::closedir(dir);
}

}  // namespace

std::optional<long long> ReadAtSeconds(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SS followed by Z or +HH:MM / -HH:MM
    auto digits = [&](std::size_t at, std::size_t n) -> std::optional<int> {
        if (at + n > text.size()) return std::nullopt;
        int v = 0;
        for (std::size_t i = at; i < at + n; ++i) {
            if (text[i] < '0' || text[i] > '9') return std::nullopt;
            v = v * 10 + (text[i] - '0');
        }
        return v;
    };
    auto is = [&](std::size_t at, char c) { return at < text.size() && text[at] == c; };
    const auto year = digits(0, 4), month = digits(5, 2), day = digits(8, 2);
    const auto hour = digits(11, 2), minute = digits(14, 2), second = digits(17, 2);
    if (!year || !month || !day || !hour || !minute || !second || !is(4, '-') || !is(7, '-') ||
        !is(10, 'T') || !is(13, ':') || !is(16, ':') || *month < 1 || *month > 12 || *day < 1 ||
        *day > 31 || *hour > 23 || *minute > 59 || *second > 60) {
        return std::nullopt;
    }
    long long offset = 0;
    if (text.size() == 20 && is(19, 'Z')) {
        offset = 0;
    } else {
        const auto oh = digits(20, 2), om = digits(23, 2);
        if (text.size() != 25 || !(is(19, '+') || is(19, '-')) || !is(22, ':') || !oh || !om ||
            *oh > 23 || *om > 59) {
            return std::nullopt;
        }
        offset = (*oh * 60LL + *om) * 60 * (is(19, '-') ? -1 : 1);
    }
    std::tm tm{};
    tm.tm_year = *year - 1900;
    tm.tm_mon = *month - 1;
    tm.tm_mday = *day;
    tm.tm_hour = *hour;
    tm.tm_min = *minute;
    tm.tm_sec = *second;
    return static_cast<long long>(::timegm(&tm)) - offset;
}

DesiredMap LoadDesired(const std::string& path, std::uint16_t port,
                       std::vector<std::string>* notes) {
    DesiredMap map;
    try {
        CheckFolder(path);
        const auto files = formats::BackupFilesOf(path);
        if (files.size() != 1 || files.front() != path) {
            AddBackups(map, files, port, notes);
        } else if (path.ends_with(".csv")) {
            const std::string text = formats::ReadRegular(path);
            if (!text.empty() && text.back() != '\n') {
                throw base::Error(path +
                                  ": does not end in a line break: cut short (a file still "
                                  "being written?); a whole file ends its last row with one");
            }
            AddEntries(map, formats::ParseCsvPlan(text, port), path);
        } else {
            const std::string text = formats::ReadRegular(path);
            const auto first = text.find_first_not_of(" \t\r\n");
            if (first != std::string::npos && text[first] == '{') {
                formats::BackupContents b = formats::ParseBackup(text, path, port);
                map.emplace(b.address, FromBackup(b, path));
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
