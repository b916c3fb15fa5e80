#pragma once

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

class AllowList {
public:
    void Add(const AddressRange& range) { ranges_.push_back(range); }
    bool Contains(device::Ipv4 address) const;

private:
    std::vector<AddressRange> ranges_;
};

}  // namespace exporter
