#include "net/host_info.h"

#include <unistd.h>

#include <cstring>

#include "net/ipv4.h"

namespace net {

std::string LocalHostName() {
    constexpr std::size_t kRoom = 250;
    char name[kRoom + 1] = {};
    if (gethostname(name, kRoom) != 0) return {};
    return std::string(name, strnlen(name, kRoom));
}

std::vector<std::string> HostAddressList(const std::string& name) {
    std::vector<std::string> list;
    for (const in_addr& a : ipv4::Lookup(name)) list.push_back(ipv4::Format(a));
    return list;
}

std::vector<std::string> LocalAddressList() {
    return HostAddressList(LocalHostName());
}

}  // namespace net
