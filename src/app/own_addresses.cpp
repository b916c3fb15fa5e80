#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>
#include <memory>

#include "app/env.h"

namespace app {
namespace {

bool IsLoopback(in_addr address) {
    return (ntohl(address.s_addr) >> 24) == 127;
}

}  // namespace

net::LookupResult OwnAddressList(
    net::LookupResult resolved,
    const std::function<std::optional<std::vector<in_addr>>()>& upInterfaces) {
    const bool failed = resolved.error != 0;
    if (!failed && !std::all_of(resolved.addresses.begin(), resolved.addresses.end(), IsLoopback)) {
        return resolved;
    }
    std::optional<std::vector<in_addr>> up = upInterfaces();
    if (!up) return resolved;
    up->erase(std::remove_if(up->begin(), up->end(), IsLoopback), up->end());
    // A failed lookup on a networked host stays a failure: its addresses are unknown.
    if (failed && !up->empty()) return resolved;
    net::LookupResult list;
    if (up->empty()) {
        in_addr loopback{};
        loopback.s_addr = htonl(INADDR_LOOPBACK);
        list.addresses.push_back(loopback);
    } else {
        list.addresses = std::move(*up);
    }
    return list;
}

net::LookupTicket Env::LookupOwnAddresses(const std::string& hostName,
                                          std::function<void(const net::LookupResult&)> done) {
    return Lookup().Start(
        hostName, [this, done = std::move(done)](const net::LookupResult& result) {
            done(OwnAddressList(result, [this] { return UpInterfaceAddresses(); }));
        });
}

std::optional<std::vector<in_addr>> SystemEnv::UpInterfaceAddresses() {
    ifaddrs* first = nullptr;
    if (getifaddrs(&first) != 0) return std::nullopt;
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> list(first, freeifaddrs);
    std::vector<in_addr> addresses;
    for (const ifaddrs* i = first; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
        sockaddr_in address{};
        std::copy_n(reinterpret_cast<const char*>(i->ifa_addr), sizeof address,
                    reinterpret_cast<char*>(&address));
        addresses.push_back(address.sin_addr);
    }
    return addresses;
}

}  // namespace app
