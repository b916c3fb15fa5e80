// restore: backup files written back to the devices they were read from, and to no other.

#include <sys/stat.h>

#include <iostream>
#include <map>
#include <set>

#include "base/error.h"
#include "formats/backup_file.h"
#include "formats/plan.h"
#include "formats/text.h"
#include "orvanctl/cli.h"

namespace orvanctl {

using device::Outcome;
using device::Setting;

namespace {

// Some files could not be used (each named on stderr); the others were restored.
constexpr int kSkipped = 10;

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

BackupFile Load(const std::string& path, const Common& c, const RestoreOptions& o) {
    const BackupContents b = ParseBackup(ReadRegular(path), path, std::uint16_t(c.port));
    BackupFile file{path, b.address, b.mac, {}};
    const device::Settings& all = b.settings;
    // The device's own identity never moves: mac is only compared; ip only with --network.
    std::vector<Setting> taken = {Setting::kTelemetryPort, Setting::kH323Port,
                                  Setting::kController};
    if (o.network) taken.insert(taken.end(), {Setting::kIp, Setting::kMask, Setting::kGateway});
    for (Setting s : taken) file.wanted[s] = all[s];
    return file;
}

// The files restore can use; each other one is named on stderr and counted in `skipped`.
std::vector<BackupFile> Usable(const Common& c, const RestoreOptions& o, std::size_t& skipped) {
    const auto skip = [&](const std::string& why) {
        Message(Printable(why) + "; skipped");
        ++skipped;
    };
    std::vector<BackupFile> files;
    // One file named twice (a folder and a file in it, "dir/" and "./dir") is read once.
    std::set<std::pair<dev_t, ino_t>> seen;
    for (const std::string& path : o.paths) {
        for (const std::string& file : BackupFilesOf(path)) {
            struct stat st {};
            if (::stat(file.c_str(), &st) == 0 && !seen.insert({st.st_dev, st.st_ino}).second)
                continue;
            try {
                files.push_back(Load(file, c, o));
            } catch (const base::Error& e) {
                skip(e.what());
            }
        }
    }
    // Two files for one address (a unit swapped between backups): which one is the device's
    // own is not known before it is read, so neither is taken.
    std::map<device::Ipv4, std::vector<std::string>> paths;
    for (const BackupFile& f : files) paths[f.address].push_back(f.path);
    std::vector<BackupFile> usable;
    for (BackupFile& f : files) {
        const auto& same = paths[f.address];
        if (same.size() == 1) {
            usable.push_back(std::move(f));
            continue;
        }
        std::string others;
        for (const std::string& p : same)
            if (p != f.path) others += (others.empty() ? "" : ", ") + p;
        skip(f.path + ": " + device::FormatDotted(f.address) + " is the address in " + others +
             " too; restore the device's own file by name");
    }
    return usable;
}

int Restore(const Common& c, const RestoreOptions& o) {
    std::size_t skipped = 0;
    std::vector<BackupFile> files;
    try {
        files = Usable(c, o, skipped);
        std::vector<PlanEntry> entries;
        for (const BackupFile& f : files) entries.push_back({f.address, f.wanted, f.path});
        CheckPlan(entries);
    } catch (const base::Error& e) {
        throw CLI::ValidationError(e.what());
    }
    if (files.empty()) throw CLI::ValidationError("restore", "no usable backup file; nothing sent");
    if (device::StopRequested()) return kInterrupted;
    const auto log = OpenLog(c);
    const auto port = OpenPort(c);
    // Each device is written only when the reply its command is built from carries the file's
    // MAC text.
    std::vector<device::Task> tasks(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        tasks[i].address = files[i].address;
        tasks[i].wanted = files[i].wanted;
        tasks[i].mac = files[i].mac;
        tasks[i].dryRun = o.dryRun;
        tasks[i].verify = o.verify;
    }
    std::vector<device::Result> results(tasks.size());
    const Stopped stopped = RunToTheEnd([&] {
        device::Run(*port, tasks, std::size_t(o.parallel), TimingOf(c),
                    [&](std::size_t i, const device::Result& r) {
                        results[i] = r;
                        LogResult(log.get(), *port, r);
                    });
    });
    int code = kOk;
    std::size_t restored = 0, unchanged = 0, refused = 0, failures = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        device::Result& r = results[i];
        const bool mismatch = r.otherDevice;
        if (mismatch) {
            r.message = "not the device of " + files[i].path + ": it reports the MAC text '" +
                        r.before[Setting::kMac].value_or("") + "', the file '" + files[i].mac +
                        "'; nothing sent";
        }
        if (c.json) {
            Json out = ResultJson(r);
            if (mismatch) out["result"] = "mismatch";
            std::cout << Dump(out) << '\n';
        } else {
            std::string line = ResultLine(r);
            if (mismatch) {
                const std::string word = OutcomeWord(r.outcome);
                line.replace(line.find(word), word.size(), "mismatch");
            }
            std::cout << line << '\n';
        }
        if (mismatch) {
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
    Message("restore: " + std::to_string(files.size() + skipped) + " files, " +
            std::to_string(restored) + (o.dryRun ? " would change, " : " restored, ") +
            std::to_string(unchanged) + " unchanged, " + std::to_string(refused) +
            " not the device of their file, " + std::to_string(failures) + " failed, " +
            std::to_string(skipped) + " skipped");
    if (stopped.code != kOk) {
        Message(stopped.message);
        return stopped.code;
    }
    if (device::StopRequested()) return kInterrupted;
    return code == kOk && skipped > 0 ? kSkipped : code;
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
        "Each device is read at the address its file names, and refused (exit 8, both MAC "
        "texts said, nothing sent) when the reply the command is built from carries another "
        "MAC text than the file; the other files go on. A file restore cannot use (not a "
        "regular file, not a backup, a partial backup, one of two files for one address) is "
        "named on stderr and skipped; the others are restored, and the run exits with 10 when "
        "nothing worse happened (2 when no file is usable). Writes "
        "back telemetry_port, h323_port and controller; with --network also ip, mask and "
        "gateway. mac is never written: only the device it came from is restored, and that "
        "one has it already. Prints one result per file (with --json one JSON object a line, "
        "\"result\": \"mismatch\" for a device refused) and a summary on stderr.\n\n" +
        std::string(kExitCodes));
    return {restore, [&common, o] { return Restore(common, *o); }};
}

}  // namespace orvanctl
