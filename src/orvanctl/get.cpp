// get: the seven settings of one device.

#include <cstdio>
#include <iostream>

#include "device/port.h"
#include "orvanctl/cli.h"
#include "orvanctl/plan.h"
#include "orvanctl/text.h"

namespace orvanctl {

using device::Outcome;
using device::Setting;

namespace {

int Get(const Common& c, device::Ipv4 address) {
    device::DevicePort port(std::uint16_t(c.port), false);
    device::Task task;
    task.address = address;
    const device::Result r = device::Run(port, {task}, 1, TimingOf(c)).front();
    if (r.outcome == Outcome::kRead || r.outcome == Outcome::kPartial) {
        if (c.json) {
            std::cout << Dump(SettingsJson(address, port.Port(), r.before)) << '\n';
        } else {
            for (Setting s : device::kAllSettings) {
                if (const auto& v = r.before[s]) {
                    std::printf("%-15s %s\n", device::Name(s), Shown(s, *v).c_str());
                }
            }
        }
    }
    if (!r.message.empty()) Message(device::FormatDotted(address) + ": " + Printable(r.message));
    return ExitOf(r.outcome);
}

}  // namespace

Subcommand AddGet(CLI::App& parent, Common& common) {
    auto address = std::make_shared<std::string>();
    CLI::App* get = parent.add_subcommand("get", "Read the seven settings of one device");
    get->add_option("ADDRESS", *address, "device address (dotted IPv4)")
        ->type_name("A.B.C.D")
        ->required();
    AddCommon(get, common, true);
    get->footer(
        "Prints one \"name value\" line per setting, or with --json one JSON object (see the "
        "README, \"Scripting and many devices\"). A reply that parses only in part prints what "
        "parsed and exits with 4.\n\n" +
        std::string(kExitCodes));
    return {get, [&common, address] { return Get(common, AddressArgument(*address)); }};
}

}  // namespace orvanctl
