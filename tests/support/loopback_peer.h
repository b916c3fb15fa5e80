#pragma once

// A plain datagram socket on loopback, the far end that the window talks to in tests.
#include <QByteArray>
#include <QList>
#include <QString>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

#include "support/event_loop.h"

namespace testing_support {

struct Datagram {
    QByteArray bytes;
    QString fromIp;
    std::uint16_t fromPort = 0;
};

inline sockaddr_in Address(const char* ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// A plain datagram socket on loopback: the far end that the window talks to.
class Peer {
public:
    explicit Peer(const char* ip = "127.0.0.1", std::uint16_t port = 0) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return;
        sockaddr_in a = Address(ip, port);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            bindErrno_ = errno;
            ::close(fd_);
            fd_ = -1;
            return;
        }
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Peer() {
        if (fd_ >= 0) ::close(fd_);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool ok() const { return fd_ >= 0; }
    std::uint16_t port() const { return port_; }
    int bindErrno() const { return bindErrno_; }

    bool SendTo(const QByteArray& bytes, const char* ip, std::uint16_t port) const {
        const sockaddr_in to = Address(ip, port);
        return ::sendto(fd_, bytes.constData(), static_cast<std::size_t>(bytes.size()), 0,
                        reinterpret_cast<const sockaddr*>(&to),
                        sizeof to) == static_cast<ssize_t>(bytes.size());
    }

    // Waits for one datagram while the event loop runs, so that the window can answer.
    std::optional<Datagram> Await(int limitMs = 5000) const {
        std::optional<Datagram> d;
        static_cast<void>(SpinUntil([&] { return (d = TryReceive()).has_value(); }, limitMs));
        return d;
    }

    // A datagram already waiting, without waiting or running the event loop.
    std::optional<Datagram> TryReceive() const {
        static char buffer[70000];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return std::nullopt;
        char ip[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
        return Datagram{QByteArray(buffer, n), QString::fromLatin1(ip), ntohs(from.sin_port)};
    }

private:
    int fd_ = -1;
    int bindErrno_ = 0;
    std::uint16_t port_ = 0;
};

// `size` bytes of every value, in a pattern that shows a shifted or cut copy.
inline std::string BytePattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

// `size` lowercase letters in a pattern that shows a shifted or cut copy: text that the
// window shows as it came.
inline std::string LetterPattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return text;
}

// A port on which nothing is bound at this moment, on any local address.
inline std::uint16_t FreePort() {
    const Peer probe("0.0.0.0");
    return probe.port();
}

// Everything that reached `peer` before a marker sent now. Loopback queues a datagram at
// the receiver inside sendto, so whatever the window sent earlier is ahead of the marker.
inline QList<QByteArray> ReceivedBeforeMarker(const Peer& peer) {
    const QByteArray marker = "--marker--";
    const Peer sender;
    sender.SendTo(marker, "127.0.0.1", peer.port());
    QList<QByteArray> got;
    while (const auto d = peer.Await()) {
        if (d->bytes == marker) return got;
        got.append(d->bytes);
    }
    got.append("<marker never arrived>");
    return got;
}

}  // namespace testing_support
