#pragma once

// A device played on a thread of the test: answers "GO" as told, records every datagram.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "udp_peer.h"

namespace device_test {

inline const std::string kSampleReply =
    "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>";

class FakeDevice {
public:
    struct Behaviour {
        std::string reply = kSampleReply;  // empty: silent
        std::uint16_t replyPort = 0;       // 0: from the device port itself
        std::function<void(const std::string&)> onCommand;
        int dropFirst = 0;  // requests left unanswered first
    };

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
                from.SendTo(got->from, port_, behaviour_.reply);
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
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace device_test
