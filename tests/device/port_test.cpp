// The device port against peers on loopback addresses: what the wire tap sees, the source
// address, and runs taking turns on the port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "device/port.h"
#include "fake_device.h"

namespace {

using device_test::Loopback;
using device_test::MillisSince;
using device_test::UdpPeer;

struct Tapped {
    bool sent;
    device::Ipv4 local, peer;
    std::uint16_t localPort, peerPort;
    std::string bytes;
    bool operator==(const Tapped&) const = default;
};

void TapInto(device::DevicePort& port, std::vector<Tapped>& seen) {
    port.SetTap([&seen](const device::WireEvent& e) {
        seen.push_back({e.sent, e.local, e.peer, e.localPort, e.peerPort, std::string(e.bytes)});
        // Stamped when it happened: within a few seconds of now, not in another unit.
        EXPECT_LT(std::chrono::abs(std::chrono::system_clock::now() - e.when),
                  std::chrono::seconds(5));
    });
}

// Each test on a port of its own: the suite's tests run at once.
TEST(Tap, EveryDatagramOnceWithBothEndsEvenOnesTheRunsIgnoreButNoFailedSend) {
    constexpr std::uint16_t kPort = 47101;
    device::DevicePort port(kPort, false);
    std::vector<Tapped> seen;
    TapInto(port, seen);
    UdpPeer device(Loopback(2), kPort);
    UdpPeer stranger(Loopback(3), kPort + 1);
    ASSERT_TRUE(device.Ok() && stranger.Ok());
    port.Send(Loopback(2), "GO");
    const auto got = device.Receive(1000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, "GO");
    // Refused before a socket is chosen (a broadcast without permission), and by the send
    // itself (longer than a datagram can be).
    EXPECT_THROW(port.Send(Loopback(255) | 0x00FFFF00u, "GO"), device::SendFailed);
    EXPECT_THROW(port.Send(Loopback(2), std::string(70000, 'x')), device::SendFailed);
    const std::string reply("<1#2>\0x", 7);
    ASSERT_TRUE(device.SendTo(Loopback(1), kPort, reply));
    ASSERT_TRUE(stranger.SendTo(Loopback(1), kPort, "forged"));
    std::vector<device::Datagram> received;
    const auto until = device::Clock::now() + std::chrono::seconds(2);
    while (received.size() < 2 && device::Clock::now() < until) port.Receive(until, received);
    port.SetTap({});  // an empty tap removes it
    port.Send(Loopback(2), "GO");
    EXPECT_EQ(seen,
              (std::vector<Tapped>{{true, Loopback(1), Loopback(2), kPort, kPort, "GO"},
                                   {false, Loopback(1), Loopback(2), kPort, kPort, reply},
                                   {false, Loopback(1), Loopback(3), kPort, kPort + 1, "forged"}}));
}

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

TEST(Source, AnAddressThatIsNotLocalIsItsOwnError) {
    LockDir dir;
    for (device::Ipv4 source : {0x0A636363u, 0u, 0xFFFFFFFFu}) {
        EXPECT_THROW(device::DevicePort(47111, Options(dir, 0, source)), device::NotLocalAddress)
            << std::hex << source;
    }
}

TEST(Source, BindsThatAddressOnlyAtOnceAndSendsFromIt) {
    constexpr std::uint16_t kPort = 47112;
    LockDir dir;
    {
        UdpPeer holder(Loopback(2), kPort);
        ASSERT_TRUE(holder.Ok());
        // Bound at once, so a taken port is known before anything is sent.
        EXPECT_THROW(device::DevicePort(kPort, Options(dir, 0, Loopback(2))), device::PortTaken);
    }
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

// The messages and a run waiting its turn are seen from orvanctl in its namespace tests.
TEST(PortWait, AnotherRunIsWaitedForNoLongerThanThePortWaitAnotherProgramNotAtAll) {
    constexpr std::uint16_t kPort = 47114;
    LockDir dir;
    device::DevicePort first(kPort, Options(dir, 0));
    first.Open(Loopback(2));
    auto start = device::Clock::now();
    EXPECT_THROW(device::DevicePort(kPort, Options(dir, 400)).Open(Loopback(2)), device::PortTaken);
    // The bounds are ten times what is expected: the suite shares the machine.
    EXPECT_GE(MillisSince(start), 390);
    EXPECT_LT(MillisSince(start), 10 * 400);
    UdpPeer holder(Loopback(1), kPort + 1);
    ASSERT_TRUE(holder.Ok());
    start = device::Clock::now();
    EXPECT_THROW(device::DevicePort(kPort + 1, Options(dir, 30000)).Open(Loopback(2)),
                 device::PortTaken);
    EXPECT_LT(MillisSince(start), 3000);
}

TEST(PortWait, RunsInAnotherNetworkNamespaceDoNotWaitForThisOne) {
    constexpr std::uint16_t kPort = 47118;
    LockDir dir;
    device::DevicePort here(kPort, Options(dir, 0));
    here.Open(Loopback(2));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) ::_exit(77);
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

// The message of a lock that cannot be used: never a run without turns, never another program.
std::string LockRefusal(device::DevicePort& port) {
    try {
        port.Open(Loopback(2));
        ADD_FAILURE() << "a run without turns";
    } catch (const device::PortTaken& e) {
        ADD_FAILURE() << "blamed on another program: " << e.what();
    } catch (const base::Error& e) {
        return e.what();
    }
    return {};
}

TEST(PortWait, APlantedLinkOrFifoAtTheLockIsNotFollowedButNamed) {
    constexpr std::uint16_t kPort = 47117;
    LockDir dir;
    const std::string lock = device::LockPath(dir.Path(), Loopback(1), kPort);
    const auto refused = [&](const std::string& why) {
        device::DevicePort port(kPort, Options(dir, 0));
        EXPECT_EQ(LockRefusal(port),
                  "cannot use the lock file " + lock + " (runs take turns on it): " + why);
    };
    for (const std::string& target : {dir.Path() + "/absent", dir.Path() + "/victim"}) {
        SCOPED_TRACE(target);
        if (target.ends_with("victim")) std::ofstream(target) << "kept";
        ASSERT_EQ(::symlink(target.c_str(), lock.c_str()), 0);
        refused("it is a symbolic link, not followed");
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
    refused("not a regular file");
    EXPECT_LT(MillisSince(start), 3000);
}

// Root writes into any folder: a folder that is a file stands in for one that refuses it.
TEST(PortWait, ALockFolderThatCannotHoldTheLockIsNamed) {
    constexpr std::uint16_t kPort = 47119;
    LockDir dir;
    std::ofstream(dir.Path() + "/file") << "x";
    device::PortOptions o = Options(dir, 0);
    o.lockDir = dir.Path() + "/file";
    device::DevicePort port(kPort, o);
    const std::string what = LockRefusal(port);
    EXPECT_TRUE(what.starts_with("cannot use the lock file " + o.lockDir + "/")) << what;
    EXPECT_TRUE(what.ends_with(": Not a directory")) << what;
}

// Here the holder is this test program: not an orvanctl run. A stop ends the wait at once.
TEST(PortWait, AHolderThatIsNotOrvanctlIsNamedAndAStopEndsTheWait) {
    constexpr std::uint16_t kPort = 47120;
    LockDir dir;
    const std::string lock = device::LockPath(dir.Path(), Loopback(1), kPort);
    std::ofstream(lock) << "";
    const int held = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    try {
        device::DevicePort(kPort, Options(dir, 100)).Open(Loopback(2));
        ADD_FAILURE() << "no error";
    } catch (const device::PortTaken& e) {
        EXPECT_EQ(std::string(e.what()),
                  "port " + std::to_string(kPort) +
                      " on 127.0.0.1 is held by another program (device_port_tes, process " +
                      std::to_string(::getpid()) + ") for longer than --port-wait 0.1 s");
    }
    device::RequestStop();
    const auto start = device::Clock::now();
    EXPECT_THROW(device::DevicePort(kPort, Options(dir, 30000)).Open(Loopback(2)),
                 device::Interrupted);
    device::ClearStop();
    EXPECT_LT(MillisSince(start), 3000);
    ::close(held);
}

}  // namespace
