// get: the seven settings of one device.

#include <cstdio>
#include <iostream>

#include "device/csv.h"
#include "device/port.h"
#include "formats/plan.h"
#include "formats/text.h"
#include "orvanctl/cli.h"

namespace orvanctl {

using device::Outcome;
using device::Setting;

namespace {

int Get(const Common& c, device::Ipv4 address, bool csv) {
    const auto port = OpenPort(c);
    device::Task task;
    task.address = address;
    const device::Result r = device::Run(*port, {task}, 1, TimingOf(c)).front();
    if (r.outcome == Outcome::kRead || r.outcome == Outcome::kPartial) {
        if (c.json) {
            std::cout << Dump(SettingsJson(address, port->Port(), r.before, r.outOfRange)) << '\n';
        } else if (csv) {
            std::cout << device::FormatCsvRow(CsvHeader())
                      << device::FormatCsvRow(CsvRowOf(address, port->Port(), r.before));
        } else {
            for (Setting s : device::kAllSettings) {
                if (const auto& v = r.before[s]) {
                    std::printf("%-15s %s\n", device::Name(s), Shown(s, *v).c_str());
                }
            }
        }
    }
    if (!r.message.empty()) {
        Message(device::FormatDotted(address) + ": " + Printable(r.message));
    } else if (r.outcome == Outcome::kInterrupted) {
        Message(device::FormatDotted(address) + ": interrupted; nothing sent");
    }
    return ExitOf(r);
}

}  // namespace

Subcommand AddGet(CLI::App& parent, Common& common) {
    auto address = std::make_shared<std::string>();
    auto csv = std::make_shared<bool>(false);
    CLI::App* get = parent.add_subcommand("get", "Read the seven settings of one device");
    get->add_option("ADDRESS", *address, "device address (dotted IPv4)")
        ->type_name("A.B.C.D")
        ->required();
    AddCommon(get, common, true, false);
    get->add_flag("--csv", *csv, "print CSV: a header row, then the device's row")
        ->excludes("--json");
    get->footer(
        "Prints one \"name value\" line per setting, or with --json one JSON object (see the "
        "README, \"Scripting and many devices\"). A reply that parses only in part prints what "
        "parsed and exits with 4.\n\n" +
        std::string(kExitCodes));
    return {get, [&common, address, csv] { return Get(common, AddressArgument(*address), *csv); }};
}

}  // namespace orvanctl
