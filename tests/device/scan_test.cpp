// The scan against devices played on loopback addresses: rounds of retries, which replies
// count, why an address was not asked, and the kernel refusing sends for a while.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "device/scan.h"
#include "fake_device.h"

namespace {

template <typename Case>
requires requires(const Case& c) {
    c.label;
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.label;
}

using device_test::FakeDevice;
using device_test::Loopback;

FakeDevice::Behaviour Answers(int dropFirst = 0) {
    return {.reply = device_test::kSampleReply,
            .replyPort = 0,
            .onCommand = {},
            .dropFirst = dropFirst};
}
FakeDevice::Behaviour Silent() {
    return {.reply = "", .replyPort = 0, .onCommand = {}, .dropFirst = 0};
}

device::ScanOptions Fast(int retries) {
    device::ScanOptions o;
    o.rate = 1000;
    o.wait = std::chrono::milliseconds(100);
    o.retries = retries;
    return o;
}

long long MillisSince(device::Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(device::Clock::now() - start)
        .count();
}

std::vector<device::Ipv4> Found(const device::ScanResult& r) {
    std::vector<device::Ipv4> found;
    for (const auto& [address, reply] : r.replies) found.push_back(address);
    return found;
}

struct RetriesCase {
    const char* label;
    int retries;
    std::vector<int> found;   // last parts of the addresses that answered
    std::size_t requests[3];  // received by: the answering, the late, the silent device
};

class ScanRetriesTest : public ::testing::TestWithParam<RetriesCase> {};

TEST_P(ScanRetriesTest, AsksAgainOnlyTheAddressesThatDidNotAnswer) {
    const RetriesCase& c = GetParam();
    // A port per row: the suite's tests run at once.
    const std::uint16_t kPort = std::uint16_t(47320 + c.retries);
    FakeDevice answering(Loopback(2), kPort, Answers());
    FakeDevice late(Loopback(3), kPort, Answers(1));
    FakeDevice silent(Loopback(4), kPort, Silent());
    ASSERT_TRUE(answering.Ok() && late.Ok() && silent.Ok());
    device::DevicePort port(kPort, false);
    const auto start = device::Clock::now();
    const device::ScanResult r =
        device::Scan(port, {Loopback(2), Loopback(3), Loopback(4)}, Fast(c.retries));
    const auto elapsed = MillisSince(start);
    std::vector<device::Ipv4> expected;
    for (int last : c.found) expected.push_back(Loopback(last));
    EXPECT_EQ(Found(r), expected);
    EXPECT_EQ(r.rounds, c.retries + 1);
    EXPECT_EQ(r.sent, c.requests[0] + c.requests[1] + c.requests[2]);
    EXPECT_EQ(answering.Count("GO"), c.requests[0]);
    EXPECT_EQ(late.Count("GO"), c.requests[1]);
    EXPECT_EQ(silent.Count("GO"), c.requests[2]);
    // Each round waits for its replies; the whole stays within the stated bound.
    EXPECT_GE(elapsed, 100 * (c.retries + 1));
    EXPECT_LE(elapsed, std::chrono::duration_cast<std::chrono::milliseconds>(
                           device::ScanBound(3, Fast(c.retries)))
                               .count() +
                           500);
}

INSTANTIATE_TEST_SUITE_P(Scan, ScanRetriesTest,
                         ::testing::Values(RetriesCase{"none", 0, {2}, {1, 1, 1}},
                                           RetriesCase{"one", 1, {2, 3}, {1, 2, 2}},
                                           RetriesCase{"two", 2, {2, 3}, {1, 2, 3}}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(Scan, OnlyTheDevicePortsRepliesCount) {
    constexpr std::uint16_t kPort = 47302;
    FakeDevice elsewhere(Loopback(2), kPort,
                         {.reply = device_test::kSampleReply,
                          .replyPort = kPort + 9,
                          .onCommand = {},
                          .dropFirst = 0});
    FakeDevice device(Loopback(3), kPort, Answers());
    device::DevicePort port(kPort, false);
    const device::ScanResult r = device::Scan(port, {Loopback(2), Loopback(3)}, Fast(0));
    EXPECT_EQ(Found(r), std::vector<device::Ipv4>{Loopback(3)});
}

TEST(Scan, AddressesThatCanNeverBeAskedAreCountedByReasonAndNotAskedAgain) {
    constexpr std::uint16_t kPort = 47303;
    FakeDevice silent(Loopback(2), kPort, Silent());
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
        devices.push_back(std::make_unique<FakeDevice>(Loopback(last), kPort, Answers()));
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
    constexpr std::uint16_t kPort = 47305;
    RefusingPort port(kPort, 1 << 30, 0);
    device::ScanOptions o = Fast(2);
    o.giveUp = std::chrono::milliseconds(300);
    const auto start = device::Clock::now();
    const device::ScanResult r = device::Scan(port, {Loopback(2), Loopback(3), Loopback(4)}, o);
    EXPECT_EQ(r.sent, 0u);
    EXPECT_EQ(r.notSent, 3u);
    EXPECT_EQ(r.notAsked, (std::map<std::string, std::size_t>{
                              {"refused by the kernel for 0.3 s (its neighbour table full?)", 3}}));
    EXPECT_LT(MillisSince(start), 1500);
    EXPECT_GE(MillisSince(start), 300);
}

struct BoundCase {
    const char* label;
    std::size_t addresses;
    double rate;
    int waitMs, retries;
    std::size_t inFlight;
    long long boundMs, oneLinkMs;
};

class BoundTest : public ::testing::TestWithParam<BoundCase> {};

TEST_P(BoundTest, RateAndWaitOrTheKernelsHoldWhicheverIsLonger) {
    const BoundCase& c = GetParam();
    device::ScanOptions o;
    o.rate = c.rate;
    o.wait = std::chrono::milliseconds(c.waitMs);
    o.retries = c.retries;
    const device::LinkHold hold{c.inFlight, std::chrono::milliseconds(3000)};
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    EXPECT_EQ(duration_cast<milliseconds>(device::ScanBound(c.addresses, o)).count(), c.boundMs);
    EXPECT_EQ(duration_cast<milliseconds>(device::ScanBoundOnOneLink(c.addresses, o, hold)).count(),
              c.oneLinkMs);
}

INSTANTIATE_TEST_SUITE_P(
    Scan, BoundTest,
    ::testing::Values(BoundCase{"a_24_fits_in_flight", 254, 500, 1000, 0, 256, 1508, 1508},
                      BoundCase{"two_batches", 510, 10000, 1000, 0, 256, 1051, 4100},
                      BoundCase{"slash16_on_one_link", 65534, 10000, 1000, 0, 256, 7553, 791500},
                      BoundCase{"slash16_behind_a_router", 65534, 10000, 1000, 0, 65536, 7553,
                                7553},
                      BoundCase{"retries_ask_again", 510, 10000, 1000, 2, 256, 3153, 12300},
                      BoundCase{"nothing_to_ask", 0, 200, 1000, 0, 256, 1000, 1000}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
