// The read-change-write runs against a device played on loopback: how many requests go out,
// which replies count, what each result says was sent.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>

#include <cstdlib>

#include <string>
#include <vector>

#include "device/runner.h"
#include "fake_device.h"

namespace {

template <typename Case>
requires requires(const Case& c) {
    c.label;
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.label;
}

using device::Outcome;
using device::Setting;
using device_test::FakeDevice;
using device_test::Loopback;

device::Timing Quick(int retries) {
    device::Timing t;
    t.timeout = std::chrono::milliseconds(80);
    t.retries = retries;
    t.timeDelay = std::chrono::milliseconds(50);
    t.settle = std::chrono::milliseconds(20);
    return t;
}

device::Task SetTelemetry(const std::string& port) {
    device::Task t;
    t.address = Loopback(2);
    device::Settings wanted;
    wanted[Setting::kTelemetryPort] = port;
    t.wanted = wanted;
    return t;
}

device::Result RunOne(std::uint16_t port, const device::Task& task, const device::Timing& t) {
    device::DevicePort devicePort(port, false);
    return device::Run(devicePort, {task}, 1, t).front();
}

class RetriesTest : public ::testing::TestWithParam<int> {};

TEST_P(RetriesTest, SendsExactlyOneRequestMoreThanTheRetries) {
    const int retries = GetParam();
    // A port per row: the suite's tests run at once.
    const std::uint16_t kPort = std::uint16_t(47210 + retries);
    FakeDevice silent(Loopback(2), kPort,
                      {.reply = "", .replyPort = 0, .onCommand = {}, .dropFirst = 0});
    ASSERT_TRUE(silent.Ok());
    device::Task read;
    read.address = Loopback(2);
    const device::Result r = RunOne(kPort, read, Quick(retries));
    EXPECT_EQ(r.outcome, Outcome::kNoReply);
    EXPECT_TRUE(r.sent.request);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(silent.Count("GO"), std::size_t(retries + 1));
    EXPECT_EQ(silent.Received().size(), std::size_t(retries + 1));
}

INSTANTIATE_TEST_SUITE_P(Runner, RetriesTest, ::testing::Values(0, 1, 2));

TEST(Runner, AReplyFromAnotherPortOfTheDevicesAddressIsNotTheDevice) {
    constexpr std::uint16_t kPort = 47202;
    FakeDevice elsewhere(Loopback(2), kPort,
                         {.reply = device_test::kSampleReply,
                          .replyPort = kPort + 7,
                          .onCommand = {},
                          .dropFirst = 0});
    ASSERT_TRUE(elsewhere.Ok());
    const device::Result r = RunOne(kPort, SetTelemetry("7000"), Quick(1));
    EXPECT_EQ(r.outcome, Outcome::kNoReply);
    EXPECT_EQ(elsewhere.Count("<"), 0u);
}

TEST(Runner, AReplyLongerThanTheOldBufferIsReadWhole) {
    constexpr std::uint16_t kPort = 47203;
    const std::string mac(3000, 'M');
    FakeDevice device(Loopback(2), kPort,
                      {.reply = device_test::kSampleReply.substr(0, 57) + mac + ">",
                       .replyPort = 0,
                       .onCommand = {},
                       .dropFirst = 0});
    device::Task read;
    read.address = Loopback(2);
    const device::Result r = RunOne(kPort, read, Quick(0));
    EXPECT_EQ(r.outcome, Outcome::kRead) << r.message;
    EXPECT_EQ(r.before[Setting::kMac], mac);
}

TEST(Runner, AReplyLongerThanAReplyCanBeIsPartialAndNothingIsWrittenBack) {
    constexpr std::uint16_t kPort = 47204;
    FakeDevice device(
        Loopback(2), kPort,
        {.reply = device_test::kSampleReply.substr(0, 57) + std::string(9000, 'M') + ">",
         .replyPort = 0,
         .onCommand = {},
         .dropFirst = 0});
    const device::Result r = RunOne(kPort, SetTelemetry("7000"), Quick(0));
    EXPECT_EQ(r.outcome, Outcome::kPartial);
    EXPECT_EQ(r.message,
              "the reply is 9058 bytes, longer than the 8192 a configuration reply can be; not "
              "converted: mac; nothing sent");
    EXPECT_FALSE(r.before[Setting::kMac]);
    EXPECT_TRUE(r.command.empty());
    EXPECT_FALSE(r.sent.command);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(device.Received(), std::vector<std::string>{"GO"});
}

struct SentCase {
    const char* label;
    std::uint16_t port;
    bool silent;
    bool setTelemetry;  // else a time task
    bool time;
    bool dryRun;
    Outcome outcome;
    device::Sent sent;
    std::vector<std::string> kinds;  // what the device received, by first bytes
};

class SentTest : public ::testing::TestWithParam<SentCase> {};

TEST_P(SentTest, EachResultSaysWhatWentOut) {
    const SentCase& c = GetParam();
    FakeDevice device(Loopback(2), c.port,
                      {.reply = c.silent ? "" : device_test::kSampleReply,
                       .replyPort = 0,
                       .onCommand = {},
                       .dropFirst = 0});
    device::Task task;
    if (c.setTelemetry) task = SetTelemetry("7000");
    task.address = Loopback(2);
    task.time = c.time;
    task.dryRun = c.dryRun;
    const device::Result r = RunOne(c.port, task, Quick(0));
    EXPECT_EQ(r.outcome, c.outcome) << r.message;
    EXPECT_EQ(r.sent.request, c.sent.request);
    EXPECT_EQ(r.sent.command, c.sent.command);
    EXPECT_EQ(r.sent.time, c.sent.time);
    EXPECT_EQ(r.timeSent, c.sent.time);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<std::string> kinds;
    for (const std::string& d : device.Received()) kinds.push_back(d.substr(0, 2));
    EXPECT_EQ(kinds, c.kinds);
}

INSTANTIATE_TEST_SUITE_P(Runner, SentTest,
                         ::testing::Values(SentCase{"time_reads_first_no_reply_sends_nothing",
                                                    47220,
                                                    true,
                                                    false,
                                                    true,
                                                    false,
                                                    Outcome::kNoReply,
                                                    {true, false, false},
                                                    {"GO"}},
                                           SentCase{"time_after_the_reply",
                                                    47221,
                                                    false,
                                                    false,
                                                    true,
                                                    false,
                                                    Outcome::kChanged,
                                                    {true, false, true},
                                                    {"GO", "US"}},
                                           SentCase{"read_only",
                                                    47222,
                                                    false,
                                                    false,
                                                    false,
                                                    false,
                                                    Outcome::kRead,
                                                    {true, false, false},
                                                    {"GO"}},
                                           SentCase{"set",
                                                    47223,
                                                    false,
                                                    true,
                                                    false,
                                                    false,
                                                    Outcome::kChanged,
                                                    {true, true, false},
                                                    {"GO", "<1"}},
                                           SentCase{"set_and_time",
                                                    47224,
                                                    false,
                                                    true,
                                                    true,
                                                    false,
                                                    Outcome::kChanged,
                                                    {true, true, true},
                                                    {"GO", "<1", "US"}},
                                           SentCase{"time_dry_run",
                                                    47225,
                                                    false,
                                                    false,
                                                    true,
                                                    true,
                                                    Outcome::kDryRun,
                                                    {true, false, false},
                                                    {"GO"}},
                                           SentCase{"set_and_time_dry_run",
                                                    47226,
                                                    false,
                                                    true,
                                                    true,
                                                    true,
                                                    Outcome::kDryRun,
                                                    {true, false, false},
                                                    {"GO"}}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(Runner, InterruptedAfterTheCommandSaysItWentOut) {
    constexpr std::uint16_t kPort = 47206;
    FakeDevice device(Loopback(2), kPort,
                      {.reply = device_test::kSampleReply,
                       .replyPort = 0,
                       .onCommand = [](const std::string&) { device::RequestStop(); },
                       .dropFirst = 0});
    device::Task task = SetTelemetry("7000");
    task.time = true;
    device::Timing t = Quick(0);
    t.timeDelay = std::chrono::milliseconds(2000);
    const device::Result r = RunOne(kPort, task, t);
    device::ClearStop();
    EXPECT_EQ(r.outcome, Outcome::kInterrupted);
    EXPECT_TRUE(r.sent.request);
    EXPECT_TRUE(r.sent.command);
    EXPECT_FALSE(r.sent.time);
    EXPECT_EQ(r.message,
              "interrupted after the configuration command was sent; the time command was not "
              "sent");
    EXPECT_FALSE(r.command.empty());
}

TEST(Runner, InterruptedBeforeTheCommandSaysNothingWentOut) {
    constexpr std::uint16_t kPort = 47208;
    FakeDevice silent(Loopback(2), kPort,
                      {.reply = "", .replyPort = 0, .onCommand = {}, .dropFirst = 0});
    device::DevicePort port(kPort, false);
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        device::RequestStop();
    });
    const device::Result r = device::Run(port, {SetTelemetry("7000")}, 1, Quick(5)).front();
    stopper.join();
    device::ClearStop();
    EXPECT_EQ(r.outcome, Outcome::kInterrupted);
    EXPECT_TRUE(r.sent.request);
    EXPECT_FALSE(r.sent.command);
    EXPECT_FALSE(r.sent.time);
    EXPECT_EQ(r.message, "");
}

TEST(Runner, AVerifyThatCannotRouteIsAVerifyFailure) {
    constexpr std::uint16_t kPort = 47207;
    FakeDevice device(
        Loopback(2), kPort,
        {.reply = device_test::kSampleReply, .replyPort = 0, .onCommand = {}, .dropFirst = 0});
    device::Task task;
    task.address = Loopback(2);
    device::Settings wanted;
    wanted[Setting::kIp] = "10.213.0.9";  // no route inside the test's namespace
    task.wanted = wanted;
    task.verify = true;
    const device::Result r = RunOne(kPort, task, Quick(0));
    EXPECT_EQ(r.outcome, Outcome::kVerifyFailed) << r.message;
    EXPECT_TRUE(r.sent.command);
    EXPECT_NE(r.message.find("10.213.0.9"), std::string::npos) << r.message;
}

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
        FakeDevice device(
            Loopback(2), kPort,
            {.reply = device_test::kSampleReply, .replyPort = 0, .onCommand = {}, .dropFirst = 0});
        device::Task near, far;
        near.address = Loopback(2);
        far.address = 0x0AD50702;
        {
            device::DevicePort port(kPort, false);
            try {
                device::Run(port, {far}, 1, Quick(0));
                failures |= 1;  // should have ended the run
            } catch (const device::PortTaken&) {
            }
        }
        device::DevicePort port(kPort, false);
        try {
            const auto results = device::Run(port, {near, far}, 1, Quick(0));
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
