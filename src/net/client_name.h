#pragma once

#include <string>
#include <string_view>

namespace net {

// The host tag of a per-destination TCP client: the host text with each of " _.,!?" made an
// underscore, every other byte as it is ("192.168.119.141" -> "192_168_119_141").
std::string HostTag(std::string_view host);

// The name such a client is registered under: "Client" and the host tag.
std::string ClientName(std::string_view tag);

}  // namespace net
