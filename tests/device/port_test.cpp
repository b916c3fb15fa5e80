// The device port against peers on loopback addresses: what the wire tap sees, the source
// address, and runs taking turns on the port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
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

// Each test on a port of its own: the suite's tests run at once.
class TapTest : public ::testing::Test {
protected:
    explicit TapTest(std::uint16_t port) : kPort(port), port_(port, false) {}

    void SetUp() override {
        port_.SetTap([this](const device::WireEvent& e) {
            seen_.push_back(
                {e.sent, e.local, e.localPort, e.peer, e.peerPort, std::string(e.bytes)});
            EXPECT_GT(e.when.time_since_epoch().count(), 0);
        });
    }

    const std::uint16_t kPort;
    device::DevicePort port_;
    std::vector<Tapped> seen_;
};
struct TapSent : TapTest {
    TapSent() : TapTest(47101) {}
};
struct TapReceived : TapTest {
    TapReceived() : TapTest(47103) {}  // and the next port for a stranger
};
struct TapFailed : TapTest {
    TapFailed() : TapTest(47105) {}
};
struct TapRemoved : TapTest {
    TapRemoved() : TapTest(47106) {}
};

TEST_F(TapSent, ASentDatagramIsTappedOnceWithBothEnds) {
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

TEST_F(TapReceived, EveryReceivedDatagramIsTappedEvenOnesTheRunsIgnore) {
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

TEST_F(TapFailed, ASendThatFailedIsNotTapped) {
    // Refused before a socket is chosen: a broadcast without permission.
    EXPECT_THROW(port_.Send(Loopback(255) | 0x00FFFF00u, "GO"), device::SendFailed);
    // Refused by the send itself: longer than a datagram can be.
    EXPECT_THROW(port_.Send(Loopback(2), std::string(70000, 'x')), device::SendFailed);
    EXPECT_TRUE(seen_.empty());
}

TEST_F(TapRemoved, AnEmptyTapRemovesIt) {
    UdpPeer device(Loopback(2), kPort);
    port_.SetTap({});
    port_.Send(Loopback(2), "GO");
    EXPECT_TRUE(seen_.empty());
}

}  // namespace

namespace {

// A private folder for the lock files, gone with the test.
class LockDir {
public:
    LockDir() {
        char name[] = "/tmp/orvan-port-test-XXXXXX";
        path_ = ::mkdtemp(name) ? name : "";
    }
    ~LockDir() { std::filesystem::remove_all(path_); }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

device::PortOptions Options(const LockDir& dir, int waitMs,
                            std::optional<device::Ipv4> source = std::nullopt) {
    device::PortOptions o;
    o.source = source;
    o.portWait = std::chrono::milliseconds(waitMs);
    o.lockDir = dir.Path();
    return o;
}

long long MillisSince(device::Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(device::Clock::now() - start)
        .count();
}

struct NotLocalCase {
    const char* label;
    device::Ipv4 source;
};

class NotLocalTest : public ::testing::TestWithParam<NotLocalCase> {};

TEST_P(NotLocalTest, IsItsOwnError) {
    LockDir dir;
    EXPECT_THROW(device::DevicePort(47111, Options(dir, 0, GetParam().source)),
                 device::NotLocalAddress);
}

INSTANTIATE_TEST_SUITE_P(Source, NotLocalTest,
                         ::testing::Values(NotLocalCase{"elsewhere", 0x0A636363},
                                           NotLocalCase{"any", 0},
                                           NotLocalCase{"broadcast", 0xFFFFFFFF},
                                           NotLocalCase{"documentation", 0xC0000201}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(Source, BindsThatAddressOnlyAndSendsFromIt) {
    constexpr std::uint16_t kPort = 47112;
    LockDir dir;
    device::DevicePort port(kPort, Options(dir, 0, Loopback(2)));
    // The same port on another local address is free: the source alone is bound.
    UdpPeer neighbour(Loopback(1), kPort);
    EXPECT_TRUE(neighbour.Ok());
    UdpPeer device(Loopback(3), kPort);
    ASSERT_TRUE(device.Ok());
    EXPECT_EQ(port.LocalAddressFor(Loopback(3)), Loopback(2));
    port.Send(Loopback(3), "GO");
    const auto got = device.Receive(1000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->from, Loopback(2));
    EXPECT_EQ(got->fromPort, kPort);
    EXPECT_FALSE(neighbour.Receive(0));
}

TEST(Source, BoundAtOnceSoATakenPortIsKnownBeforeAnythingIsSent) {
    constexpr std::uint16_t kPort = 47113;
    LockDir dir;
    UdpPeer holder(Loopback(2), kPort);
    ASSERT_TRUE(holder.Ok());
    EXPECT_THROW(device::DevicePort(kPort, Options(dir, 0, Loopback(2))), device::PortTaken);
}

TEST(PortWait, AnotherProgramsPortIsTakenAtOnce) {
    constexpr std::uint16_t kPort = 47114;
    LockDir dir;
    UdpPeer holder(Loopback(1), kPort);
    ASSERT_TRUE(holder.Ok());
    device::DevicePort port(kPort, Options(dir, 5000));
    const auto start = device::Clock::now();
    try {
        port.Open(Loopback(2));
        ADD_FAILURE() << "bound a taken port";
    } catch (const device::PortTaken& e) {
        EXPECT_NE(std::string(e.what()).find("another program"), std::string::npos) << e.what();
    }
    EXPECT_LT(MillisSince(start), 300);
}

TEST(PortWait, AnotherRunIsWaitedForNoLongerThanThePortWait) {
    constexpr std::uint16_t kPort = 47115;
    LockDir dir;
    device::DevicePort first(kPort, Options(dir, 0));
    first.Open(Loopback(2));
    device::DevicePort second(kPort, Options(dir, 400));
    const auto start = device::Clock::now();
    try {
        second.Open(Loopback(2));
        ADD_FAILURE() << "bound a port another run holds";
    } catch (const device::PortTaken& e) {
        EXPECT_NE(std::string(e.what()).find("another orvanctl run"), std::string::npos)
            << e.what();
    }
    EXPECT_GE(MillisSince(start), 390);
    EXPECT_LT(MillisSince(start), 1500);
}

TEST(PortWait, TwoProcessesTakeTurns) {
    constexpr std::uint16_t kPort = 47116;
    LockDir dir;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 0;
        try {
            device::DevicePort port(kPort, Options(dir, 0));
            port.Open(Loopback(2));
            (void)!::write(ready[1], "x", 1);
            ::usleep(500 * 1000);
        } catch (...) {
            code = 1;
        }
        ::_exit(code);
    }
    ::close(ready[1]);
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    const auto start = device::Clock::now();
    device::DevicePort port(kPort, Options(dir, 5000));
    EXPECT_NO_THROW(port.Open(Loopback(2)));
    EXPECT_GE(MillisSince(start), 300);
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    UdpPeer device(Loopback(2), kPort);
    port.Send(Loopback(2), "GO");
    EXPECT_TRUE(device.Receive(1000));
}

TEST(PortWait, RunsInAnotherNetworkNamespaceDoNotWaitForThisOne) {
    constexpr std::uint16_t kPort = 47118;
    LockDir dir;
    device::DevicePort here(kPort, Options(dir, 0));
    here.Open(Loopback(2));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::unshare(CLONE_NEWNET) != 0) ::_exit(77);
        if (std::system("ip link set lo up") != 0) ::_exit(77);
        try {
            device::DevicePort there(kPort, Options(dir, 0));
            there.Open(Loopback(2));
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot make a network namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the other namespace's run found the port held";
}

TEST(PortWait, APlantedLinkOrFifoAtTheLockIsNotFollowed) {
    constexpr std::uint16_t kPort = 47117;
    LockDir dir;
    const std::string lock = device::LockPath(dir.Path(), Loopback(1), kPort);
    for (const std::string& target : {dir.Path() + "/absent", dir.Path() + "/victim"}) {
        SCOPED_TRACE(target);
        if (target.ends_with("victim")) std::ofstream(target) << "kept";
        ASSERT_EQ(::symlink(target.c_str(), lock.c_str()), 0);
        device::DevicePort port(kPort, Options(dir, 0));
        EXPECT_NO_THROW(port.Open(Loopback(2)));
        if (target.ends_with("absent")) {
            EXPECT_FALSE(std::filesystem::exists(target));
        } else {
            // Nothing holds the file the link names.
            const int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
            EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
            ::close(fd);
        }
        ASSERT_EQ(::unlink(lock.c_str()), 0);
    }
    ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0);
    const auto start = device::Clock::now();
    device::DevicePort port(kPort, Options(dir, 0));
    EXPECT_NO_THROW(port.Open(Loopback(2)));
    EXPECT_LT(MillisSince(start), 300);
}

}  // namespace
