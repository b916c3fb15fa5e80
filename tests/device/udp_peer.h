#pragma once

// A plain datagram socket on a loopback address: the device's end in the device tests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>

#include "device/address.h"

namespace device_test {

inline sockaddr_in Endpoint(device::Ipv4 address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(address);
    return a;
}

inline device::Ipv4 Loopback(int last) {
    return (127u << 24) | unsigned(last);
}

struct Received {
    std::string bytes;
    device::Ipv4 from = 0;
    std::uint16_t fromPort = 0;
};

class UdpPeer {
public:
    UdpPeer(device::Ipv4 address, std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = Endpoint(address, port);
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~UdpPeer() {
        if (fd_ >= 0) ::close(fd_);
    }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool Ok() const { return fd_ >= 0; }

    bool SendTo(device::Ipv4 address, std::uint16_t port, const std::string& bytes) const {
        const sockaddr_in a = Endpoint(address, port);
        return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&a),
                        sizeof a) == ssize_t(bytes.size());
    }

    // The next datagram within `ms`, or nothing.
    std::optional<Received> Receive(int ms) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return std::nullopt;
        std::string buffer(65536, '\0');
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t got = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 0) return std::nullopt;
        buffer.resize(std::size_t(got));
        return Received{buffer, ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
    }

private:
    int fd_ = -1;
};

}  // namespace device_test
