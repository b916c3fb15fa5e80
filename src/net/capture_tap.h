#pragma once

// What the socket classes need to record their traffic into a capture.

#include <netinet/in.h>

#include "capture/recorder.h"

namespace net::tap {

capture::Endpoint Endpoint(in_addr address, std::uint16_t port);
capture::Endpoint Endpoint(const sockaddr_in& address);
// A socket's own address and port; where it is bound to every interface, the address the
// system sends from towards `peer`.
capture::Endpoint Local(int fd, in_addr peer);

}  // namespace net::tap
