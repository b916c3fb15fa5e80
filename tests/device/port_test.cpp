// The device port against peers on loopback addresses: what the wire tap sees.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/port.h"
#include "udp_peer.h"

namespace {

using device_test::Loopback;
using device_test::UdpPeer;

struct Tapped {
    bool sent;
    device::Ipv4 local;
    std::uint16_t localPort;
    device::Ipv4 peer;
    std::uint16_t peerPort;
    std::string bytes;
};

class TapTest : public ::testing::Test {
protected:
    void SetUp() override {
        port_.SetTap([this](const device::WireEvent& e) {
            seen_.push_back(
                {e.sent, e.local, e.localPort, e.peer, e.peerPort, std::string(e.bytes)});
            EXPECT_GT(e.when.time_since_epoch().count(), 0);
        });
    }

    static constexpr std::uint16_t kPort = 47101;
    device::DevicePort port_{kPort, false};
    std::vector<Tapped> seen_;
};

TEST_F(TapTest, ASentDatagramIsTappedOnceWithBothEnds) {
    UdpPeer device(Loopback(2), kPort);
    ASSERT_TRUE(device.Ok());
    port_.Send(Loopback(2), "GO");
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_TRUE(seen_[0].sent);
    EXPECT_EQ(seen_[0].local, Loopback(1));
    EXPECT_EQ(seen_[0].localPort, kPort);
    EXPECT_EQ(seen_[0].peer, Loopback(2));
    EXPECT_EQ(seen_[0].peerPort, kPort);
    EXPECT_EQ(seen_[0].bytes, "GO");
    const auto got = device.Receive(1000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, "GO");
}

TEST_F(TapTest, EveryReceivedDatagramIsTappedEvenOnesTheRunsIgnore) {
    UdpPeer device(Loopback(2), kPort);
    UdpPeer stranger(Loopback(3), kPort + 1);
    ASSERT_TRUE(device.Ok() && stranger.Ok());
    port_.Open(Loopback(2));
    ASSERT_TRUE(device.SendTo(Loopback(1), kPort, std::string("<1#2>\0x", 7)));
    ASSERT_TRUE(stranger.SendTo(Loopback(1), kPort, "forged"));
    std::vector<device::Datagram> got;
    const auto until = device::Clock::now() + std::chrono::seconds(2);
    while (got.size() < 2 && device::Clock::now() < until) port_.Receive(until, got);
    ASSERT_EQ(seen_.size(), 2u);
    for (const Tapped& t : seen_) {
        EXPECT_FALSE(t.sent);
        EXPECT_EQ(t.local, Loopback(1));
        EXPECT_EQ(t.localPort, kPort);
    }
    EXPECT_EQ(seen_[0].peer, Loopback(2));
    EXPECT_EQ(seen_[0].peerPort, kPort);
    EXPECT_EQ(seen_[0].bytes, std::string("<1#2>\0x", 7));
    EXPECT_EQ(seen_[1].peer, Loopback(3));
    EXPECT_EQ(seen_[1].peerPort, kPort + 1);
    EXPECT_EQ(seen_[1].bytes, "forged");
}

TEST_F(TapTest, ASendThatFailedIsNotTapped) {
    // Refused before a socket is chosen: a broadcast without permission.
    EXPECT_THROW(port_.Send(Loopback(255) | 0x00FFFF00u, "GO"), device::SendFailed);
    // Refused by the send itself: longer than a datagram can be.
    EXPECT_THROW(port_.Send(Loopback(2), std::string(70000, 'x')), device::SendFailed);
    EXPECT_TRUE(seen_.empty());
}

TEST_F(TapTest, AnEmptyTapRemovesIt) {
    UdpPeer device(Loopback(2), kPort);
    port_.SetTap({});
    port_.Send(Loopback(2), "GO");
    EXPECT_TRUE(seen_.empty());
}

}  // namespace
