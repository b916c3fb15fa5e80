// restore: backup files written back to the devices they were read from, and to no other.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <iostream>

#include "base/error.h"
#include "orvanctl/cli.h"
#include "orvanctl/plan.h"
#include "orvanctl/text.h"

namespace orvanctl {

using device::Outcome;
using device::Setting;

namespace {

struct RestoreOptions {
    std::vector<std::string> paths;
    int parallel = 8;
    bool network = false, dryRun = false, verify = false;
};

struct BackupFile {
    std::string path;
    device::Ipv4 address = 0;
    std::string mac;  // code page 1251
    device::Settings wanted;
};

// Every *.json in a folder (sorted), or the file itself.
std::vector<std::string> FilesOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {path};
    std::vector<std::string> files;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name.front() != '.' && name.ends_with(".json")) files.push_back(path + "/" + name);
        }
        ::closedir(dir);
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) throw base::Error(path + ": no backup files (*.json) in it");
    return files;
}

BackupFile Load(const std::string& path, const Common& c, const RestoreOptions& o) {
    const Json object = ParseJson(ReadAll(path, "restore"), path);
    if (!object.is_object() || !object.contains("address") || !object["address"].is_string() ||
        !object.contains("mac") || !object["mac"].is_string()) {
        throw base::Error(path + ": not a backup file (no \"address\" or \"mac\")");
    }
    BackupFile file;
    file.path = path;
    const auto address = device::ParseDotted(object["address"].get<std::string>());
    if (!address) throw base::Error(path + ": address: not a dotted IPv4 address");
    file.address = *address;
    // Only compared, never written: any text a device reported is taken as it is.
    const auto mac = Cp1251FromUtf8(object["mac"].get<std::string>());
    if (!mac) throw base::Error(path + ": mac: a character code page 1251 lacks");
    file.mac = *mac;
    Json settings = object;
    settings.erase("mac");
    const device::Settings all = WantedSettings(settings, std::uint16_t(c.port), path);
    // The device's own identity never moves: mac is only compared; ip only with --network.
    std::vector<Setting> taken = {Setting::kTelemetryPort, Setting::kH323Port,
                                  Setting::kController};
    if (o.network) taken.insert(taken.end(), {Setting::kIp, Setting::kMask, Setting::kGateway});
    for (Setting s : taken) file.wanted[s] = all[s];
    return file;
}

int Restore(const Common& c, const RestoreOptions& o) {
    std::vector<BackupFile> files;
    std::vector<PlanEntry> entries;
    try {
        for (const std::string& path : o.paths) {
            for (const std::string& file : FilesOf(path)) {
                files.push_back(Load(file, c, o));
                entries.push_back({files.back().address, files.back().wanted, file});
            }
        }
        CheckPlan(entries);
    } catch (const base::Error& e) {
        throw CLI::ValidationError(e.what());
    }
    const auto log = OpenLog(c);
    const auto port = OpenPort(c);
    // First each device is read and compared with its file; only the same device is written.
    std::vector<device::Task> reads(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) reads[i].address = files[i].address;
    std::vector<device::Result> results =
        device::Run(*port, reads, std::size_t(o.parallel), TimingOf(c));
    std::vector<bool> mismatch(files.size(), false);
    std::vector<device::Task> writes;
    std::vector<std::size_t> written;
    for (std::size_t i = 0; i < files.size(); ++i) {
        device::Result& r = results[i];
        if (r.outcome != Outcome::kRead && r.outcome != Outcome::kPartial) continue;
        const std::string& mac = r.before[Setting::kMac].value_or("");
        if (mac != files[i].mac) {
            mismatch[i] = true;
            r.message = "not the device of " + files[i].path + ": it reports the MAC text '" + mac +
                        "', the file '" + files[i].mac + "'; nothing sent";
            continue;
        }
        if (r.outcome == Outcome::kPartial) continue;
        device::Task t;
        t.address = files[i].address;
        t.wanted = files[i].wanted;
        t.dryRun = o.dryRun;
        t.verify = o.verify;
        writes.push_back(t);
        written.push_back(i);
    }
    if (!writes.empty() && !device::StopRequested()) {
        const auto done = device::Run(
            *port, writes, std::size_t(o.parallel), TimingOf(c),
            [&](std::size_t, const device::Result& r) { LogResult(log.get(), *port, r); });
        for (std::size_t k = 0; k < done.size(); ++k) results[written[k]] = done[k];
    }
    int code = kOk;
    std::size_t restored = 0, unchanged = 0, refused = 0, failures = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        device::Result& r = results[i];
        // A device read but never written (stopped in between) was not restored.
        if (r.outcome == Outcome::kRead && !mismatch[i]) r.outcome = Outcome::kInterrupted;
        if (c.json) {
            Json out = ResultJson(r);
            if (mismatch[i]) out["result"] = "mismatch";
            std::cout << Dump(out) << '\n';
        } else {
            std::string line = ResultLine(r);
            if (mismatch[i]) {
                const std::string word = OutcomeWord(r.outcome);
                line.replace(line.find(word), word.size(), "mismatch");
            }
            std::cout << line << '\n';
        }
        if (mismatch[i]) {
            ++refused;
            code = std::max(code, int(kNotThatDevice));
        } else if (r.outcome == Outcome::kChanged || r.outcome == Outcome::kDryRun) {
            ++restored;
        } else if (r.outcome == Outcome::kUnchanged) {
            ++unchanged;
        } else {
            ++failures;
            if (code != kNotThatDevice) code = std::max(code, ExitOf(r));
        }
    }
    std::cout.flush();
    Message("restore: " + std::to_string(files.size()) + " files, " + std::to_string(restored) +
            (o.dryRun ? " would change, " : " restored, ") + std::to_string(unchanged) +
            " unchanged, " + std::to_string(refused) + " not the device of their file, " +
            std::to_string(failures) + " failed");
    if (device::StopRequested()) return kInterrupted;
    return code;
}

}  // namespace

Subcommand AddRestore(CLI::App& parent, Common& common) {
    auto o = std::make_shared<RestoreOptions>();
    CLI::App* restore = parent.add_subcommand(
        "restore", "Write backup files back to the devices they were read from");
    restore->add_option("FILE_OR_DIR", o->paths, "backup files, or folders of them")
        ->type_name("FILE_OR_DIR")
        ->required();
    restore->add_flag("--network", o->network, "write back ip, mask and gateway too");
    restore->add_flag("--dry-run", o->dryRun,
                      "read every device and print what would change; send nothing but the "
                      "requests");
    restore->add_flag("--verify", o->verify, "read each device again and compare");
    restore->add_option("--parallel", o->parallel, "devices at once, 1 to 64 (default 8)")
        ->type_name("N")
        ->check(CLI::Range(1, 64).description(""));
    AddCommon(restore, common, true);
    restore->footer(
        "Each device is read first at the address its file names, and refused (exit 8, both "
        "MAC texts said) when its MAC text is not the file's; the other files go on. Writes "
        "back telemetry_port, h323_port and controller; with --network also ip, mask and "
        "gateway. mac is never written: only the device it came from is restored, and that "
        "one has it already. Prints one result per file (with --json one JSON object a line, "
        "\"result\": \"mismatch\" for a device refused) and a summary on stderr.\n\n" +
        std::string(kExitCodes));
    return {restore, [&common, o] { return Restore(common, *o); }};
}

}  // namespace orvanctl
