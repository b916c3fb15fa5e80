#include "net/ipv4.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>

#include "net/socket_error.h"

namespace net::ipv4 {

bool ParseDotted(std::string_view text, in_addr* addr) {
    std::uint32_t value = 0;
    int parts = 0;
    std::size_t i = 0;
    while (parts < 4) {
        std::uint32_t part = 0;
        std::size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            part = part * 10 + static_cast<std::uint32_t>(text[i] - '0');
            if (part > 255) return false;
            ++i;
            ++digits;
        }
        if (digits == 0) return false;
        value = (value << 8) | part;
        ++parts;
        if (parts < 4) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
    }
    if (i != text.size()) return false;
    addr->s_addr = htonl(value);
    return true;
}

std::string Format(in_addr addr) {
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

int TryLookup(const std::string& name, std::vector<in_addr>* addresses) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    // One socket type, so that every address comes once and not once per type.
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (rc != 0) return rc == EAI_NONAME ? kHostNotFound : kNoData;
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, &freeaddrinfo);
    addresses->clear();
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family != AF_INET || a->ai_addr == nullptr) continue;
        addresses->push_back(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr);
    }
    return addresses->empty() ? kNoData : 0;
}

std::vector<in_addr> Lookup(const std::string& name) {
    std::vector<in_addr> addresses;
    if (const int wsa = TryLookup(name, &addresses); wsa != 0) throw SocketError(wsa);
    return addresses;
}

namespace {

bool IsLocalhost(std::string_view host) {
    constexpr std::string_view kName = "LOCALHOST";
    if (host.size() != kName.size()) return false;
    for (std::size_t i = 0; i < host.size(); ++i) {
        char c = host[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != kName[i]) return false;
    }
    return true;
}

}  // namespace

in_addr Resolve(const std::string& host) {
    in_addr addr{};
    if (IsLocalhost(host)) {
        addr.s_addr = htonl(INADDR_LOOPBACK);
        return addr;
    }
    if (ParseDotted(host, &addr)) return addr;
    return Lookup(host).front();
}

Descriptor OpenDatagramSocket(bool non_blocking) {
    Descriptor fd(
        socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (non_blocking ? SOCK_NONBLOCK : 0), 0));
    if (!fd.Valid()) throw base::Error(kCannotAllocateSocket);
    // The window needs the last few for itself: a box, the display, the history file.
    if (!LeavesReserve(fd.Get())) throw SocketError(kTooManyOpenFiles);
    return fd;
}

void SendDatagram(int fd, std::string_view bytes, in_addr addr, std::uint16_t port,
                  int writableWaitMs) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = addr;
    to.sin_port = htons(port);
    // A full send buffer on a non-blocking socket is waited out briefly, as a blocking
    // socket would, rather than losing the datagram at once.
    bool waited = writableWaitMs <= 0;
    for (;;) {
        const ssize_t sent = ::sendto(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (sent >= 0) {
            if (static_cast<std::size_t>(sent) != bytes.size()) throw base::Error(kNotAllBytesSent);
            return;
        }
        const int err = errno;
        if (err == EINTR) continue;
        if ((err == EAGAIN || err == EWOULDBLOCK) && !waited) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, writableWaitMs);
            waited = true;
            continue;
        }
        if (err == EMSGSIZE) throw base::Error(kPackageTooBig);
        throw SocketError(WsaFromErrno(err));
    }
}

bool IsLocalAddress(in_addr addr) {
    if ((ntohl(addr.s_addr) >> 24) == IN_LOOPBACKNET) return true;
    const Descriptor probe = OpenDatagramSocket(true);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = addr;
    return bind(probe.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

}  // namespace net::ipv4
