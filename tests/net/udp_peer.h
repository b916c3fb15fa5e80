#pragma once

// Test helpers: a Qt event loop to spin and a plain POSIX datagram socket as the far end.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace nettest {

using namespace std::chrono_literals;

// Creates the QCoreApplication once; the listener's socket notifiers need its event loop.
void EnsureApp();

// Runs the event loop until `done` holds or `limit` passes; returns done().
bool SpinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s);

// Handles whatever events are pending now, without waiting for more.
void ProcessPending();

struct Datagram {
    std::string bytes;
    std::string from_ip;
    std::uint16_t from_port = 0;
};

// A datagram socket bound to a loopback address; port 0 lets the system choose.
class Peer {
public:
    explicit Peer(const std::string& ip = "127.0.0.1", std::uint16_t port = 0);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool ok() const { return fd_ >= 0; }
    int bind_errno() const { return bind_errno_; }
    std::uint16_t port() const { return port_; }

    // Returns 0 or the errno of the failed send.
    int SendTo(std::string_view bytes, const std::string& ip, std::uint16_t port);
    // Waits up to `limit` for one datagram.
    std::optional<Datagram> Receive(std::chrono::milliseconds limit = 5s);

private:
    int fd_ = -1;
    int bind_errno_ = 0;
    std::uint16_t port_ = 0;
};

// A port on which nothing is bound at this moment, on any local address.
std::uint16_t FreePort();

// `size` bytes of a pattern that shows a shifted or cut copy.
std::string Pattern(std::size_t size);

}  // namespace nettest
