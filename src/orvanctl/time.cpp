// time: the device's clock set to this host's local time.

#include <iostream>

#include "device/port.h"
#include "orvanctl/cli.h"
#include "orvanctl/plan.h"

namespace orvanctl {
namespace {

int Time(const Common& c, device::Ipv4 address) {
    const auto log = OpenLog(c);
    const auto port = OpenPort(c);
    device::SendTime(*port, address);
    device::Result r;
    r.address = address;
    r.outcome = device::Outcome::kChanged;
    r.timeSent = true;
    LogResult(log.get(), *port, r);
    if (c.json) {
        std::cout << Dump(ResultJson(r)) << '\n';
    } else {
        std::cout << device::FormatDotted(address) << " time sent\n";
    }
    return kOk;
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
    time->footer(std::string("Sends \"USTTIME<yy*mm*dd*0w*hh*mm*ss>\" from the device port and "
                             "waits for nothing.\n\n") +
                 kExitCodes);
    return {time, [&common, address] { return Time(common, AddressArgument(*address)); }};
}

}  // namespace orvanctl
