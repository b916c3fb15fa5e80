#include "device/port.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace device {
namespace {

volatile std::sig_atomic_t g_stop = 0;

// How long one wait may last before the stop flag is looked at again.
constexpr auto kStopCheck = std::chrono::milliseconds(100);

sockaddr_in SocketAddress(Ipv4 address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(address);
    return a;
}

int NewSocket(bool broadcast) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) throw base::Error(std::string("cannot create a socket: ") + std::strerror(errno));
    const int on = broadcast ? 1 : 0;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    return fd;
}

}  // namespace

void RequestStop() noexcept {
    g_stop = 1;
}

void ClearStop() noexcept {
    g_stop = 0;
}

bool StopRequested() noexcept {
    return g_stop != 0;
}

namespace {

// Callers from before the port wait keep their behaviour: a port held is taken at once.
PortOptions WithBroadcast(bool broadcast) {
    PortOptions o;
    o.broadcast = broadcast;
    o.portWait = std::chrono::milliseconds(0);
    return o;
}

}  // namespace

DevicePort::DevicePort(std::uint16_t port, bool broadcast)
    : DevicePort(port, WithBroadcast(broadcast)) {}

DevicePort::DevicePort(std::uint16_t port, const PortOptions& options)
    : port_(port), options_(options), probe_(NewSocket(options.broadcast)) {
    if (!options_.source) return;
    const Ipv4 source = *options_.source;
    // Binding the probe to the source (any port) asks the kernel whether the address is ours.
    const sockaddr_in a = SocketAddress(source, 0);
    if (source == 0 || source == 0xFFFFFFFF ||
        ::bind(probe_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        const int err = errno;
        ::close(probe_);
        if (source == 0 || source == 0xFFFFFFFF || err == EADDRNOTAVAIL) {
            throw NotLocalAddress("--source " + FormatDotted(source) +
                                  " is not an address of this host");
        }
        throw base::Error("cannot bind to " + FormatDotted(source) + ": " + std::strerror(err));
    }
    try {
        Bind(source);
    } catch (...) {
        ::close(probe_);
        throw;
    }
}

DevicePort::~DevicePort() {
    ::close(probe_);
    // The socket first: the next run waiting on the lock must find the port free.
    for (const auto& [address, bound] : sockets_) {
        ::close(bound.fd);
        if (bound.lock >= 0) ::close(bound.lock);
    }
}

Ipv4 DevicePort::LocalAddressFor(Ipv4 to) {
    // A datagram socket's connect only consults the routing table; nothing is sent. The first
    // connect fixes the socket's local address, so it is undone first (unless a source is
    // bound: that one stays).
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    ::connect(probe_, &unspecified, sizeof unspecified);
    const sockaddr_in peer = SocketAddress(to, port_);
    if (::connect(probe_, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        const int err = errno;
        if (err == EACCES) {
            throw SendFailed(
                FormatDotted(to) + " is a broadcast address: sending to it needs --broadcast",
                "broadcast address without --broadcast");
        }
        throw SendFailed("no route to " + FormatDotted(to) +
                             (options_.source ? " from " + FormatDotted(*options_.source) : "") +
                             ": " + std::strerror(err),
                         "no route");
    }
    if (options_.source) return *options_.source;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(probe_, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohl(local.sin_addr.s_addr);
}

void DevicePort::Open(Ipv4 to) {
    SocketOn(LocalAddressFor(to));
}

int DevicePort::SocketOn(Ipv4 local) {
    if (const auto it = sockets_.find(local); it != sockets_.end()) return it->second.fd;
    return Bind(local);
}

namespace {

// The network namespace the process is in: a port is bound per namespace, while /run/lock is
// one for the whole host.
std::string NetworkNamespace() {
    struct stat st {};
    if (::stat("/proc/self/ns/net", &st) != 0) return "net";
    return "net" + std::to_string(st.st_ino);
}

// The lock file of one local address and port, opened without following a planted link and
// without taking over anything but a regular file; -1 when turns are off. Throws base::Error
// naming the file and the reason when it cannot be used.
int OpenLock(const std::string& dir, Ipv4 local, std::uint16_t port) {
    if (dir.empty()) return -1;
    const std::string path = LockPath(dir, local, port);
    const auto unusable = [&](const std::string& why) {
        return base::Error("cannot use the lock file " + path + " (runs take turns on it): " + why);
    };
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Opened without O_CREAT first: a sticky directory refuses O_CREAT on another user's file.
        int fd = ::open(path.c_str(), kFlags);
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0644);
            if (fd < 0 && errno == EEXIST) continue;
            if (fd >= 0) ::fchmod(fd, 0644);  // readable by every user's runs, whatever umask
        }
        if (fd < 0) {
            if (errno == ELOOP) throw unusable("it is a symbolic link, not followed");
            throw unusable(std::strerror(errno));
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            throw unusable("not a regular file");
        }
        return fd;
    }
    throw unusable("it comes and goes (another program is replacing it)");
}

}  // namespace

std::string LockHolder(int fd) {
    struct stat st {};
    std::FILE* locks = std::fopen("/proc/locks", "re");
    if (::fstat(fd, &st) != 0 || locks == nullptr) {
        if (locks) std::fclose(locks);
        return "another program or orvanctl run";
    }
    char id[64];
    std::snprintf(id, sizeof id, ":%lu ", static_cast<unsigned long>(st.st_ino));
    char line[256];
    long pid = 0;
    while (pid == 0 && std::fgets(line, sizeof line, locks)) {
        char* at = std::strstr(line, id);
        if (std::strstr(line, "FLOCK") == nullptr || at == nullptr) continue;
        // "1: FLOCK  ADVISORY  WRITE 4242 00:1b:6789 0 EOF": the process before the file.
        while (at > line && at[-1] != ' ') --at;
        while (at > line && at[-1] == ' ') --at;
        while (at > line && at[-1] != ' ') --at;
        pid = std::strtol(at, nullptr, 10);
    }
    std::fclose(locks);
    std::string name;
    if (std::FILE* comm = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "re")) {
        if (std::fgets(line, sizeof line, comm)) name.assign(line, std::strcspn(line, "\n"));
        std::fclose(comm);
    }
    if (pid <= 0 || name.empty()) return "another program or orvanctl run";
    if (name == "orvanctl") return "another orvanctl run";
    return "another program (" + name + ", process " + std::to_string(pid) + ")";
}

std::string LockPath(const std::string& dir, Ipv4 local, std::uint16_t port) {
    return dir + "/orvanctl-" + NetworkNamespace() + "-" + FormatDotted(local) + "-" +
           std::to_string(port) + ".lock";
}

std::string FormatSeconds(std::chrono::milliseconds span) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(span).count());
    return text;
}

int DevicePort::Bind(Ipv4 local) {
    if (sockets_.size() == kMostLocalAddresses) {
        throw base::Error("devices behind more than " + std::to_string(kMostLocalAddresses) +
                          " local addresses at once");
    }
    const std::string where = "port " + std::to_string(port_) + " on " + FormatDotted(local);
    Bound bound;
    bound.lock = OpenLock(options_.lockDir, local, port_);
    if (bound.lock >= 0 && ::flock(bound.lock, LOCK_EX | LOCK_NB) != 0) {
        // Another orvanctl run holds it: take turns, checking now and then.
        const auto until = Clock::now() + options_.portWait;
        bool got = false;
        while (!got && !StopRequested() && Clock::now() < until) {
            const auto left = until - Clock::now();
            ::poll(nullptr, 0,
                   int(std::clamp<long long>(
                       std::chrono::ceil<std::chrono::milliseconds>(left).count(), 1, 50)));
            got = ::flock(bound.lock, LOCK_EX | LOCK_NB) == 0;
        }
        if (!got) {
            const std::string holder = LockHolder(bound.lock);
            ::close(bound.lock);
            if (StopRequested())
                throw Interrupted("interrupted while " + holder + " held " + where);
            throw PortTaken(where + " is held by " + holder + " for longer than " +
                            options_.portWaitName + " " + FormatSeconds(options_.portWait));
        }
    }
    bound.fd = NewSocket(options_.broadcast);
    const sockaddr_in a = SocketAddress(local, port_);
    if (::bind(bound.fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        const int err = errno;
        ::close(bound.fd);
        if (bound.lock >= 0) ::close(bound.lock);
        if (err == EADDRINUSE) {
            throw PortTaken(where +
                            " is taken by another program (Orvan's listener or another orvanctl?)");
        }
        throw base::Error("cannot bind " + where + ": " + std::strerror(err));
    }
    sockets_.emplace(local, bound);
    return bound.fd;
}

Ipv4 DevicePort::LocalOf(int fd) const {
    for (const auto& [local, bound] : sockets_)
        if (bound.fd == fd) return local;
    return 0;
}

void DevicePort::Tap(bool sent, Ipv4 local, Ipv4 peer, std::uint16_t peerPort,
                     std::string_view bytes) {
    if (!tap_) return;
    WireEvent e;
    e.sent = sent;
    e.local = local;
    e.localPort = port_;
    e.peer = peer;
    e.peerPort = peerPort;
    e.bytes = bytes;
    e.when = std::chrono::system_clock::now();
    tap_(e);
}

int DevicePort::SendDatagram(int fd, Ipv4 to, std::string_view bytes) {
    const sockaddr_in peer = SocketAddress(to, port_);
    if (::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
                 sizeof peer) == static_cast<ssize_t>(bytes.size())) {
        return 0;
    }
    return errno;
}

SendStatus DevicePort::TrySend(Ipv4 to, std::string_view bytes) {
    const Ipv4 local = LocalAddressFor(to);
    const int fd = SocketOn(local);
    const int err = SendDatagram(fd, to, bytes);
    if (err == 0) {
        Tap(true, local, to, port_, bytes);
        return SendStatus::kSent;
    }
    if (err == EAGAIN || err == ENOBUFS) return SendStatus::kRefusedForNow;
    if (err == EACCES) {
        throw SendFailed(
            FormatDotted(to) + " is a broadcast address: sending to it needs --broadcast",
            "broadcast address without --broadcast");
    }
    if (err == ENETUNREACH || err == EHOSTUNREACH) {
        throw SendFailed("cannot send to " + FormatDotted(to) + ": " + std::strerror(err),
                         "no route");
    }
    throw SendFailed("cannot send to " + FormatDotted(to) + ": " + std::strerror(err),
                     std::strerror(err));
}

void DevicePort::Send(Ipv4 to, std::string_view bytes) {
    for (int attempt = 0;; ++attempt) {
        if (TrySend(to, bytes) == SendStatus::kSent) return;
        // A full send queue drains within milliseconds; wait for it a bounded number of times.
        if (attempt == 50) {
            throw SendFailed("cannot send to " + FormatDotted(to) +
                                 ": the kernel refused it for half a second (" +
                                 std::strerror(EAGAIN) + ")",
                             "refused by the kernel");
        }
        ::poll(nullptr, 0, 10);
    }
}

void DevicePort::Receive(Clock::time_point until, std::vector<Datagram>& out) {
    std::vector<pollfd> fds;
    for (const auto& [address, bound] : sockets_) fds.push_back({bound.fd, POLLIN, 0});
    const std::size_t before = out.size();
    while (out.size() == before && !StopRequested()) {
        const auto now = Clock::now();
        if (now >= until) return;
        const auto wait = std::min<Clock::duration>(until - now, kStopCheck);
        const int ms = int(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
        if (fds.empty()) {
            ::poll(nullptr, 0, ms);
            continue;
        }
        if (::poll(fds.data(), fds.size(), ms) <= 0) continue;
        for (pollfd& p : fds) {
            if (!(p.revents & POLLIN)) continue;
            const Ipv4 local = LocalOf(p.fd);
            // Drain what is there: a burst of replies costs one wake-up.
            for (int n = 0; n < 256; ++n) {
                // Whole: the largest datagram fits, so nothing is cut without notice.
                char* const buffer = buffer_.data();
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t got = ::recvfrom(p.fd, buffer, buffer_.size(), 0,
                                               reinterpret_cast<sockaddr*>(&from), &length);
                if (got < 0) break;
                // A request to a range that holds this host comes back to the port itself.
                const Ipv4 source = ntohl(from.sin_addr.s_addr);
                Tap(false, local, source, ntohs(from.sin_port),
                    std::string_view(buffer, std::size_t(got)));
                if (ntohs(from.sin_port) == port_ && sockets_.count(source)) continue;
                out.push_back(
                    {source, ntohs(from.sin_port), std::string(buffer, std::size_t(got))});
            }
        }
    }
}

}  // namespace device
