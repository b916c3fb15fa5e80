#include "udp_peer.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace nettest {

void EnsureApp() {
    static int argc = 1;
    static char name[] = "net_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
}

bool SpinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    EnsureApp();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // The timer only wakes the loop so that the deadline is noticed.
    QTimer wake;
    wake.start(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void ProcessPending() {
    EnsureApp();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

Peer::Peer(const std::string& ip, std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        bind_errno_ = errno;
        return;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &local.sin_addr);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        bind_errno_ = errno;
        close(fd);
        return;
    }
    // Room for a burst of large datagrams.
    const int room = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    socklen_t len = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
    port_ = ntohs(local.sin_port);
    fd_ = fd;
}

Peer::~Peer() {
    if (fd_ >= 0) close(fd_);
}

int Peer::SendTo(std::string_view bytes, const std::string& ip, std::uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
    const ssize_t sent = sendto(fd_, bytes.data(), bytes.size(), 0,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent < 0 ? errno : 0;
}

std::optional<Datagram> Peer::Receive(std::chrono::milliseconds limit) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) != 1) return std::nullopt;
    std::vector<char> buffer(70000);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
    return Datagram{std::string(buffer.data(), static_cast<std::size_t>(n)), ip,
                    ntohs(from.sin_port)};
}

std::uint16_t FreePort() {
    Peer probe("0.0.0.0");
    return probe.port();
}

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

}  // namespace nettest
