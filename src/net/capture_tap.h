#pragma once

// What the socket classes need to record their traffic into a capture.

#include <netinet/in.h>

#include <cstdint>
#include <string_view>

#include "capture/recorder.h"

namespace net::tap {

capture::Endpoint Endpoint(in_addr address, std::uint16_t port);
capture::Endpoint Endpoint(const sockaddr_in& address);
// A socket's own address and port; where it is bound to every interface, the address the
// system sends from towards `peer`.
capture::Endpoint Local(int fd, in_addr peer);
// A datagram `fd` has just sent; nothing without a recorder.
void Sent(capture::Recorder* recorder, int fd, in_addr to, std::uint16_t port,
          std::string_view bytes);

}  // namespace net::tap
