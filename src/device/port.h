#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "device/address.h"

namespace device {

using Clock = std::chrono::steady_clock;

// Another socket holds the device port on the local address (the window's listener, another
// orvanctl): nothing can be received there.
class PortTaken : public base::Error {
public:
    using base::Error::Error;
};

// A datagram that could not go out: no route, a broadcast address without permission, ...
class SendFailed : public base::Error {
public:
    using base::Error::Error;
};

// Set from a signal handler (Ctrl+C); every wait below returns soon after it is set.
void RequestStop() noexcept;
bool StopRequested() noexcept;

struct Datagram {
    Ipv4 from = 0;
    std::uint16_t fromPort = 0;
    std::string bytes;
};

// One datagram on the wire, as the tap sees it.
struct WireEvent {
    bool sent = false;  // false: received
    Ipv4 local = 0;     // the local address of the socket
    std::uint16_t localPort = 0;
    Ipv4 peer = 0;
    std::uint16_t peerPort = 0;
    std::string_view bytes;  // the exact datagram; valid during the call only
    std::chrono::system_clock::time_point when;
};
using WireTap = std::function<void(const WireEvent&)>;

// The device port on this host. A device answers "GO" at the requester's address and at its
// own port number, so the port is bound on the local address that routes to each device,
// one socket per such address, and every request and command leaves from it.
class DevicePort {
public:
    // `broadcast`: the sockets may send to broadcast addresses; nothing else turns that on.
    DevicePort(std::uint16_t port, bool broadcast);
    ~DevicePort();
    DevicePort(const DevicePort&) = delete;
    DevicePort& operator=(const DevicePort&) = delete;

    std::uint16_t Port() const { return port_; }

    // Called for every datagram received and every datagram sent (once the send succeeded),
    // the ones the runs ignore included. An empty tap removes it.
    void SetTap(WireTap tap) { tap_ = std::move(tap); }

    // The local address that routes to `to`. Throws SendFailed when there is no route.
    Ipv4 LocalAddressFor(Ipv4 to);

    // Binds the port on the local address for `to` unless done already. Throws PortTaken or
    // base::Error (too many local addresses, no socket).
    void Open(Ipv4 to);

    // One datagram to `to` at the device port. Throws SendFailed, PortTaken.
    void Send(Ipv4 to, std::string_view bytes);

    // Appends the datagrams that arrive until `until` (or until the first batch, or a stop).
    // Never waits past `until`.
    void Receive(Clock::time_point until, std::vector<Datagram>& out);

private:
    static constexpr std::size_t kMostLocalAddresses = 16;
    int SocketFor(Ipv4 to);
    Ipv4 LocalOf(int fd) const;
    void Tap(bool sent, Ipv4 local, Ipv4 peer, std::uint16_t peerPort, std::string_view bytes);

    std::uint16_t port_;
    bool broadcast_;
    int probe_ = -1;               // unbound; connected only to ask the routing table
    std::map<Ipv4, int> sockets_;  // local address -> socket bound to it at the port
    WireTap tap_;
};

}  // namespace device
