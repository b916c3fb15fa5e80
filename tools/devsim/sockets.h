#pragma once

#include <netinet/in.h>
#include <sys/select.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "devsim/log.h"
#include "devsim/text.h"

namespace devsim {

// A socket descriptor, closed once.
class Socket {
public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket();

    int fd() const { return fd_; }

private:
    int fd_;
};

struct Datagram {
    std::string_view data;
    sockaddr_in from;
    std::optional<in_addr> broadcast;  // the broadcast address it went to; nothing: to the device
};

// Where the device hears: its own address and, as a device on a link does, the broadcasts of
// that link (its broadcast address and 255.255.255.255), each on a socket of its own. Several
// simulators on one link each get every broadcast; replies go out from the device's own address.
class DeviceSockets {
public:
    // Binds `address`:`port`; throws std::runtime_error saying what failed. A broadcast socket
    // that cannot be bound is told in the log, and the device goes on without it.
    DeviceSockets(const Quad& address, std::uint16_t port, Log& log);

    int own() const { return own_.fd(); }
    const sockaddr_in& local() const { return local_; }
    // "10.200.0.255:4000 and 255.255.255.255:4000"; empty when the device hears none.
    std::string BroadcastsHeard() const;

    // Adds every socket to `set`; returns the highest descriptor.
    int AddTo(fd_set& set) const;
    // One datagram from each socket ready in `ready`.
    void Receive(const fd_set& ready, const std::function<void(const Datagram&)>& handle);

private:
    struct Broadcast {
        Socket socket;
        sockaddr_in address;
    };

    void ListenToBroadcast(in_addr address, std::uint16_t port);
    void ReceiveBroadcast(const Broadcast& b, const std::function<void(const Datagram&)>& handle);

    Log& log_;
    Socket own_;
    sockaddr_in local_{};
    unsigned link_ = 0;  // the interface index of the device's address; 0: not on a link
    std::vector<Broadcast> broadcasts_;
    std::vector<char> buffer_ = std::vector<char>(65536);
};

}  // namespace devsim
