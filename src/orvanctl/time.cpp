// time: the device's clock set to this host's local time.

#include <iostream>

#include "device/port.h"
#include "orvanctl/cli.h"

namespace orvanctl {
namespace {

int Time(const Common& c, device::Ipv4 address) {
    device::DevicePort port(std::uint16_t(c.port), false);
    device::SendTime(port, address);
    std::cout << device::FormatDotted(address) << " time sent\n";
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
    time->add_option("--port", common.port, "device UDP port, 1 to 65535 (default 4000)")
        ->type_name("P")
        ->check(CLI::Range(1, 65535).description(""));
    time->footer(std::string("Sends \"USTTIME<yy*mm*dd*0w*hh*mm*ss>\" from the device port and "
                             "waits for nothing.\n\n") +
                 kExitCodes);
    return {time, [&common, address] { return Time(common, AddressArgument(*address)); }};
}

}  // namespace orvanctl
