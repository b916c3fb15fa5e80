// set: read one device, change the settings named, write.

#include <iostream>
#include <optional>

#include "base/error.h"
#include "device/port.h"
#include "formats/plan.h"
#include "formats/text.h"
#include "orvanctl/cli.h"

namespace orvanctl {

using device::Outcome;
using device::Setting;

namespace {

struct SetOptions {
    std::string address;
    std::string values[device::kSettingCount];
    CLI::Option* given[device::kSettingCount] = {};
    std::string from;
    bool time = false, verify = false, dryRun = false, withIdentity = false;
};

struct Wish {
    device::Settings wanted;
    std::vector<Skipped> skipped;
    std::optional<std::string> mac;  // the file's, when its identity is taken as this device's
};

bool Given(const SetOptions& o, Setting s) {
    const CLI::Option* option = o.given[std::size_t(s)];
    return option && option->count() > 0;
}

// Everything the command line and the file ask for, checked before anything is sent. The
// settings that identify a device (ip, mac) come from the file only when it was read from
// this very device, or when asked: a clone must not get its original's identity.
Wish Wanted(const Common& c, const SetOptions& o, device::Ipv4 address) {
    Wish wish;
    device::Settings& wanted = wish.wanted;
    if (!o.from.empty()) {
        const std::string where = "--from " + o.from;
        Json object;
        try {
            object = ParseJson(ReadAll(o.from, "--from"), where);
            wanted = WantedSettings(object, std::uint16_t(c.port), where);
        } catch (const base::Error& e) {
            throw CLI::ValidationError(e.what());
        }
        std::optional<device::Ipv4> readFrom;
        if (object.contains("address") && object["address"].is_string())
            readFrom = device::ParseDotted(object["address"].get<std::string>());
        const std::optional<std::string> fileMac = wanted[Setting::kMac];
        // Read from this very device: its ip and mac go back only to the device that still
        // reports the file's MAC text, on the reply the command is built from.
        const bool identityTaken =
            !Given(o, Setting::kMac) || (wanted[Setting::kIp] && !Given(o, Setting::kIp));
        if (!o.withIdentity && readFrom == address && fileMac && identityTaken) wish.mac = fileMac;
        if (!o.withIdentity && readFrom != address) {
            const std::string reason =
                (readFrom ? "the file was read from " + device::FormatDotted(*readFrom) +
                                ", not from " + device::FormatDotted(address)
                          : std::string("the file names no device address")) +
                "; --with-identity takes it";
            for (Setting s : {Setting::kIp, Setting::kMac}) {
                if (!wanted[s] || Given(o, s)) continue;
                wanted[s].reset();
                wish.skipped.push_back({s, reason});
            }
        }
    }
    for (Setting s : device::kAllSettings) {
        const std::size_t i = std::size_t(s);
        if (!Given(o, s)) continue;
        try {
            wanted[s] = CheckedValue(s, o.values[i], "");
        } catch (const base::Error& e) {
            // Read without a place (": mac: why"): the option's name goes first instead.
            std::string reason = e.what();
            reason.erase(0, reason.find(": ", 2) + 2);
            throw CLI::ValidationError(o.given[i]->get_name(), reason);
        }
    }
    bool any = false;
    for (const auto& v : wanted.values) any = any || v.has_value();
    if (!any) {
        std::string why = "no setting to change (see --help)";
        if (!wish.skipped.empty()) why += "; " + wish.skipped.front().reason;
        throw CLI::ValidationError("set", why);
    }
    return wish;
}

int Set(const Common& c, device::Ipv4 address, const SetOptions& o) {
    const Wish wish = Wanted(c, o, address);
    device::Task task;
    task.address = address;
    task.wanted = wish.wanted;
    task.time = o.time;
    task.verify = o.verify;
    task.dryRun = o.dryRun;
    task.mac = wish.mac;
    const auto log = OpenLog(c);
    const auto port = OpenPort(c);
    device::Result r = device::Run(*port, {task}, 1, TimingOf(c)).front();
    LogResult(log.get(), *port, r);
    if (r.otherDevice) {
        r.message = "not the device --from " + o.from +
                    " was read from: it reports the MAC text '" +
                    r.before[Setting::kMac].value_or("") + "', the file '" + *wish.mac +
                    "'; nothing sent (--with-identity takes the file's ip and mac anyway)";
    }
    if (c.json) {
        Json out = ResultJson(r, wish.skipped);
        if (r.otherDevice) out["result"] = "mismatch";
        std::cout << Dump(out) << '\n';
    } else {
        std::string line = ResultLine(r);
        if (r.otherDevice) {
            const std::string word = OutcomeWord(r.outcome);
            line.replace(line.find(word), word.size(), "mismatch");
        }
        if (!wish.skipped.empty()) {
            line += "; not taken from the file:";
            for (const Skipped& s : wish.skipped)
                line += std::string(" ") + device::Name(s.setting);
            line += " (" + wish.skipped.front().reason + ")";
        }
        std::cout << line << '\n';
        if (r.outcome == Outcome::kDryRun) std::cout << "command " << Printable(r.command) << '\n';
    }
    if (r.outcome != Outcome::kChanged && r.outcome != Outcome::kUnchanged &&
        r.outcome != Outcome::kDryRun && !r.message.empty()) {
        Message(device::FormatDotted(address) + ": " + Printable(r.message));
    }
    return r.otherDevice ? kNotThatDevice : ExitOf(r);
}

}  // namespace

Subcommand AddSet(CLI::App& parent, Common& common) {
    auto o = std::make_shared<SetOptions>();
    CLI::App* set = parent.add_subcommand("set", "Read a device, change the settings named, write");
    set->add_option("ADDRESS", o->address, "device address (dotted IPv4)")
        ->type_name("A.B.C.D")
        ->required();
    const std::pair<Setting, const char*> flags[] = {{Setting::kTelemetryPort, "--telemetry-port"},
                                                     {Setting::kH323Port, "--h323-port"},
                                                     {Setting::kGateway, "--gateway"},
                                                     {Setting::kIp, "--ip"},
                                                     {Setting::kController, "--controller"},
                                                     {Setting::kMask, "--mask"},
                                                     {Setting::kMac, "--mac"}};
    for (const auto& [setting, flag] : flags) {
        const std::size_t i = std::size_t(setting);
        const bool port = i < 2, mac = setting == Setting::kMac;
        o->given[i] = set->add_option(flag, o->values[i],
                                      std::string("new ") + device::Name(setting) +
                                          (port  ? ", 1 to 65535"
                                           : mac ? " text, without '>'"
                                                 : ""))
                          ->type_name(port  ? "N"
                                      : mac ? "TEXT"
                                            : "A.B.C.D");
    }
    set->add_option("--from", o->from,
                    "take the settings from FILE ('-': stdin), the JSON that get --json prints; "
                    "ip and mac only when FILE was read from ADDRESS, and then only while the "
                    "device there reports the file's MAC text (else exit 8, nothing sent); "
                    "options given beside it win")
        ->type_name("FILE");
    set->add_flag("--with-identity", o->withIdentity,
                  "with --from: take ip and mac from FILE even when it was read from another "
                  "device");
    set->add_flag("--time", o->time, "send the time command 500 ms after the command");
    set->add_flag("--verify", o->verify,
                  "read the device again (at its new address when --ip changes it) and fail "
                  "unless every setting matches");
    set->add_flag("--dry-run", o->dryRun, "print the command bytes; send nothing but the request");
    AddCommon(set, common, true);
    set->footer(
        "Every value is checked before anything is sent. Prints one result line: the address, "
        "the result (changed, unchanged, dry-run, no-reply, partial, verify-failed, failed) "
        "and each change as old -> new; with --json one JSON object.\n\n" +
        std::string(kExitCodes));
    return {set, [&common, o] { return Set(common, AddressArgument(o->address), *o); }};
}

}  // namespace orvanctl
