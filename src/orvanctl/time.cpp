// time: the device's clock set to this host's local time.

#include <iostream>

#include "device/port.h"
#include "formats/plan.h"
#include "formats/text.h"
#include "orvanctl/cli.h"

namespace orvanctl {
namespace {

int Time(const Common& c, device::Ipv4 address) {
    const auto log = OpenLog(c);
    const auto port = OpenPort(c);
    // Read first: a device that does not answer gets no clock.
    device::Task task;
    task.address = address;
    task.time = true;
    const device::Result r = device::Run(*port, {task}, 1, TimingOf(c)).front();
    LogResult(log.get(), *port, r);
    if (c.json) {
        std::cout << Dump(ResultJson(r)) << '\n';
    } else if (r.sent.time) {
        std::cout << device::FormatDotted(address) << " time sent\n";
    } else {
        std::cout << ResultLine(r) << '\n';
    }
    if (!r.sent.time && !r.message.empty())
        Message(device::FormatDotted(address) + ": " + Printable(r.message));
    return ExitOf(r);
}

}  // namespace

Subcommand AddTime(CLI::App& parent, Common& common) {
    auto address = std::make_shared<std::string>();
    CLI::App* time =
        parent.add_subcommand("time", "Set a device's clock to this host's local time");
    time->add_option("ADDRESS", *address, "device address (dotted IPv4)")
        ->type_name("A.B.C.D")
        ->required();
    AddCommon(time, common, true);
    time->footer(std::string("Reads the device first (no reply: exit 3, nothing sent), then "
                             "sends \"USTTIME<yy*mm*dd*0w*hh*mm*ss>\" from the device port.\n\n") +
                 kExitCodes);
    return {time, [&common, address] { return Time(common, AddressArgument(*address)); }};
}

}  // namespace orvanctl
