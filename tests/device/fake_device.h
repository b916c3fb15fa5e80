#pragma once

// The device's end in the device tests: a plain datagram socket on a loopback address, and a
// device played on a thread that answers "GO" as told and records every datagram. Plain
// sockets, not tests/support's peer: these tests run without Qt.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "device/address.h"
#include "device/port.h"

namespace device_test {

template <typename Case>
requires requires(const Case& c) {
    c.label;
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.label;
}
inline const auto kLabel = [](const auto& info) { return std::string(info.param.label); };

inline device::Ipv4 Loopback(int last) {
    return (127u << 24) | unsigned(last);
}

inline long long MillisSince(device::Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(device::Clock::now() - start)
        .count();
}

struct Received {
    std::string bytes;
    device::Ipv4 from = 0;
    std::uint16_t fromPort = 0;
};

class UdpPeer {
public:
    UdpPeer(device::Ipv4 address, std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = Endpoint(address, port);
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~UdpPeer() {
        if (fd_ >= 0) ::close(fd_);
    }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool Ok() const { return fd_ >= 0; }

    bool SendTo(device::Ipv4 address, std::uint16_t port, const std::string& bytes) const {
        const sockaddr_in a = Endpoint(address, port);
        return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&a),
                        sizeof a) == ssize_t(bytes.size());
    }

    // The next datagram within `ms`, or nothing.
    std::optional<Received> Receive(int ms) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return std::nullopt;
        std::string buffer(65536, '\0');
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t got = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 0) return std::nullopt;
        buffer.resize(std::size_t(got));
        return Received{buffer, ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
    }

private:
    static sockaddr_in Endpoint(device::Ipv4 address, std::uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(address);
        return a;
    }

    int fd_ = -1;
};

inline const std::string kSampleReply =
    "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>";

class FakeDevice {
public:
    struct Behaviour {
        std::string reply = kSampleReply;  // empty: silent
        std::uint16_t replyPort = 0;       // 0: from the device port itself
        std::function<void(const std::string&)> onCommand = {};
        int dropFirst = 0;                    // requests left unanswered first
        std::vector<std::string> later = {};  // replies after the first, the last one repeated
    };
    static Behaviour Answers(std::string reply = kSampleReply) {
        Behaviour b;
        b.reply = std::move(reply);
        return b;
    }
    static Behaviour Silent() { return Answers(""); }

    FakeDevice(device::Ipv4 address, std::uint16_t port) : FakeDevice(address, port, Answers()) {}
    FakeDevice(device::Ipv4 address, std::uint16_t port, Behaviour behaviour)
        : port_(port),
          behaviour_(std::move(behaviour)),
          socket_(address, port),
          other_(address, behaviour_.replyPort),  // 0: any free port, never used
          thread_([this] { Loop(); }) {}
    ~FakeDevice() {
        stop_ = true;
        thread_.join();
    }

    bool Ok() const { return socket_.Ok(); }

    std::vector<std::string> Received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }
    std::size_t Count(const std::string& prefix) const {
        std::size_t n = 0;
        for (const std::string& d : Received()) n += d.rfind(prefix, 0) == 0;
        return n;
    }

private:
    void Loop() {
        while (!stop_) {
            const auto got = socket_.Receive(20);
            if (!got) continue;
            {
                std::lock_guard lock(mutex_);
                received_.push_back(got->bytes);
            }
            if (got->bytes == "GO") {
                if (behaviour_.reply.empty() || dropped_++ < behaviour_.dropFirst) continue;
                const UdpPeer& from = behaviour_.replyPort ? other_ : socket_;
                const auto& later = behaviour_.later;
                const std::size_t n = answered_++;
                from.SendTo(got->from, port_,
                            n == 0 || later.empty() ? behaviour_.reply
                                                    : later[std::min(n, later.size()) - 1]);
            } else if (behaviour_.onCommand) {
                behaviour_.onCommand(got->bytes);
            }
        }
    }

    std::uint16_t port_;
    Behaviour behaviour_;
    UdpPeer socket_;
    UdpPeer other_;
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    int dropped_ = 0;
    std::size_t answered_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace device_test
