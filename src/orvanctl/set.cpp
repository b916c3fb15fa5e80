// set: read one device, change the settings named, write.

#include <iostream>

#include "base/error.h"
#include "device/port.h"
#include "orvanctl/cli.h"
#include "orvanctl/plan.h"
#include "orvanctl/text.h"

namespace orvanctl {

using device::Outcome;
using device::Setting;
using json = nlohmann::ordered_json;

namespace {

struct SetOptions {
    std::string address;
    std::string values[device::kSettingCount];
    CLI::Option* given[device::kSettingCount] = {};
    std::string from;
    bool time = false, verify = false, dryRun = false;
};

// Everything the command line and the file ask for, checked before anything is sent.
device::Settings Wanted(const Common& c, const SetOptions& o) {
    device::Settings wanted;
    if (!o.from.empty()) {
        json object;
        try {
            object = json::parse(ReadAll(o.from, "--from"));
        } catch (const json::parse_error& e) {
            throw CLI::ValidationError("--from", o.from + " is not JSON: " + e.what());
        }
        try {
            wanted = WantedSettings(object, std::uint16_t(c.port), "--from " + o.from);
        } catch (const base::Error& e) {
            throw CLI::ValidationError(e.what());
        }
    }
    for (Setting s : device::kAllSettings) {
        const std::size_t i = std::size_t(s);
        if (!o.given[i] || o.given[i]->count() == 0) continue;
        std::string text = o.values[i];
        if (s == Setting::kMac) {
            const auto bytes = Cp1251FromUtf8(text);
            if (!bytes) throw CLI::ValidationError("--mac", "a character code page 1251 lacks");
            text = *bytes;
        }
        const device::Checked checked = device::Check(s, text);
        if (!checked.error.empty())
            throw CLI::ValidationError(o.given[i]->get_name(), checked.error);
        wanted[s] = checked.value;
    }
    bool any = false;
    for (const auto& v : wanted.values) any = any || v.has_value();
    if (!any) throw CLI::ValidationError("set", "no setting to change (see --help)");
    return wanted;
}

int Set(const Common& c, device::Ipv4 address, const SetOptions& o) {
    device::Task task;
    task.address = address;
    task.wanted = Wanted(c, o);
    task.time = o.time;
    task.verify = o.verify;
    task.dryRun = o.dryRun;
    device::DevicePort port(std::uint16_t(c.port), false);
    const device::Result r = device::Run(port, {task}, 1, TimingOf(c)).front();
    if (c.json) {
        json out = ResultJson(r);
        if (o.dryRun) out["command"] = Utf8FromCp1251(r.command);
        std::cout << out.dump() << '\n';
    } else {
        std::cout << ResultLine(r) << '\n';
        if (r.outcome == Outcome::kDryRun) std::cout << "command " << r.command << '\n';
    }
    if (r.outcome != Outcome::kChanged && r.outcome != Outcome::kUnchanged &&
        r.outcome != Outcome::kDryRun && !r.message.empty()) {
        Message(device::FormatDotted(address) + ": " + r.message);
    }
    return ExitOf(r.outcome);
}

}  // namespace

Subcommand AddSet(CLI::App& parent, Common& common) {
    auto o = std::make_shared<SetOptions>();
    CLI::App* set =
        parent.add_subcommand("set", "Read a device, change the settings named, write");
    set->add_option("ADDRESS", o->address, "device address (dotted IPv4)")
        ->type_name("A.B.C.D")
        ->required();
    const std::pair<Setting, const char*> flags[] = {
        {Setting::kTelemetryPort, "--telemetry-port"},
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
                    "options given beside it win")
        ->type_name("FILE");
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
