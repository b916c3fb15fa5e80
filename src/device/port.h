#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
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

// A stop request (Ctrl+C) ended a wait before anything could be done.
class Interrupted : public base::Error {
public:
    using base::Error::Error;
};

// --source names an address that is not one of this host's: nothing can be bound there.
class NotLocalAddress : public base::Error {
public:
    using base::Error::Error;
};

// A datagram that could not go out: no route, a broadcast address without permission, ...
// `Reason()` is short and the same for every address that failed alike, for counting.
class SendFailed : public base::Error {
public:
    explicit SendFailed(const std::string& message, std::string reason = "cannot send")
        : base::Error(message), reason_(std::move(reason)) {}
    const std::string& Reason() const { return reason_; }

private:
    std::string reason_;
};

// What one attempt to send came to.
enum class SendStatus {
    kSent,
    kRefusedForNow,  // the kernel has no room for now (EAGAIN, ENOBUFS: a full neighbour table)
};

// Set from a signal handler (Ctrl+C); every wait below returns soon after it is set.
void RequestStop() noexcept;
bool StopRequested() noexcept;
// For a program that goes on after a stopped run (and for tests).
void ClearStop() noexcept;

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

struct PortOptions {
    // The sockets may send to broadcast addresses; nothing else turns that on.
    bool broadcast = false;
    // Bind on this local address only, and send every datagram from it.
    std::optional<Ipv4> source;
    // How long to wait for another orvanctl run to release the port on a local address.
    std::chrono::milliseconds portWait{30000};
    // What that wait is called where the message is read ("--port-wait" in orvanctl).
    std::string portWaitName = "--port-wait";
    // Where the lock files live that let runs on one host take turns; empty: no turns. A lock
    // file that cannot be used (a link, not a file, a folder that refuses it) is an error,
    // never a run without turns.
    std::string lockDir = "/run/lock";
};

// The lock file that runs in this network namespace take turns on for a local address and port.
std::string LockPath(const std::string& dir, Ipv4 local, std::uint16_t port);

// Who holds a lock on the file `fd` is open on, from the kernel's table of locks: "another
// orvanctl run", or another program named with its process.
std::string LockHolder(int fd);

// "0.3 s": a wait or a limit as the operator gave it.
std::string FormatSeconds(std::chrono::milliseconds span);

// The device port on this host. A device answers "GO" at the requester's address and at its
// own port number, so the port is bound on the local address that routes to each device,
// one socket per such address, and every request and command leaves from it.
class DevicePort {
public:
    // With a source, binds at once. Throws NotLocalAddress, PortTaken, base::Error.
    DevicePort(std::uint16_t port, const PortOptions& options);
    // No port wait: another run holding the port is PortTaken at once.
    DevicePort(std::uint16_t port, bool broadcast);
    virtual ~DevicePort();
    DevicePort(const DevicePort&) = delete;
    DevicePort& operator=(const DevicePort&) = delete;

    std::uint16_t Port() const { return port_; }

    // Called for every datagram received and every datagram sent (once the send succeeded),
    // the ones the runs ignore included. An empty tap removes it.
    void SetTap(WireTap tap) { tap_ = std::move(tap); }

    // The local address that routes to `to` (the source, when one was given). Throws
    // SendFailed when there is no route.
    Ipv4 LocalAddressFor(Ipv4 to);

    // Binds the port on the local address for `to` unless done already. Another orvanctl run
    // holding it there is waited for, up to the port wait; any other program: PortTaken at
    // once. Throws PortTaken, Interrupted (a stop while waiting), or base::Error (too many
    // local addresses, no socket, a lock file that cannot be used: named with the reason).
    void Open(Ipv4 to);

    // One datagram to `to` at the device port; a send the kernel refuses for now is tried again
    // for up to half a second. Throws SendFailed, PortTaken.
    void Send(Ipv4 to, std::string_view bytes);

    // One attempt, never waiting. Throws SendFailed (an address that cannot be asked), PortTaken.
    SendStatus TrySend(Ipv4 to, std::string_view bytes);

    // Appends the datagrams that arrive until `until` (or until the first batch, or a stop).
    // Never waits past `until`.
    void Receive(Clock::time_point until, std::vector<Datagram>& out);

protected:
    // The one system call that sends; 0 or the errno. Tests put in the kernel's refusals here.
    virtual int SendDatagram(int fd, Ipv4 to, std::string_view bytes);

private:
    static constexpr std::size_t kMostLocalAddresses = 16;
    struct Bound {
        int fd = -1;
        int lock = -1;  // the lock file held while bound, or -1
    };
    int SocketOn(Ipv4 local);  // bound on first use
    int Bind(Ipv4 local);
    Ipv4 LocalOf(int fd) const;
    void Tap(bool sent, Ipv4 local, Ipv4 peer, std::uint16_t peerPort, std::string_view bytes);

    std::uint16_t port_;
    PortOptions options_;
    int probe_ = -1;                 // connected only to ask the routing table
    std::map<Ipv4, Bound> sockets_;  // local address -> socket bound to it at the port
    WireTap tap_;
    std::vector<char> buffer_ = std::vector<char>(65536);
};

}  // namespace device
