// backup: one file per device that answered, with what is needed to put its settings back.

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <iostream>
#include <map>
#include <optional>
#include <string_view>

#include "base/error.h"
#include "device/backup.h"
#include "device/scan.h"
#include "formats/plan.h"
#include "formats/text.h"
#include "orvanctl/cli.h"
#include "orvanctl/progress.h"

namespace orvanctl {

using device::Outcome;
using device::Setting;

namespace {

struct BackupOptions {
    std::vector<std::string> targets;
    std::string dir;
    int parallel = 8;
    double rate = 200;
    bool broadcast = false, quiet = false;
};

struct Read {
    device::Settings settings;
    std::chrono::system_clock::time_point at;
    std::vector<device::OutOfRange> outOfRange;
};

bool IsFile(const std::string& path) {
    struct stat st {};
    return path == "-" || ::stat(path.c_str(), &st) == 0;
}

// Whether a backup file's bytes hold this device: its MAC text, and where that is empty (or
// did not convert), its address too.
bool HoldsDevice(std::string_view bytes, device::Ipv4 address, const std::string& mac) {
    try {
        const Json old = ParseJson(bytes, "backup");
        if (!old.is_object() || !old.contains("address") || !old["address"].is_string())
            return false;
        std::optional<std::string> oldMac;  // none: not a MAC text this device can have
        if (!old.contains("mac") || old["mac"].is_null()) {
            oldMac = "";
        } else if (old["mac"].is_string()) {
            oldMac = Cp1251FromUtf8(old["mac"].get<std::string>());
        }
        if (oldMac != mac) return false;
        return !mac.empty() || old["address"].get<std::string>() == device::FormatDotted(address);
    } catch (const std::exception&) {
        return false;
    }
}

bool IsPartialStem(const std::string& stem) {
    constexpr std::string_view kPartial = ".partial";
    if (stem.size() < kPartial.size()) return false;
    const std::string end = stem.substr(stem.size() - kPartial.size());
    return std::equal(end.begin(), end.end(), kPartial.begin(),
                      [](char a, char b) { return std::tolower((unsigned char)a) == b; });
}

int Backup(const Common& c, const BackupOptions& o) {
    // A new folder is made (not its parents: a mistyped path is said, not built).
    struct stat st {};
    if (::stat(o.dir.c_str(), &st) != 0 && errno == ENOENT) ::mkdir(o.dir.c_str(), 0750);
    if (::stat(o.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw CLI::ValidationError("--dir", o.dir + " is not a folder and cannot be made one");
    // Addresses named one by one (or in a plan) are read with retries; ranges are scanned.
    std::vector<device::Ipv4> named, scanned;
    for (const std::string& target : o.targets) {
        if (const auto address = device::ParseDotted(target)) {
            named.push_back(*address);
        } else if (IsFile(target)) {
            std::vector<PlanEntry> plan;
            try {
                const std::string text = ReadAll(target, "plan");
                plan = target.ends_with(".csv") ? ParseCsvPlan(text, std::uint16_t(c.port))
                                                : ParsePlan(text, std::uint16_t(c.port));
            } catch (const base::Error& e) {
                throw CLI::ValidationError(e.what());
            }
            for (const PlanEntry& e : plan) named.push_back(e.address);
        } else {
            try {
                const auto range = device::ParseRange(target, o.broadcast);
                scanned.insert(scanned.end(), range.begin(), range.end());
            } catch (const base::Error& e) {
                throw CLI::ValidationError("TARGET", "'" + target + "': " + e.what());
            }
        }
    }
    const auto port = OpenPort(c, o.broadcast);
    std::map<device::Ipv4, Read> read;
    std::size_t asked = 0;
    bool interrupted = false;
    Progress progress("backup", o.quiet);
    if (!scanned.empty()) {
        device::ScanOptions options;
        options.rate = o.rate;
        options.wait = TimingOf(c).timeout;
        options.retries = c.retries;
        options.acceptAnySource = o.broadcast;
        const device::ScanResult result =
            device::Scan(*port, scanned, options,
                         [&](const device::ScanProgress& p) { progress.Scan(p, options); });
        const auto now = std::chrono::system_clock::now();
        for (const auto& [address, reply] : result.replies) {
            device::ParsedReply parsed = device::ParseReply(reply);
            read[address] = {parsed.settings, now, std::move(parsed.outOfRange)};
        }
        asked += scanned.size();
        interrupted = result.interrupted;
    }
    if (!named.empty() && !interrupted) {
        std::vector<device::Task> tasks;
        for (device::Ipv4 a : named) {
            device::Task t;
            t.address = a;
            tasks.push_back(t);
        }
        std::size_t done = 0, answered = 0;
        const auto results = device::Run(
            *port, tasks, std::size_t(o.parallel), TimingOf(c),
            [&](std::size_t, const device::Result& r) {
                progress.Clear();
                if (r.outcome == Outcome::kRead || r.outcome == Outcome::kPartial) {
                    read[r.address] = {r.before, std::chrono::system_clock::now(), r.outOfRange};
                } else if (r.outcome != Outcome::kInterrupted) {
                    Message(device::FormatDotted(r.address) + ": " + Printable(r.message));
                }
                interrupted = interrupted || r.outcome == Outcome::kInterrupted;
                answered += r.outcome == Outcome::kRead || r.outcome == Outcome::kPartial;
                progress.Done(++done, answered, named.size());
            });
        asked += named.size();
    }
    progress.Clear();
    // Named after the MAC text, unless it is empty or two devices share it; a partial reply's
    // file so that it is plainly not one to restore.
    std::map<std::string, int> uses;
    for (const auto& [address, r] : read)
        ++uses[device::SafeFileName(r.settings[Setting::kMac].value_or(""))];
    device::BackupFolder folder(o.dir);
    std::size_t saved = 0;
    bool failed = false;
    for (const auto& [address, r] : read) {
        const std::string mac = r.settings[Setting::kMac].value_or("");
        std::string stem = device::SafeFileName(mac);
        if (stem.empty() || uses[stem] > 1) stem = device::FormatDotted(address);
        // Only a partial backup's name ends in ".partial": restore and the exporter pass over
        // such a file by its contents, a person by its name.
        if (!r.settings.Complete()) {
            stem += ".partial";
        } else if (IsPartialStem(stem)) {
            stem += '_';
        }
        Json file = SettingsJson(address, port->Port(), r.settings, r.outOfRange);
        file["read_at"] = device::Iso8601(r.at);
        std::string name;
        try {
            name = folder.Write(stem, Dump(file) + "\n", [&](std::string_view bytes) {
                return HoldsDevice(bytes, address, mac);
            });
        } catch (const base::Error& e) {
            Message(device::FormatDotted(address) + ": " + e.what());
            failed = true;
            continue;
        }
        ++saved;
        std::cout << device::FormatDotted(address) << " saved " << o.dir << "/" << name
                  << (r.settings.Complete() ? "" : " (partial)") << '\n';
    }
    std::cout.flush();
    Message("backup: " + std::to_string(saved) + " of " + std::to_string(asked) +
            " addresses saved in " + o.dir + (interrupted ? " (interrupted)" : ""));
    if (interrupted) return kInterrupted;
    if (failed) return kFailed;
    return read.empty() ? kNoDevice : kOk;
}

}  // namespace

Subcommand AddBackup(CLI::App& parent, Common& common) {
    auto o = std::make_shared<BackupOptions>();
    CLI::App* backup = parent.add_subcommand(
        "backup", "Save the settings of devices, one JSON file each, to put back with restore");
    backup
        ->add_option("TARGET", o->targets,
                     "an address, a range as scan takes it, or a plan file (.json or .csv)")
        ->type_name("TARGET")
        ->required();
    backup->add_option("--dir", o->dir, "the folder the files go to (made when missing)")
        ->type_name("DIR")
        ->required();
    backup->add_option("--parallel", o->parallel, "devices read at once, 1 to 64 (default 8)")
        ->type_name("N")
        ->check(CLI::Range(1, 64).description(""));
    backup
        ->add_option("--rate", o->rate, "requests per second in a range, 1 to 10000 (default 200)")
        ->type_name("N")
        ->check(Finite())
        ->check(CLI::Range(1.0, 10000.0).description(""));
    backup->add_flag("--broadcast", o->broadcast, "allow broadcast addresses in ranges");
    backup->add_flag("--quiet", o->quiet, kQuietHelp);
    AddCommon(backup, common, false, false);
    backup->footer(
        "One file per device that answered, named after its MAC text made safe for a file name "
        "(after its address when the MAC text is empty or shared): the JSON that get --json "
        "prints, with \"read_at\" (ISO 8601 with the offset from UTC). A reply that parsed "
        "only in part goes to NAME.partial.json, which restore skips. A file that holds another "
        "device (another MAC text, or an empty one at another address) is never replaced: the "
        "new one becomes NAME~2.json (~3, ...). Files are written whole (a temporary, synced, "
        "then renamed) and never through a link. A summary goes to stderr; exits with 7 when "
        "no device answered.\n\n" +
        std::string(kExitCodes));
    return {backup, [&common, o] { return Backup(common, *o); }};
}

}  // namespace orvanctl
