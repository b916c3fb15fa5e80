#include "devsim/sockets.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace devsim {

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

Socket::~Socket() {
    if (fd_ >= 0) ::close(fd_);
}

namespace {

sockaddr_in SocketAddress(in_addr address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr = address;
    return a;
}

struct Link {
    unsigned index = 0;
    std::optional<in_addr> broadcast;
};

// The interface that holds `address`, and the broadcast address of its subnet on that link.
Link LinkOf(in_addr address) {
    Link link;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return link;
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr != address.s_addr)
            continue;
        link.index = if_nametoindex(i->ifa_name);
        // The kernel takes the subnet's last address as the link's broadcast whether or not the
        // address was given one ("ip addr add" leaves it out); a /31 or /32 has none.
        if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_netmask) {
            const std::uint32_t mask =
                ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
            if (mask != 0 && ~mask > 1)
                link.broadcast = in_addr{htonl(ntohl(address.s_addr) | ~mask)};
        }
        break;
    }
    freeifaddrs(list);
    return link;
}

}  // namespace

DeviceSockets::DeviceSockets(const Quad& address, std::uint16_t port, Log& log) : log_(log) {
    own_ = Socket(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (own_.fd() < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    in_addr own{};
    std::memcpy(&own, address.data(), 4);
    local_ = SocketAddress(own, port);
    if (bind(own_.fd(), reinterpret_cast<const sockaddr*>(&local_), sizeof local_) != 0) {
        throw std::runtime_error("cannot bind " + Endpoint(local_) + ": " + std::strerror(errno));
    }
    const Link link = LinkOf(own);
    if (!link.broadcast) return;
    link_ = link.index;
    ListenToBroadcast(*link.broadcast, port);
    ListenToBroadcast(in_addr{htonl(INADDR_BROADCAST)}, port);
}

void DeviceSockets::ListenToBroadcast(in_addr address, std::uint16_t port) {
    const sockaddr_in at = SocketAddress(address, port);
    Socket s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    // Every simulator on the link binds the same broadcast address, and each gets its copy.
    if (s.fd() < 0 || setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(s.fd(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
        bind(s.fd(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
        log_.Say("broadcasts to " + Endpoint(at) + " not heard: " + std::strerror(errno));
        return;
    }
    broadcasts_.push_back({std::move(s), at});
}

std::string DeviceSockets::BroadcastsHeard() const {
    std::string text;
    for (const auto& b : broadcasts_) text += (text.empty() ? "" : " and ") + Endpoint(b.address);
    return text;
}

int DeviceSockets::AddTo(fd_set& set) const {
    int top = own_.fd();
    FD_SET(own_.fd(), &set);
    for (const auto& b : broadcasts_) {
        FD_SET(b.socket.fd(), &set);
        top = std::max(top, b.socket.fd());
    }
    return top;
}

void DeviceSockets::Receive(const fd_set& ready,
                            const std::function<void(const Datagram&)>& handle) {
    if (FD_ISSET(own_.fd(), &ready)) {
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        const ssize_t n = recvfrom(own_.fd(), buffer_.data(), buffer_.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n < 0) {
            // A failed receive loses one datagram; the device goes on listening.
            log_.Say(std::string("receive failed: ") + std::strerror(errno));
        } else {
            handle({std::string_view(buffer_.data(), std::size_t(n)), from, std::nullopt});
        }
    }
    for (const auto& b : broadcasts_)
        if (FD_ISSET(b.socket.fd(), &ready)) ReceiveBroadcast(b, handle);
}

void DeviceSockets::ReceiveBroadcast(const Broadcast& b,
                                     const std::function<void(const Datagram&)>& handle) {
    sockaddr_in from{};
    iovec data{buffer_.data(), buffer_.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(b.socket.fd(), &message, 0);
    if (n < 0) {
        log_.Say(std::string("receive failed: ") + std::strerror(errno));
        return;
    }
    // A limited broadcast reaches every link of the host; the device sits on one of them.
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        if (unsigned(info.ipi_ifindex) != link_) return;
    }
    handle({std::string_view(buffer_.data(), std::size_t(n)), from, b.address.sin_addr});
}

}  // namespace devsim
