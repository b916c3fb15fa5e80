#pragma once

// The far end of the TCP clients in tests: a listening socket on a loopback address and the
// connections it accepts, as plain POSIX sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace testing_support {

class TcpConnection {
public:
    TcpConnection() = default;
    explicit TcpConnection(int fd) : fd_(fd) {}
    ~TcpConnection() { Close(); }
    TcpConnection(TcpConnection&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    TcpConnection& operator=(TcpConnection&& other) noexcept {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        return *this;
    }

    bool ok() const { return fd_ >= 0; }

    bool Send(std::string_view bytes) const {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    // What came until `size` bytes have, the peer closed, or nothing more came for `limitMs`.
    std::string Read(std::size_t size = SIZE_MAX, int limitMs = 0) const {
        std::string got;
        char buffer[65536];
        for (pollfd p{fd_, POLLIN, 0}; got.size() < size && ::poll(&p, 1, limitMs) > 0;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

    // True once the client has ended the connection (end of stream or reset).
    bool Ended(int limitMs = 5000) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, limitMs) <= 0) return false;
        char c;
        return ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
    }

    // Ends the connection with a reset instead of an orderly close.
    void Reset() {
        const linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }

    void Close() {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
};

class TcpServer {
public:
    explicit TcpServer(const char* ip = "127.0.0.1") {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, ip, &a.sin_addr);
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 64) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            ::close(std::exchange(fd_, -1));
            return;
        }
        port_ = ntohs(a.sin_port);
    }
    ~TcpServer() {
        if (fd_ >= 0) ::close(fd_);
    }
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    std::uint16_t port() const { return port_; }

    // The handshake completes in the kernel, so this needs no event loop.
    TcpConnection Accept(int limitMs = 5000) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, limitMs) <= 0) return TcpConnection();
        return TcpConnection(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A loopback port on which nothing listens at this moment.
inline std::uint16_t ClosedTcpPort() {
    const TcpServer probe;
    return probe.port();
}

}  // namespace testing_support
