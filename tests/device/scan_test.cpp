// The scan against devices played on loopback addresses: rounds of retries, which replies
// count, why an address was not asked, and the kernel refusing sends for a while.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "device/scan.h"
#include "fake_device.h"

namespace {

using device_test::FakeDevice;
using device_test::Loopback;
using device_test::MillisSince;

device::ScanOptions Fast(int retries) {
    device::ScanOptions o;
    o.rate = 1000;
    o.wait = std::chrono::milliseconds(100);
    o.retries = retries;
    return o;
}

std::vector<device::Ipv4> Found(const device::ScanResult& r) {
    std::vector<device::Ipv4> found;
    for (const auto& [address, reply] : r.replies) found.push_back(address);
    return found;
}

// Each test on a port of its own: the suite's tests run at once.
TEST(Scan, AsksAgainOnlyTheAddressesThatDidNotAnswer) {
    constexpr std::uint16_t kPort = 47320;
    FakeDevice answering(Loopback(2), kPort);
    FakeDevice::Behaviour late;
    late.dropFirst = 1;
    FakeDevice lateDevice(Loopback(3), kPort, late);
    FakeDevice silent(Loopback(4), kPort, FakeDevice::Silent());
    ASSERT_TRUE(answering.Ok() && lateDevice.Ok() && silent.Ok());
    device::DevicePort port(kPort, false);
    const auto start = device::Clock::now();
    const device::ScanResult r =
        device::Scan(port, {Loopback(2), Loopback(3), Loopback(4)}, Fast(2));
    const auto elapsed = MillisSince(start);
    EXPECT_EQ(Found(r), (std::vector<device::Ipv4>{Loopback(2), Loopback(3)}));
    EXPECT_EQ(r.rounds, 3);
    EXPECT_EQ(r.sent, 6u);
    EXPECT_EQ(answering.Count("GO"), 1u);
    EXPECT_EQ(lateDevice.Count("GO"), 2u);
    EXPECT_EQ(silent.Count("GO"), 3u);
    // Each round waits for its replies; the rounds and requests counted above show it ends.
    EXPECT_GE(elapsed, 300);
}

TEST(Scan, OnlyTheDevicePortsRepliesCount) {
    constexpr std::uint16_t kPort = 47302;
    FakeDevice::Behaviour b;
    b.replyPort = kPort + 9;
    FakeDevice elsewhere(Loopback(2), kPort, b);
    FakeDevice device(Loopback(3), kPort);
    device::DevicePort port(kPort, false);
    const device::ScanResult r = device::Scan(port, {Loopback(2), Loopback(3)}, Fast(0));
    EXPECT_EQ(Found(r), std::vector<device::Ipv4>{Loopback(3)});
}

// A reply-shaped datagram from the device port of an address outside the range, sent while the
// scan runs: counted only in broadcast mode, where devices answer from addresses not asked.
TEST(Scan, RepliesFromOutsideTheRangeCountOnlyWhenAnySourceIsAccepted) {
    constexpr std::uint16_t kPort = 47327;
    FakeDevice first(Loopback(2), kPort), second(Loopback(3), kPort);
    const device_test::UdpPeer stranger(Loopback(4), kPort);
    for (const bool any : {false, true}) {
        SCOPED_TRACE(any ? "any source" : "range only");
        device::DevicePort port(kPort, false);
        bool sent = false;
        std::size_t answered = 0;
        const auto r = device::Scan(
            port, {Loopback(2), Loopback(3)}, 1000, std::chrono::milliseconds(200), any,
            [&](const device::ScanProgress& p) {
                if (p.sent > 0 && !sent)
                    sent = stranger.SendTo(Loopback(1), kPort, device_test::kSampleReply);
                answered = p.answered;
            });
        ASSERT_TRUE(sent);
        auto expected = std::vector<device::Ipv4>{Loopback(2), Loopback(3)};
        if (any) expected.push_back(Loopback(4));
        EXPECT_EQ(Found(r), expected);
        EXPECT_EQ(answered, expected.size());
    }
}

TEST(Scan, AddressesThatCanNeverBeAskedAreCountedByReasonAndNotAskedAgain) {
    constexpr std::uint16_t kPort = 47303;
    FakeDevice silent(Loopback(2), kPort, FakeDevice::Silent());
    device::DevicePort port(kPort, false);
    const device::ScanResult r =
        device::Scan(port, {Loopback(2), 0x7FFFFFFF, 0x0AD50001, 0x0AD50002}, Fast(1));
    EXPECT_EQ(r.notSent, 3u);
    EXPECT_EQ(r.notAsked, (std::map<std::string, std::size_t>{
                              {"broadcast address without --broadcast", 1}, {"no route", 2}}));
    EXPECT_EQ(r.sent, 2u);
    EXPECT_EQ(silent.Count("GO"), 2u);
    EXPECT_FALSE(r.firstError.empty());
}

// The kernel refusing sends as a full neighbour table does: every send of a stretch.
class RefusingPort : public device::DevicePort {
public:
    RefusingPort(std::uint16_t port, int refuseFirst, int thenEvery)
        : device::DevicePort(port, false), refuseFirst_(refuseFirst), thenEvery_(thenEvery) {}
    int attempts = 0;

protected:
    int SendDatagram(int fd, device::Ipv4 to, std::string_view bytes) override {
        ++attempts;
        if (attempts <= refuseFirst_ || (thenEvery_ > 0 && attempts % thenEvery_ == 0)) {
            return attempts % 2 ? EAGAIN : ENOBUFS;
        }
        return device::DevicePort::SendDatagram(fd, to, bytes);
    }

private:
    int refuseFirst_, thenEvery_;
};

TEST(Scan, ASendRefusedForNowIsTriedAgainAfterAPause) {
    constexpr std::uint16_t kPort = 47304;
    std::vector<std::unique_ptr<FakeDevice>> devices;
    std::vector<device::Ipv4> addresses;
    for (int last = 2; last < 12; ++last) {
        devices.push_back(std::make_unique<FakeDevice>(Loopback(last), kPort));
        addresses.push_back(Loopback(last));
    }
    RefusingPort port(kPort, 5, 3);
    const auto start = device::Clock::now();
    const device::ScanResult r = device::Scan(port, addresses, Fast(0));
    EXPECT_EQ(r.notSent, 0u);
    EXPECT_TRUE(r.notAsked.empty());
    EXPECT_EQ(r.sent, addresses.size());
    EXPECT_EQ(Found(r), addresses);
    EXPECT_GE(r.refusedForNow, 5u);
    EXPECT_EQ(port.attempts, int(r.sent + r.refusedForNow));
    for (const auto& d : devices) EXPECT_EQ(d->Count("GO"), 1u);
    // Paused, not spun: 10 + 20 + 40 + 80 + 160 ms for the first five refusals at least.
    EXPECT_GE(MillisSince(start), 310);
    EXPECT_GE(r.paused, std::chrono::milliseconds(310));
}

TEST(Scan, AKernelThatNeverTakesASendEndsTheScanWithEveryAddressNotAsked) {
    RefusingPort port(47305, 1 << 30, 0);
    device::ScanOptions o = Fast(2);
    o.giveUp = std::chrono::milliseconds(300);
    const auto start = device::Clock::now();
    const device::ScanResult r = device::Scan(port, {Loopback(2), Loopback(3), Loopback(4)}, o);
    EXPECT_EQ(r.sent, 0u);
    EXPECT_EQ(r.notSent, 3u);
    EXPECT_EQ(r.notAsked, (std::map<std::string, std::size_t>{
                              {"refused by the kernel for 0.3 s (its neighbour table full?)", 3}}));
    // Given up once the kernel has refused for 0.3 s, whatever the load: the pauses asked for
    // add up to that and one more pause at most.
    EXPECT_LE(r.paused, o.giveUp + std::chrono::milliseconds(100));
    EXPECT_GE(MillisSince(start), 300);
}

TEST(Scan, TheBoundIsRateAndWaitOrTheKernelsHoldWhicheverIsLonger) {
    struct Row {
        std::size_t addresses;
        double rate;
        int retries;
        std::size_t inFlight;
        long long boundMs, oneLinkMs;
    };
    for (const Row& c : {Row{254, 500, 0, 256, 1508, 1508},  // a /24 fits in flight
                         Row{65534, 10000, 0, 256, 7553, 791500},
                         Row{65534, 10000, 0, 65536, 7553, 7553},  // behind a router
                         Row{510, 10000, 2, 256, 3153, 12300}}) {
        device::ScanOptions o;
        o.rate = c.rate;
        o.wait = std::chrono::milliseconds(1000);
        o.retries = c.retries;
        const device::LinkHold hold{c.inFlight, std::chrono::milliseconds(3000)};
        using std::chrono::duration_cast;
        using std::chrono::milliseconds;
        SCOPED_TRACE(c.addresses);
        EXPECT_EQ(duration_cast<milliseconds>(device::ScanBound(c.addresses, o)).count(),
                  c.boundMs);
        EXPECT_EQ(
            duration_cast<milliseconds>(device::ScanBoundOnOneLink(c.addresses, o, hold)).count(),
            c.oneLinkMs);
    }
}

}  // namespace
