#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "device/address.h"

// Which addresses the exporter may send to: a scraper that could aim it anywhere would make it
// spray datagrams at whatever it is told.
namespace exporter {

struct AddressRange {
    device::Ipv4 first = 0, last = 0;  // both included
};

// "A.B.C.D", "A.B.C.D/NN" (NN 0 to 32, the address inside the network it names) or
// "FIRST-LAST". Throws base::Error saying what is wrong.
AddressRange ParseAllowRange(std::string_view text);

// Nothing when the text is a device address; else why it is not one (not four parts,
// the unspecified, broadcast or a multicast address).
std::string TargetError(std::string_view text, device::Ipv4& address);

// The device port a probe asks for in `text` (its port= parameter) when it is one of `ports`,
// the ports the operator configured; else why not. A probe may bind only those: any other
// would let a scraper take whatever local port it names.
std::string PortError(std::string_view text, const std::vector<std::uint16_t>& ports,
                      std::uint16_t& port);

class AllowList {
public:
    void Add(const AddressRange& range) { ranges_.push_back(range); }
    bool Contains(device::Ipv4 address) const;

private:
    std::vector<AddressRange> ranges_;
};

}  // namespace exporter
