// Runs the real simulator process on 127.0.0.1 and talks to it from 127.0.0.2 on the same port,
// as the program would from another host: it listens on the device port number.

#include <signal.h>

#include <gtest/gtest.h>
#include <QDeadlineTimer>
#include <QProcess>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/event_loop.h"
#include "support/loopback_peer.h"

namespace {

namespace fs = std::filesystem;

// Generous: the deadline only bounds a failing test, a passing one never waits for it.
constexpr int kDeadlineMs = 10000;

const std::string kSampleReply =
    "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>";

// The simulator as a child process, its stdout and stderr read as one stream.
class Process {
public:
    explicit Process(const std::vector<std::string>& args) {
        testing_support::EnsureApp();
        QStringList list;
        for (const auto& a : args) list << QString::fromStdString(a);
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(QStringLiteral(ORVAN_DEVSIM_PATH), list);
    }
    ~Process() {
        process_.kill();
        process_.waitForFinished();
    }

    // Waits for `text` in the output after the previous match, and moves past it.
    bool WaitFor(const std::string& text) {
        const QDeadlineTimer deadline(kDeadlineMs);
        for (;;) {
            output_ += process_.readAll().toStdString();
            if (const auto at = output_.find(text, seen_); at != std::string::npos) {
                seen_ = at + text.size();
                return true;
            }
            if (!process_.waitForReadyRead(int(deadline.remainingTime()))) return false;
        }
    }

    // Sends `sig` and returns the exit code (-1: no normal exit).
    int Stop(int sig) {
        ::kill(pid_t(process_.processId()), sig);
        return Wait();
    }

    int Wait() {
        const bool finished = process_.waitForFinished(kDeadlineMs);
        output_ += process_.readAll().toStdString();
        return finished && process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }

    const std::string& output() const { return output_; }

private:
    QProcess process_;
    std::string output_;
    std::size_t seen_ = 0;
};

struct State {
    std::string telemetry = "6024", h323 = "6025", gateway = "192.168.119.1",
                ip = "192.168.119.141", handset = "192.168.119.240", mask = "255.255.255.0",
                mac = "00-AC-6E-24-18-02", clock = {};
    int time_commands = 0, config_commands = 0;

    std::string Text() const {
        std::ostringstream s;
        s << "telemetry=" << telemetry << "\nh323=" << h323 << "\ngateway=" << gateway
          << "\nip=" << ip << "\nhandset=" << handset << "\nmask=" << mask << "\nmac=" << mac
          << "\nclock=" << clock << "\ntime_commands=" << time_commands
          << "\nconfig_commands=" << config_commands << "\n";
        return s.str();
    }
};

class DevsimTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.ok());
        std::string dir = (fs::temp_directory_path() / "orvan-devsim-XXXXXX").string();
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        sim_.reset();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // Starts the simulator on 127.0.0.1 at the peer's port and waits until it listens.
    void Start(std::vector<std::string> args = {}) {
        const std::string port = std::to_string(peer_.port());
        args.insert(args.begin(),
                    {"--address", "127.0.0.1", "--port", port, "--state", StatePath()});
        sim_ = std::make_unique<Process>(args);
        ASSERT_TRUE(sim_->WaitFor("listening on 127.0.0.1:" + port)) << sim_->output();
    }

    std::string StatePath() const { return (dir_ / "state").string(); }

    // The settings and clock lines; the counts of what was received are read by Count().
    std::string StateText() const {
        std::ifstream in(StatePath(), std::ios::binary);
        std::string text, line;
        while (std::getline(in, line))
            if (!line.starts_with("datagrams=") && !line.starts_with("requests=") &&
                !line.starts_with("commands="))
                text += line + "\n";
        return text;
    }

    // One count from the state file ("requests", ...), -1 when it is not there.
    long Count(const std::string& name) const {
        std::ifstream in(StatePath(), std::ios::binary);
        std::string line;
        while (std::getline(in, line))
            if (line.rfind(name + "=", 0) == 0) return std::stol(line.substr(name.size() + 1));
        return -1;
    }

    void Send(const std::string& bytes) {
        ASSERT_TRUE(peer_.SendTo(QByteArray::fromStdString(bytes), "127.0.0.1", peer_.port()));
    }

    // Sends `bytes` and waits for the simulator's line that says what it did with them.
    void SendAndWait(const std::string& bytes, const std::string& outcome) {
        Send(bytes);
        ASSERT_TRUE(sim_->WaitFor(outcome)) << "expected \"" << outcome << "\" in:\n"
                                            << sim_->output();
    }

    // The next datagram that reaches the peer must be the reply to a new request, sent from
    // the simulator's own port, which is also the port the reply goes to.
    void ExpectReply(const std::string& reply) {
        Send("GO");
        const auto got = Receive();
        ASSERT_TRUE(got) << "no reply; simulator output:\n" << sim_->output();
        EXPECT_EQ(got->bytes.toStdString(), reply);
        EXPECT_EQ(got->fromIp.toStdString() + ":" + std::to_string(got->fromPort),
                  "127.0.0.1:" + std::to_string(peer_.port()));
        EXPECT_TRUE(sim_->WaitFor("sent the configuration reply to 127.0.0.2:" +
                                  std::to_string(peer_.port())));
    }

    // The simulator runs in a process of its own: no event loop is needed to wait for it.
    std::optional<testing_support::Datagram> Receive(int limitMs = kDeadlineMs) const {
        const QDeadlineTimer deadline(limitMs);
        for (;;) {
            if (auto got = peer_.TryReceive()) return got;
            if (deadline.hasExpired()) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    fs::path dir_;
    testing_support::Peer peer_{"127.0.0.2"};
    std::unique_ptr<Process> sim_;
};

// Names each table row after its label, in test names and in failure texts.
template <typename Case>
requires requires(const Case& c) {
    c.label;
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.label;
}

const auto kLabel = [](const auto& info) { return std::string(info.param.label); };

// ---- one datagram each ---------------------------------------------------------------------

const std::string kApplied = "configuration command applied";
const std::string kRejected = "configuration command rejected";
const std::string kTimeRejected = "time command rejected";

struct ExchangeCase {
    const char* label;
    std::string datagram;              // sent after the start, unless `outcome` is empty
    std::string outcome;               // the simulator's line about what it did with the datagram
    State state = {};                  // the state file afterwards
    std::string reply = kSampleReply;  // to the next request
    std::vector<std::string> args = {};
};

class ExchangeTest : public DevsimTest, public ::testing::WithParamInterface<ExchangeCase> {};

TEST_P(ExchangeTest, ChangesStateAndReplyOnlyWhenValid) {
    const ExchangeCase& c = GetParam();
    Start(c.args);
    if (!c.outcome.empty()) SendAndWait(c.datagram, c.outcome);
    EXPECT_EQ(StateText(), c.state.Text());
    // Had the datagram been answered, that answer would reach the peer before this reply.
    ExpectReply(c.reply);
}

INSTANTIATE_TEST_SUITE_P(
    Devsim, ExchangeTest,
    ::testing::Values(
        ExchangeCase{"defaults", "", ""},
        ExchangeCase{
            "settings_from_command_line",
            "",
            "",
            {"5", "65535", "10.0.0.16", "0.0.0.0", "255.1.2.3", "255.255.0.0", "AB CD"},
            "<5#FFFF#A.0.0.10#0.0.0.0#FF.1.2.3#FF.FF.0.0#AB CD>",
            {"--telemetry", "5", "--h323", "65535", "--gateway", "10.0.0.16", "--ip", "0.0.0.0",
             "--handset", "255.1.2.3", "--mask", "255.255.0.0", "--mac", "AB CD"}},
        ExchangeCase{
            "settings_under_the_names_orvanctl_uses",
            "",
            "",
            {"5", "65535", "10.0.0.16", "0.0.0.0", "255.1.2.3", "255.255.0.0", "AB CD"},
            "<5#FFFF#A.0.0.10#0.0.0.0#FF.1.2.3#FF.FF.0.0#AB CD>",
            {"--telemetry-port", "5", "--h323-port=65535", "--gateway", "10.0.0.16", "--ip",
             "0.0.0.0", "--controller", "255.1.2.3", "--mask", "255.255.0.0", "--mac", "AB CD"}},
        ExchangeCase{"option_with_equals_sign",
                     "",
                     "",
                     {.telemetry = "4096", .ip = "127.0.0.1"},
                     "<1000#1789#C0.A8.77.1#7F.0.0.1#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>",
                     {"--telemetry=4096", "--ip=127.0.0.1"}},
        ExchangeCase{
            "padded_quads",
            "<1770#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#11-22-33-44-55-66>",
            kApplied,
            {"6000", "6001", "10.0.0.1", "10.0.0.141", "10.0.0.240", "255.255.0.0",
             "11-22-33-44-55-66", "", 0, 1},
            "<1770#1771#A.0.0.1#A.0.0.8D#A.0.0.F0#FF.FF.0.0#11-22-33-44-55-66>"},
        ExchangeCase{"largest_lower_case_single_digits_and_free_text_mac",
                     "<ffff#FfFf#ff.FF.fe.1#01.02.03.04#0.0.0.0#FF.FF.FF.FC#a#b c>",
                     kApplied,
                     {"65535", "65535", "255.255.254.1", "1.2.3.4", "0.0.0.0", "255.255.255.252",
                      "a#b c", "", 0, 1},
                     "<FFFF#FFFF#FF.FF.FE.1#1.2.3.4#0.0.0.0#FF.FF.FF.FC#a#b c>"},
        ExchangeCase{"no_closing_bracket", "<1#2#1.2.3.4#1.2.3.4#1.2.3.4#1.2.3.4#M", kRejected},
        ExchangeCase{"text_after_closing_bracket", "<1#2#1.2.3.4#1.2.3.4#1.2.3.4#1.2.3.4#M>x",
                     kRejected},
        ExchangeCase{"missing_field", "<1#2#1.2.3.4#1.2.3.4#1.2.3.4#M>", kRejected},
        ExchangeCase{"bad_hex_in_port", "<1G#2#1.2.3.4#1.2.3.4#1.2.3.4#1.2.3.4#M>", kRejected},
        ExchangeCase{"empty_port", "<#2#1.2.3.4#1.2.3.4#1.2.3.4#1.2.3.4#M>", kRejected},
        ExchangeCase{"port_above_FFFF", "<1#10000#1.2.3.4#1.2.3.4#1.2.3.4#1.2.3.4#M>", kRejected},
        ExchangeCase{"bad_hex_in_part", "<1#2#1.2.3.G#1.2.3.4#1.2.3.4#1.2.3.4#M>", kRejected},
        ExchangeCase{"part_above_FF", "<1#2#1.2.3.4#1.2.3.100#1.2.3.4#1.2.3.4#M>", kRejected},
        ExchangeCase{"part_with_three_digits", "<1#2#1.2.3.4#1.2.3.4#1.2.3.4#1.2.3.004#M>",
                     kRejected},
        ExchangeCase{"three_parts", "<1#2#1.2.3.4#1.2.3.4#1.2.3#1.2.3.4#M>", kRejected},
        ExchangeCase{"control_byte_in_mac", "<1#2#1.2.3.4#1.2.3.4#1.2.3.4#1.2.3.4#M\n>", kRejected},
        ExchangeCase{"time_on_a_sunday",
                     "USTTIME<26*12*06*07*13*22*45>",
                     "time command applied",
                     {.clock = "26*12*06*07*13*22*45", .time_commands = 1}},
        ExchangeCase{"time_on_a_leap_day",
                     "USTTIME<28*02*29*02*00*00*00>",
                     "time command applied",
                     {.clock = "28*02*29*02*00*00*00", .time_commands = 1}},
        ExchangeCase{"weekday_disagrees", "USTTIME<26*12*06*01*13*22*45>", kTimeRejected},
        ExchangeCase{"month_13", "USTTIME<26*13*06*07*13*22*45>", kTimeRejected},
        ExchangeCase{"february_29_of_2025", "USTTIME<25*02*29*06*13*22*45>", kTimeRejected},
        ExchangeCase{"hour_24", "USTTIME<26*12*06*07*24*22*45>", kTimeRejected},
        ExchangeCase{"minute_60", "USTTIME<26*12*06*07*13*60*45>", kTimeRejected},
        ExchangeCase{"second_60", "USTTIME<26*12*06*07*13*22*60>", kTimeRejected},
        ExchangeCase{"letter_in_field", "USTTIME<26*12*06*07*13*2a*45>", kTimeRejected},
        ExchangeCase{"wrong_separator", "USTTIME<26-12-06-07-13-22-45>", kTimeRejected},
        ExchangeCase{"time_without_closing_bracket", "USTTIME<26*12*06*07*13*22*45x",
                     kTimeRejected},
        ExchangeCase{"time_one_byte_short", "USTTIME<26*12*06*07*13*22*4>", kTimeRejected},
        ExchangeCase{"echo_reply", "Replied from host to \"" + kSampleReply + "\"", "ignored"},
        ExchangeCase{"empty_datagram", "", "ignored"},
        ExchangeCase{"lower_case_request", "go", "ignored"},
        ExchangeCase{"request_with_line_end", "GO\r\n", "ignored"},
        ExchangeCase{"request_with_nul", std::string("GO\0", 3), "ignored"},
        ExchangeCase{"zero_ports_and_empty_mac",
                     "",
                     "",
                     {.telemetry = "0", .h323 = "0", .mac = ""},
                     "<0#0#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#>",
                     {"--telemetry", "0", "--h323", "0", "--mac", ""}},
        ExchangeCase{
            "initial_window_contents",
            "<0#0#0.0.0.0#0.0.0.0#0.0.0.0#0.0.0.0#00:00:00:00:00:00>",
            kApplied,
            {"0", "0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "00:00:00:00:00:00", "", 0, 1},
            "<0#0#0.0.0.0#0.0.0.0#0.0.0.0#0.0.0.0#00:00:00:00:00:00>"},
        ExchangeCase{"largest_values_and_lower_case",
                     "<ffff#FfFf#ff.FF.fe.01#01.02.03.04#00.00.00.00#FF.FF.FF.FC#>",
                     kApplied,
                     {"65535", "65535", "255.255.254.1", "1.2.3.4", "0.0.0.0", "255.255.255.252",
                      "", "", 0, 1},
                     "<FFFF#FFFF#FF.FF.FE.1#1.2.3.4#0.0.0.0#FF.FF.FF.FC#>"},
        ExchangeCase{"mac_is_free_text",
                     "<1#2#01.02.03.04#05.06.07.08#09.0A.0B.0C#FF.00.00.00#a#b c>",
                     kApplied,
                     {"1", "2", "1.2.3.4", "5.6.7.8", "9.10.11.12", "255.0.0.0", "a#b c", "", 0, 1},
                     "<1#2#1.2.3.4#5.6.7.8#9.A.B.C#FF.0.0.0#a#b c>"},
        // The rejected commands once more, shaped as the window sends them (padded quads).
        ExchangeCase{"bad_hex_in_port_padded",
                     "<17G0#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>", kRejected},
        ExchangeCase{"port_above_FFFF_padded",
                     "<11170#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>", kRejected},
        ExchangeCase{"negative_port_as_sent_for_minus_one",
                     "<FFFFFFFF#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>",
                     kRejected},
        ExchangeCase{"empty_port_padded",
                     "<#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>", kRejected},
        ExchangeCase{"signed_port",
                     "<+1770#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>", kRejected},
        ExchangeCase{"bad_hex_in_part_padded",
                     "<1770#1771#0A.00.00.0G#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>", kRejected},
        ExchangeCase{"part_above_FF_padded",
                     "<1770#1771#0A.00.00.01#0A.00.00.12C#0A.00.00.F0#FF.FF.00.00#M>", kRejected},
        ExchangeCase{"part_with_three_digits_padded",
                     "<1770#1771#0A.00.00.001#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>", kRejected},
        ExchangeCase{"decimal_instead_of_hex",
                     "<6024#6025#192.168.119.1#192.168.119.141#192.168.119.240#255.255.255.0#M>",
                     kRejected},
        ExchangeCase{"three_parts_padded",
                     "<1770#1771#0A.00.00.01#0A.00.00.8D#0A.00.F0#FF.FF.00.00#M>", kRejected},
        ExchangeCase{"five_parts",
                     "<1770#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00.01#M>", kRejected},
        ExchangeCase{"empty_part", "<1770#1771#0A..00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>",
                     kRejected},
        ExchangeCase{"missing_field_padded", "<1770#1771#0A.00.00.01#0A.00.00.8D#FF.FF.00.00#M>",
                     kRejected},
        ExchangeCase{"no_closing_bracket_padded",
                     "<1770#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M", kRejected},
        ExchangeCase{"text_after_closing_bracket_padded",
                     "<1770#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>x", kRejected},
        ExchangeCase{"control_byte_in_mac_padded",
                     "<1770#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M\n>", kRejected},
        ExchangeCase{"bracket_alone", "<", kRejected},
        ExchangeCase{"empty_brackets", "<>", kRejected},
        ExchangeCase{"time_on_a_monday_morning",
                     "USTTIME<26*01*05*01*09*05*03>",
                     "time command applied",
                     {.clock = "26*01*05*01*09*05*03", .time_commands = 1}},
        ExchangeCase{"time_last_second_of_2099",
                     "USTTIME<99*12*31*04*23*59*59>",
                     "time command applied",
                     {.clock = "99*12*31*04*23*59*59", .time_commands = 1}},
        ExchangeCase{"weekday_zero", "USTTIME<26*12*06*00*13*22*45>", kTimeRejected},
        ExchangeCase{"weekday_eight", "USTTIME<26*12*06*08*13*22*45>", kTimeRejected},
        ExchangeCase{"month_zero", "USTTIME<26*00*06*07*13*22*45>", kTimeRejected},
        ExchangeCase{"day_32", "USTTIME<26*01*32*07*13*22*45>", kTimeRejected},
        ExchangeCase{"blank_in_field", "USTTIME<26*12* 6*07*13*22*45>", kTimeRejected},
        ExchangeCase{"time_one_byte_too_many", "USTTIME<26*12*06*07*13*22*45>>", kTimeRejected},
        ExchangeCase{"operator_text", "TEST", "ignored"},
        ExchangeCase{"request_with_blank", "GO ", "ignored"},
        ExchangeCase{"lower_case_time_command", "usttime<26*12*06*07*13*22*45>", "ignored"}),
    kLabel);

TEST_F(DevsimTest, RepliesToTheDevicePortNotToTheSendersPort) {
    Start();
    // The program sends from a port of its own and listens on the device port number.
    const testing_support::Peer other("127.0.0.2");
    ASSERT_TRUE(other.SendTo("GO", "127.0.0.1", peer_.port()));
    const auto got = Receive();
    ASSERT_TRUE(got) << sim_->output();
    EXPECT_EQ(got->bytes.toStdString(), kSampleReply);
}

TEST_F(DevsimTest, CountsOnlyAppliedCommandsAndKeepsTheLastClock) {
    Start();
    SendAndWait("<1#2#01.02.03.04#05.06.07.08#09.0A.0B.0C#FF.00.00.00#M1>",
                "configuration command applied");
    SendAndWait("<1#2#01.02.03.04#05.06.07.08#09.0A.0B.0C#FF.00.00.00#M2", "rejected");
    SendAndWait("USTTIME<26*12*06*07*13*22*45>", "time command applied");
    SendAndWait("USTTIME<26*12*06*01*13*22*45>", "time command rejected");
    SendAndWait("USTTIME<26*12*07*01*00*00*01>", "time command applied");
    SendAndWait("<3#4#01.02.03.04#05.06.07.08#09.0A.0B.0C#FF.00.00.00#M3>",
                "configuration command applied");
    const State want{
        "3", "4", "1.2.3.4", "5.6.7.8", "9.10.11.12", "255.0.0.0", "M3", "26*12*07*01*00*00*01",
        2,   2};
    EXPECT_EQ(StateText(), want.Text());
}

TEST_F(DevsimTest, PrintsTheSenderLengthAndEscapedBytes) {
    Start();
    SendAndWait(std::string("A\x01\xFF\"\\", 5), "ignored");
    const std::string line =
        "from 127.0.0.2:" + std::to_string(peer_.port()) + ", 5 bytes: \"A\\x01\\xFF\\\"\\\\\"\n";
    EXPECT_NE(sim_->output().find(line), std::string::npos) << sim_->output();
}

// ---- process ------------------------------------------------------------------------------

class StopTest : public DevsimTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopTest, EndsCleanlyOnSignal) {
    Start();
    EXPECT_EQ(sim_->Stop(GetParam()), 0) << sim_->output();
    EXPECT_NE(sim_->output().find("stopped"), std::string::npos) << sim_->output();
}

INSTANTIATE_TEST_SUITE_P(Devsim, StopTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) {
                             return std::string(info.param == SIGINT ? "SIGINT" : "SIGTERM");
                         });

// ---- misbehaving on request ----------------------------------------------------------------

struct RequestCase {
    const char* label;
    std::vector<std::string> args;
    // One entry per "GO" sent in turn: the reply it gets, or none within the quiet time.
    std::vector<std::optional<std::string>> replies;
    int earliestMs = 0;  // no reply comes sooner than this after its request
};

class MisbehaveRequestTest : public DevsimTest,
                             public ::testing::WithParamInterface<RequestCase> {};

TEST_P(MisbehaveRequestTest, AnswersAsTold) {
    const RequestCase& c = GetParam();
    Start(c.args);
    for (std::size_t i = 0; i < c.replies.size(); ++i) {
        const auto sent = std::chrono::steady_clock::now();
        Send("GO");
        // Quiet long enough for a late reply to show up if it were there.
        const auto got = Receive(c.replies[i] ? kDeadlineMs : c.earliestMs + 300);
        const auto took = std::chrono::steady_clock::now() - sent;
        EXPECT_EQ(got ? std::optional(got->bytes.toStdString()) : std::nullopt, c.replies[i])
            << "request " << i + 1 << "; output:\n"
            << sim_->output();
        if (got) {
            EXPECT_GE(took, std::chrono::milliseconds(c.earliestMs)) << "request " << i + 1;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Devsim, MisbehaveRequestTest,
    ::testing::Values(
        RequestCase{"drops_the_first_two_then_answers",
                    {"--drop-requests", "2"},
                    {std::nullopt, std::nullopt, kSampleReply, kSampleReply}},
        RequestCase{"answers_late", {"--delay", "400"}, {kSampleReply}, 400},
        RequestCase{"answers_in_part_with_the_closing_bracket",
                    {"--partial", "21"},
                    {"<1788#1789#C0.A8.77.1>", "<1788#1789#C0.A8.77.1>"}},
        RequestCase{"a_part_longer_than_the_reply_is_the_whole_reply",
                    {"--partial", "500"},
                    {kSampleReply}},
        RequestCase{
            "cut_short_without_the_closing_bracket", {"--cut", "21"}, {"<1788#1789#C0.A8.77.1"}},
        RequestCase{"another_unit_after_the_first_reply",
                    {"--swap-after", "1", "--swap-mac", "AA-BB"},
                    {kSampleReply, kSampleReply.substr(0, 57) + "AA-BB>",
                     kSampleReply.substr(0, 57) + "AA-BB>"}},
        RequestCase{
            "partial_and_late_together", {"--partial", "1", "--delay", "200"}, {"<>"}, 200}),
    kLabel);

const std::string kIgnored = "ignored: a command, and commands are ignored (--ignore-commands)";

struct IgnoreCase {
    const char* label;
    std::vector<std::string> args;
    std::string datagram;
};

class IgnoreCommandsTest : public DevsimTest, public ::testing::WithParamInterface<IgnoreCase> {};

// Each command is printed and left unapplied: the settings, clock and counters stay.
TEST_P(IgnoreCommandsTest, LeavesTheSettingsAsTheyWere) {
    Start(GetParam().args);
    SendAndWait(GetParam().datagram, kIgnored);
    ExpectReply(kSampleReply);
    EXPECT_EQ(StateText(), State{}.Text());
}

INSTANTIATE_TEST_SUITE_P(
    Devsim, IgnoreCommandsTest,
    ::testing::Values(
        IgnoreCase{"configuration",
                   {"--ignore-commands"},
                   "<1B58#1789#C0.A8.77.01#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.00#AA-BB>"},
        IgnoreCase{"time", {"--ignore-commands"}, "USTTIME<26*12*06*07*13*22*45>"},
        IgnoreCase{"configuration_with_late_replies",
                   {"--ignore-commands", "--delay", "100"},
                   "<1B58#1789#C0.A8.77.01#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.00#AA-BB>"}),
    kLabel);

struct ArgsCase {
    const char* label;
    std::vector<std::string> args;
    std::string named;  // the message must name the fault
    int exit_code = 2;
};

class ArgumentsTest : public ::testing::TestWithParam<ArgsCase> {};

TEST_P(ArgumentsTest, ExitWithTheCodeAndMessage) {
    Process p(GetParam().args);
    EXPECT_EQ(p.Wait(), GetParam().exit_code) << p.output();
    EXPECT_NE(p.output().find(GetParam().named), std::string::npos) << p.output();
}

INSTANTIATE_TEST_SUITE_P(
    Devsim, ArgumentsTest,
    ::testing::Values(ArgsCase{"help", {"--help"}, "Usage: orvan-devsim", 0},
                      ArgsCase{"unknown_option", {"--frobnicate", "1"}, "--frobnicate"},
                      ArgsCase{"missing_value", {"--port"}, "--port"},
                      ArgsCase{"positional_argument", {"4000"}, "'4000'"},
                      ArgsCase{"port_zero", {"--port", "0"}, "'0'"},
                      ArgsCase{"port_above_65535", {"--port", "65536"}, "'65536'"},
                      ArgsCase{"telemetry_not_a_number", {"--telemetry", "17x"}, "'17x'"},
                      ArgsCase{"h323_negative", {"--h323", "-1"}, "'-1'"},
                      ArgsCase{"address_with_three_parts", {"--address", "127.0.0"}, "'127.0.0'"},
                      ArgsCase{"gateway_part_above_255", {"--gateway", "1.2.3.256"}, "'1.2.3.256'"},
                      ArgsCase{"mask_in_hex", {"--mask", "FF.FF.FF.0"}, "'FF.FF.FF.0'"},
                      ArgsCase{"mac_with_closing_bracket", {"--mac", "00>"}, "--mac"},
                      ArgsCase{"empty_state_file", {"--state", ""}, "--state"},
                      ArgsCase{"delay_not_a_number", {"--delay", "soon"}, "--delay: 'soon'"},
                      ArgsCase{"delay_too_long", {"--delay", "600001"}, "up to 600000"},
                      ArgsCase{"drop_negative", {"--drop-requests", "-1"}, "--drop-requests: '-1'"},
                      ArgsCase{"partial_without_value", {"--partial"}, "--partial"},
                      ArgsCase{
                          "swap_mac_with_closing_bracket", {"--swap-mac", "A>"}, "--swap-mac"}),
    kLabel);

TEST(DevsimHelp, NamesEveryOption) {
    Process p({"--help"});
    EXPECT_EQ(p.Wait(), 0);
    for (const char* option :
         {"Usage: orvan-devsim", "--address", "--port", "--telemetry", "--h323", "--gateway",
          "--ip", "--handset", "--mask", "--mac", "--state", "--telemetry-port", "--h323-port",
          "--controller", "--log-rate", "--cut", "--swap-after", "--swap-mac"}) {
        EXPECT_NE(p.output().find(option), std::string::npos) << option;
    }
}

// Names planted beside the state file are never written through.
TEST_F(DevsimTest, WritesTheStateThroughATemporaryOfItsOwn) {
    const fs::path target = dir_ / "target";
    std::ofstream(target) << "keep";
    fs::create_symlink(target, StatePath() + ".tmp");
    Start();
    SendAndWait("<1B58#1789#C0.A8.77.01#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.00#AA-BB>", kApplied);
    EXPECT_EQ(sim_->Stop(SIGTERM), 0);
    std::ifstream in(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");
    EXPECT_TRUE(fs::is_symlink(StatePath() + ".tmp"));
    State changed;
    changed.telemetry = "7000";
    changed.mac = "AA-BB";
    changed.config_commands = 1;
    EXPECT_EQ(StateText(), changed.Text());
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_)) ++files;
    EXPECT_EQ(files, 3u);  // the state, the link and its target: no temporary left
}

// ---- what it received, and a flood ---------------------------------------------------------

TEST_F(DevsimTest, CountsEveryDatagramRequestAndCommandItReceived) {
    Start({"--ignore-commands"});
    for (int i = 0; i < 5; ++i) ExpectReply(kSampleReply);
    SendAndWait("<1#2#1.2.3.4#1.2.3.4#1.2.3.4#1.2.3.4#M>", "ignored");
    SendAndWait("USTTIME<26*12*06*07*13*22*45>", "ignored");
    SendAndWait("hello", "ignored");
    EXPECT_EQ(sim_->Stop(SIGTERM), 0);
    EXPECT_EQ(Count("datagrams"), 8);
    EXPECT_EQ(Count("requests"), 5);
    EXPECT_EQ(Count("commands"), 2);
    EXPECT_EQ(Count("config_commands"), 0);
}

TEST_F(DevsimTest, AFloodLeavesABoundedLogThatSaysWhatItLeftOut) {
    Start({"--log-rate", "50"});
    const auto start = std::chrono::steady_clock::now();
    const std::string big(4000, 'X');
    int sent = 0;
    for (; sent < 3000; ++sent) {
        Send(sent % 2 ? "GO" : big);
        if (sent % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(sim_->Stop(SIGTERM), 0);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string& out = sim_->output();
    std::size_t lines = 0;
    for (char c : out) lines += c == '\n';
    // 50 a second and one line about the rest each second, plus the start and stop lines.
    EXPECT_LE(double(lines), 51 * (seconds + 1) + 4) << lines << " lines in " << seconds << " s";
    EXPECT_NE(out.find("left out (more than 50 a second, --log-rate)"), std::string::npos);
    // A long datagram is shown by its start.
    EXPECT_NE(out.find("and 2976 more bytes"), std::string::npos);
    EXPECT_EQ(out.find(std::string(1025, 'X')), std::string::npos);
    EXPECT_LT(out.size(), 200000u);
    // Every datagram that arrived is counted, shown or not.
    const long received = Count("datagrams");
    EXPECT_GT(received, 200);  // a busy machine drops some before the simulator reads them
    EXPECT_LE(received, sent);
}

}  // namespace
