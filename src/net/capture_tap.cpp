#include "net/capture_tap.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

namespace net::tap {

namespace {

// Connecting a datagram socket sends nothing; it only asks the routing table.
std::uint32_t SourceTowards(in_addr peer) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = peer;
    to.sin_port = htons(9);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&from), &len) == 0;
    ::close(fd);
    return ok ? ntohl(from.sin_addr.s_addr) : 0;
}

}  // namespace

capture::Endpoint Endpoint(in_addr address, std::uint16_t port) {
    return {ntohl(address.s_addr), port};
}

capture::Endpoint Endpoint(const sockaddr_in& address) {
    return Endpoint(address.sin_addr, ntohs(address.sin_port));
}

capture::Endpoint Local(int fd, in_addr peer) {
    sockaddr_in own{};
    socklen_t len = sizeof own;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&own), &len) != 0) return {};
    capture::Endpoint local = Endpoint(own);
    if (local.address == 0) local.address = SourceTowards(peer);
    return local;
}

void Sent(capture::Recorder* recorder, int fd, in_addr to, std::uint16_t port,
          std::string_view bytes) {
    if (recorder == nullptr) return;
    recorder->Udp(true, Local(fd, to), Endpoint(to, port), bytes, capture::Clock::now());
}

}  // namespace net::tap
