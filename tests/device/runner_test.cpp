// The read-change-write runs against a device played on loopback: how many requests go out,
// which replies count, what each result says was sent.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "device/runner.h"
#include "fake_device.h"

namespace {

using device::Outcome;
using device::Setting;
using device_test::FakeDevice;
using device_test::Loopback;
using device_test::PrintTo;

device::Timing Quick(int retries) {
    device::Timing t;
    t.timeout = std::chrono::milliseconds(80);
    t.retries = retries;
    t.timeDelay = std::chrono::milliseconds(50);
    t.settle = std::chrono::milliseconds(20);
    return t;
}

device::Task Read() {
    device::Task t;
    t.address = Loopback(2);
    return t;
}

device::Task SetTelemetry() {
    device::Task t = Read();
    device::Settings wanted;
    wanted[Setting::kTelemetryPort] = "7000";
    t.wanted = wanted;
    return t;
}

device::Result RunOne(std::uint16_t port, const device::Task& task, const device::Timing& t) {
    device::DevicePort devicePort(port, false);
    return device::Run(devicePort, {task}, 1, t).front();
}

// Each test on a port of its own: the suite's tests run at once.
TEST(Runner, SendsExactlyOneRequestMoreThanTheRetries) {
    constexpr std::uint16_t kPort = 47201;
    FakeDevice silent(Loopback(2), kPort, FakeDevice::Silent());
    ASSERT_TRUE(silent.Ok());
    const device::Result r = RunOne(kPort, Read(), Quick(2));
    EXPECT_EQ(r.outcome, Outcome::kNoReply);
    EXPECT_TRUE(r.sent.request);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(silent.Received(), std::vector<std::string>(3, "GO"));
}

TEST(Runner, AReplyFromAnotherPortOfTheDevicesAddressIsNotTheDevice) {
    constexpr std::uint16_t kPort = 47202;
    FakeDevice::Behaviour b;
    b.replyPort = kPort + 7;
    FakeDevice elsewhere(Loopback(2), kPort, b);
    ASSERT_TRUE(elsewhere.Ok());
    const device::Result r = RunOne(kPort, SetTelemetry(), Quick(1));
    EXPECT_EQ(r.outcome, Outcome::kNoReply);
    EXPECT_EQ(elsewhere.Count("<"), 0u);
}

TEST(Runner, ALongReplyIsReadWholeAndOneLongerThanAReplyCanBeWritesNothingBack) {
    const std::string head = device_test::kSampleReply.substr(0, 57);
    const std::string mac(3000, 'M');
    {
        FakeDevice device(Loopback(2), 47203, FakeDevice::Answers(head + mac + ">"));
        const device::Result r = RunOne(47203, Read(), Quick(0));
        EXPECT_EQ(r.outcome, Outcome::kRead) << r.message;
        EXPECT_EQ(r.before[Setting::kMac], mac);
    }
    FakeDevice device(Loopback(2), 47204, FakeDevice::Answers(head + std::string(9000, 'M') + ">"));
    const device::Result r = RunOne(47204, SetTelemetry(), Quick(0));
    EXPECT_EQ(r.outcome, Outcome::kPartial);
    EXPECT_EQ(r.message,
              "the reply is 9058 bytes, longer than the 8192 a configuration reply can be; not "
              "converted: mac; nothing sent");
    EXPECT_TRUE(r.command.empty());
    EXPECT_FALSE(r.sent.command);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(device.Received(), std::vector<std::string>{"GO"});
}

struct SentCase {
    const char* label;
    std::uint16_t port;
    bool silent, set, time, dryRun;
    Outcome outcome;
    std::vector<std::string> kinds;  // what the device received, by first bytes
    std::string reply = device_test::kSampleReply;
};

class SentTest : public ::testing::TestWithParam<SentCase> {};

// What the result says went out is what the device received.
TEST_P(SentTest, EachResultSaysWhatWentOut) {
    const SentCase& c = GetParam();
    FakeDevice device(Loopback(2), c.port,
                      c.silent ? FakeDevice::Silent() : FakeDevice::Answers(c.reply));
    device::Task task = c.set ? SetTelemetry() : Read();
    task.time = c.time;
    task.dryRun = c.dryRun;
    const device::Result r = RunOne(c.port, task, Quick(0));
    EXPECT_EQ(r.outcome, c.outcome) << r.message;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<std::string> kinds;
    for (const std::string& d : device.Received()) kinds.push_back(d.substr(0, 2));
    EXPECT_EQ(kinds, c.kinds);
    const auto has = [&](const char* k) { return std::ranges::count(c.kinds, k) > 0; };
    EXPECT_EQ(r.sent.request, has("GO"));
    EXPECT_EQ(r.sent.command, has("<1"));
    EXPECT_EQ(r.sent.time, has("US"));
    EXPECT_EQ(r.timeSent, has("US"));
}

INSTANTIATE_TEST_SUITE_P(
    Runner, SentTest,
    ::testing::Values(
        SentCase{"time_no_reply", 47220, true, false, true, false, Outcome::kNoReply, {"GO"}},
        SentCase{"time", 47221, false, false, true, false, Outcome::kChanged, {"GO", "US"}},
        SentCase{"read_only", 47222, false, false, false, false, Outcome::kRead, {"GO"}},
        SentCase{
            "set_and_time", 47224, false, true, true, false, Outcome::kChanged, {"GO", "<1", "US"}},
        SentCase{"set_and_time_dry_run", 47226, false, true, true, true, Outcome::kDryRun, {"GO"}},
        SentCase{"set_after_a_reply_cut_in_its_mac",
                 47227,
                 false,
                 true,
                 true,
                 false,
                 Outcome::kPartial,
                 {"GO"},
                 device_test::kSampleReply.substr(0, 66)},
        SentCase{"time_after_a_reply_without_the_later_fields",
                 47228,
                 false,
                 false,
                 true,
                 false,
                 Outcome::kPartial,
                 {"GO"},
                 "<1788#1789#C0.A8.77.1>"},
        SentCase{"set_after_a_reply_with_a_port_out_of_range",
                 47229,
                 false,
                 true,
                 true,
                 false,
                 Outcome::kPartial,
                 {"GO"},
                 "<1788#FFFFFFFF#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#M>"}),
    device_test::kLabel);

TEST(Runner, InterruptedAfterTheCommandSaysItWentOut) {
    constexpr std::uint16_t kPort = 47206;
    FakeDevice::Behaviour b;
    b.onCommand = [](const std::string&) { device::RequestStop(); };
    FakeDevice device(Loopback(2), kPort, b);
    device::Task task = SetTelemetry();
    task.time = true;
    device::Timing t = Quick(0);
    t.timeDelay = std::chrono::milliseconds(2000);
    const device::Result r = RunOne(kPort, task, t);
    device::ClearStop();
    EXPECT_EQ(r.outcome, Outcome::kInterrupted);
    EXPECT_TRUE(r.sent.request && r.sent.command);
    EXPECT_FALSE(r.sent.time);
    EXPECT_EQ(r.message,
              "interrupted after the configuration command was sent; the time command was not "
              "sent");
}

TEST(Runner, InterruptedBeforeTheCommandSaysNothingWentOut) {
    constexpr std::uint16_t kPort = 47208;
    FakeDevice silent(Loopback(2), kPort, FakeDevice::Silent());
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        device::RequestStop();
    });
    const device::Result r = RunOne(kPort, SetTelemetry(), Quick(5));
    stopper.join();
    device::ClearStop();
    EXPECT_EQ(r.outcome, Outcome::kInterrupted);
    EXPECT_TRUE(r.sent.request);
    EXPECT_FALSE(r.sent.command || r.sent.time);
    EXPECT_EQ(r.message, "");
}

// The line before a command cannot be written (a full disk under --log): that command and
// every later one stay unsent, a device whose command went out finishes, every task is
// reported, and the run then throws.
TEST(Runner, AFailureBeforeACommandStopsTheRunButNotTheDevicesInFlight) {
    constexpr std::uint16_t kPort = 47231;
    FakeDevice::Behaviour changed = FakeDevice::Answers();
    changed.later = {"<1B58#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>"};
    FakeDevice first(Loopback(2), kPort, changed);
    FakeDevice::Behaviour late = FakeDevice::Answers();
    late.dropFirst = 1;
    FakeDevice second(Loopback(3), kPort, late);
    FakeDevice third(Loopback(4), kPort);
    std::vector<device::Task> tasks(3, SetTelemetry());
    tasks[0].verify = true;
    for (int i = 0; i < 3; ++i) tasks[std::size_t(i)].address = Loopback(2 + i);
    device::Timing t = Quick(1);
    t.settle = std::chrono::milliseconds(1500);  // the first is still in flight at the stop
    t.beforeCommand = [](const device::Task& task, const device::Result&) {
        if (task.address == Loopback(3)) throw base::Error("disk full");
    };
    std::vector<device::Result> done(3);
    device::DevicePort port(kPort, false);
    EXPECT_THROW(device::Run(port, tasks, 2, t,
                             [&](std::size_t i, const device::Result& r) { done[i] = r; }),
                 base::Error);
    EXPECT_EQ(done[0].outcome, Outcome::kChanged) << done[0].message;
    EXPECT_TRUE(done[0].verifiedAt);
    EXPECT_EQ(done[1].outcome, Outcome::kFailed);
    EXPECT_EQ(done[1].message, "disk full");
    EXPECT_EQ(done[2].message, "not started: the run stopped before it");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(first.Count("<"), 1u);
    EXPECT_EQ(second.Count("<"), 0u);
    EXPECT_EQ(third.Received().size(), 0u);
}

TEST(Runner, AVerifyThatCannotRouteIsAVerifyFailure) {
    // Elsewhere a route may exist, and the verifying request would leave the machine.
    if (!std::getenv("ORVAN_NETNS")) GTEST_SKIP() << "needs a private network namespace";
    constexpr std::uint16_t kPort = 47207;
    FakeDevice device(Loopback(2), kPort);
    device::Task task = Read();
    device::Settings wanted;
    wanted[Setting::kIp] = "10.213.0.9";  // no route inside the test's namespace
    task.wanted = wanted;
    task.verify = true;
    const device::Result r = RunOne(kPort, task, Quick(0));
    EXPECT_EQ(r.outcome, Outcome::kVerifyFailed) << r.message;
    EXPECT_TRUE(r.sent.command);
    EXPECT_TRUE(r.message.starts_with(
        "cannot verify at the new address 10.213.0.9: no route to 10.213.0.9"))
        << r.message;
}

struct IdentityCase {
    const char* label;
    std::uint16_t port;
    std::string first;               // the reply to the first request
    std::vector<std::string> later;  // to the next ones
    bool verify;
    Outcome outcome;
    std::vector<std::string> kinds;  // what the device received, by first bytes
    std::string commandEnd;          // the command's MAC text and '>', when one was built
    std::string message;
};

class IdentityTest : public ::testing::TestWithParam<IdentityCase> {};

// A task that names a MAC text writes only the device whose reply carries it: compared on the
// reply the command is built from, and again when verifying.
TEST_P(IdentityTest, OnlyTheDeviceWithTheMacIsWritten) {
    const IdentityCase& c = GetParam();
    FakeDevice::Behaviour b = FakeDevice::Answers(c.first);
    b.later = c.later;
    FakeDevice device(Loopback(2), c.port, b);
    device::Task task = SetTelemetry();
    task.mac = "00-AC-6E-24-18-02";
    task.verify = c.verify;
    const device::Result r = RunOne(c.port, task, Quick(0));
    EXPECT_EQ(r.outcome, c.outcome) << r.message;
    EXPECT_EQ(r.otherDevice, c.commandEnd.empty());
    EXPECT_EQ(r.message, c.message);
    EXPECT_TRUE(r.command.ends_with(c.commandEnd)) << r.command;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<std::string> kinds;
    for (const std::string& d : device.Received()) kinds.push_back(d.substr(0, 2));
    EXPECT_EQ(kinds, c.kinds);
}

const std::string kOtherUnit =
    "<1B58#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-99>";

INSTANTIATE_TEST_SUITE_P(
    Runner, IdentityTest,
    ::testing::Values(
        IdentityCase{"the_same_unit",
                     47240,
                     device_test::kSampleReply,
                     {kOtherUnit.substr(0, 57) + "00-AC-6E-24-18-02>"},
                     true,
                     Outcome::kChanged,
                     {"GO", "<1", "GO"},
                     "#00-AC-6E-24-18-02>",
                     ""},
        IdentityCase{"another_unit_from_the_first_reply",
                     47241,
                     kOtherUnit,
                     {},
                     false,
                     Outcome::kFailed,
                     {"GO"},
                     "",
                     "the device reports the MAC text '00-AC-6E-24-18-99', not "
                     "'00-AC-6E-24-18-02'; nothing sent"},
        IdentityCase{"another_unit_once_the_command_went_out",
                     47242,
                     device_test::kSampleReply,
                     {kOtherUnit},
                     true,
                     Outcome::kVerifyFailed,
                     {"GO", "<1", "GO"},
                     "#00-AC-6E-24-18-02>",
                     "verify: the device reports other settings: mac is 00-AC-6E-24-18-99, not "
                     "00-AC-6E-24-18-02"}),
    device_test::kLabel);

// In a network namespace of the test's own, where a second local address can be had: a device
// reached from it, whose port another program holds, fails alone once others have results;
// before anything went out, the whole run ends.
TEST(Runner, APortTakenAfterOthersHaveResultsFailsOnlyItsDevices) {
    constexpr std::uint16_t kPort = 47230;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::unshare(CLONE_NEWNET) != 0 ||
            std::system("ip link set lo up && ip addr add 10.213.7.1/24 dev lo") != 0) {
            ::_exit(77);
        }
        int failures = 0;
        device_test::UdpPeer holder(0x0AD50701, kPort);  // another program on 10.213.7.1
        FakeDevice device(Loopback(2), kPort);
        device::Task far = Read();
        far.address = 0x0AD50702;
        try {
            RunOne(kPort, far, Quick(0));
            failures |= 1;  // should have ended the run
        } catch (const device::PortTaken&) {
        }
        device::DevicePort port(kPort, false);
        try {
            const auto results = device::Run(port, {Read(), far}, 1, Quick(0));
            if (results[0].outcome != Outcome::kRead || results[0].portTaken) failures |= 2;
            if (results[1].outcome != Outcome::kFailed || !results[1].portTaken ||
                results[1].message.find("taken") == std::string::npos) {
                failures |= 4;
            }
        } catch (...) {
            failures |= 8;
        }
        ::_exit(failures);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot make a network namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "1: a taken port before anything was sent did not end the run; 2: the first "
           "device's result; 4: the second device's result; 8: the run threw";
}

}  // namespace
