#pragma once

#include <string>
#include <vector>

namespace net {

// The name the system reports for this host, asked for with room for 250 bytes, cut at the
// first NUL; "" when the system reports none.
std::string LocalHostName();

// The IPv4 addresses of a host name in dotted decimal, resolver order, one entry per address.
// Throws SocketError(11001) for a name that does not exist, SocketError(11004) (empty
// description) for any other failed lookup.
std::vector<std::string> HostAddressList(const std::string& name);

// HostAddressList(LocalHostName()), built anew on every call.
std::vector<std::string> LocalAddressList();

}  // namespace net
