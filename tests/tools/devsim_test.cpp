// Runs the real simulator process on 127.0.0.1 and talks to it from 127.0.0.2 on the same port,
// as the program would from another host: it listens on the device port number.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

// Generous: the deadline only bounds a failing test, a passing one never waits for it.
constexpr auto kDeadline = std::chrono::seconds(10);

const std::string kSampleReply =
    "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>";

int MillisecondsLeft(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::string Endpoint(const sockaddr_in& a) {
    char buf[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(ntohs(a.sin_port));
}

// The test's end of the link: a datagram socket on 127.0.0.2 at a port the kernel picks.
class Peer {
public:
    Peer() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7F000002);
        socklen_t len = sizeof a;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            ADD_FAILURE() << "cannot bind a test socket on 127.0.0.2";
        }
        port_ = ntohs(a.sin_port);
    }
    ~Peer() {
        if (fd_ >= 0) close(fd_);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    std::uint16_t port() const { return port_; }

    void Send(const std::string& bytes) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(0x7F000001);
        to.sin_port = htons(port_);
        ASSERT_EQ(
            sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(bytes.size()));
    }

    struct Datagram {
        std::string bytes;
        std::string from;
    };

    std::optional<Datagram> Receive() const {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, MillisecondsLeft(SteadyClock::now() + kDeadline)) != 1) return std::nullopt;
        char buf[2048];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n =
            recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return std::nullopt;
        return Datagram{std::string(buf, static_cast<std::size_t>(n)), Endpoint(from)};
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// The simulator as a child process whose stdout and stderr come back through one pipe.
class Process {
public:
    explicit Process(const std::vector<std::string>& args) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe failed";
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        std::vector<std::string> all{ORVAN_DEVSIM_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            ADD_FAILURE() << "cannot start " << ORVAN_DEVSIM_PATH;
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fds[0];
    }
    ~Process() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Waits for `text` in the output after the previous match, and moves past it.
    bool WaitFor(const std::string& text) {
        const auto deadline = SteadyClock::now() + kDeadline;
        for (;;) {
            if (const auto at = output_.find(text, seen_); at != std::string::npos) {
                seen_ = at + text.size();
                return true;
            }
            if (!ReadSome(deadline)) return false;
        }
    }

    // Sends `sig`, reads the output to its end and returns the exit code (-1: no normal exit).
    int Stop(int sig) {
        if (pid_ <= 0) return -1;
        kill(pid_, sig);
        return Wait();
    }

    int Wait() {
        const auto deadline = SteadyClock::now() + kDeadline;
        while (ReadSome(deadline)) {
        }
        if (MillisecondsLeft(deadline) == 0) return -1;  // the destructor kills it
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string& output() const { return output_; }

private:
    // False at the end of the output or at the deadline.
    bool ReadSome(SteadyClock::time_point deadline) {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, MillisecondsLeft(deadline)) != 1) return false;
        char buf[4096];
        const ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) return false;
        output_.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
    std::size_t seen_ = 0;
};

struct State {
    std::string telemetry = "6024", h323 = "6025", gateway = "192.168.119.1",
                ip = "192.168.119.141", handset = "192.168.119.240", mask = "255.255.255.0",
                mac = "00-AC-6E-24-18-02", clock;
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
        const std::vector<std::string> base{"--address", "127.0.0.1",
                                            "--port",    std::to_string(peer_.port()),
                                            "--state",   StatePath()};
        args.insert(args.begin(), base.begin(), base.end());
        sim_ = std::make_unique<Process>(args);
        ASSERT_TRUE(sim_->WaitFor("listening on 127.0.0.1:" + std::to_string(peer_.port())))
            << sim_->output();
    }

    std::string StatePath() const { return (dir_ / "state").string(); }

    std::string StateText() const {
        std::ifstream in(StatePath(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Sends `bytes` and waits for the simulator's line that says what it did with them.
    void SendAndWait(const std::string& bytes, const std::string& outcome) {
        peer_.Send(bytes);
        ASSERT_TRUE(sim_->WaitFor(outcome)) << "expected \"" << outcome << "\" in:\n"
                                            << sim_->output();
    }

    // The next datagram that reaches the peer must be the reply to a new request.
    void ExpectReply(const std::string& reply) {
        peer_.Send("GO");
        const auto got = peer_.Receive();
        ASSERT_TRUE(got) << "no reply; simulator output:\n" << sim_->output();
        EXPECT_EQ(got->bytes, reply);
        // From the simulator's own port, which is also the port the reply goes to.
        EXPECT_EQ(got->from, "127.0.0.1:" + std::to_string(peer_.port()));
    }

    fs::path dir_;
    Peer peer_;
    std::unique_ptr<Process> sim_;
};

// ---- configuration reply ------------------------------------------------------------------

struct ReplyCase {
    const char* label;
    std::vector<std::string> args;
    std::string reply;
    State state;
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.label;
}

class ReplyTest : public DevsimTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyTest, AnswersGoWithItsSettings) {
    Start(GetParam().args);
    EXPECT_EQ(StateText(), GetParam().state.Text());
    ExpectReply(GetParam().reply);
    EXPECT_TRUE(
        sim_->WaitFor("sent the configuration reply to 127.0.0.2:" + std::to_string(peer_.port())));
}

State Custom() {
    State s;
    s.telemetry = "5", s.h323 = "65535", s.gateway = "10.0.0.16", s.ip = "0.0.0.0";
    s.handset = "255.1.2.3", s.mask = "255.255.0.0", s.mac = "AB CD";
    return s;
}

State ZeroPorts() {
    State s;
    s.telemetry = "0", s.h323 = "0", s.mac = "";
    return s;
}

State EqualsForm() {
    State s;
    s.telemetry = "4096", s.ip = "127.0.0.1";
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Devsim, ReplyTest,
    ::testing::Values(
        ReplyCase{"defaults", {}, kSampleReply, State{}},
        ReplyCase{"settings_from_command_line",
                  {"--telemetry", "5", "--h323", "65535", "--gateway", "10.0.0.16", "--ip",
                   "0.0.0.0", "--handset", "255.1.2.3", "--mask", "255.255.0.0", "--mac", "AB CD"},
                  "<5#FFFF#A.0.0.10#0.0.0.0#FF.1.2.3#FF.FF.0.0#AB CD>",
                  Custom()},
        ReplyCase{"zero_ports_and_empty_mac",
                  {"--telemetry", "0", "--h323", "0", "--mac", ""},
                  "<0#0#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#>",
                  ZeroPorts()},
        ReplyCase{"option_with_equals_sign",
                  {"--telemetry=4096", "--ip=127.0.0.1"},
                  "<1000#1789#C0.A8.77.1#7F.0.0.1#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>",
                  EqualsForm()}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(DevsimTest, RepliesToTheDevicePortNotToTheSendersPort) {
    Start();
    // The program sends from a port of its own and listens on the device port number.
    const int other = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(other, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F000002);
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(0x7F000001);
    to.sin_port = htons(peer_.port());
    EXPECT_EQ(sendto(other, "GO", 2, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 2);
    close(other);
    const auto got = peer_.Receive();
    ASSERT_TRUE(got) << sim_->output();
    EXPECT_EQ(got->bytes, kSampleReply);
}

// ---- configuration command ----------------------------------------------------------------

struct CommandCase {
    const char* label;
    std::string command;
    State state;        // after the command
    std::string reply;  // to the next request
};

void PrintTo(const CommandCase& c, std::ostream* os) {
    *os << c.label;
}

class ValidCommandTest : public DevsimTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(ValidCommandTest, IsAppliedAndReported) {
    Start();
    SendAndWait(GetParam().command, "configuration command applied");
    EXPECT_EQ(StateText(), GetParam().state.Text());
    ExpectReply(GetParam().reply);
}

State Applied(std::string telemetry, std::string h323, std::string gateway, std::string ip,
              std::string handset, std::string mask, std::string mac) {
    State s;
    s.telemetry = telemetry, s.h323 = h323, s.gateway = gateway, s.ip = ip;
    s.handset = handset, s.mask = mask, s.mac = mac, s.config_commands = 1;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Devsim, ValidCommandTest,
    ::testing::Values(
        CommandCase{"padded_quads",
                    "<1770#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#11-22-33-44-55-66>",
                    Applied("6000", "6001", "10.0.0.1", "10.0.0.141", "10.0.0.240", "255.255.0.0",
                            "11-22-33-44-55-66"),
                    "<1770#1771#A.0.0.1#A.0.0.8D#A.0.0.F0#FF.FF.0.0#11-22-33-44-55-66>"},
        CommandCase{
            "initial_window_contents", "<0#0#0.0.0.0#0.0.0.0#0.0.0.0#0.0.0.0#00:00:00:00:00:00>",
            Applied("0", "0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "00:00:00:00:00:00"),
            "<0#0#0.0.0.0#0.0.0.0#0.0.0.0#0.0.0.0#00:00:00:00:00:00>"},
        CommandCase{
            "largest_values_and_lower_case",
            "<ffff#FfFf#ff.FF.fe.01#01.02.03.04#00.00.00.00#FF.FF.FF.FC#>",
            Applied("65535", "65535", "255.255.254.1", "1.2.3.4", "0.0.0.0", "255.255.255.252", ""),
            "<FFFF#FFFF#FF.FF.FE.1#1.2.3.4#0.0.0.0#FF.FF.FF.FC#>"},
        CommandCase{"mac_is_free_text",
                    "<1#2#01.02.03.04#05.06.07.08#09.0A.0B.0C#FF.00.00.00#a#b c>",
                    Applied("1", "2", "1.2.3.4", "5.6.7.8", "9.10.11.12", "255.0.0.0", "a#b c"),
                    "<1#2#1.2.3.4#5.6.7.8#9.A.B.C#FF.0.0.0#a#b c>"}),
    [](const auto& info) { return std::string(info.param.label); });

struct RejectCase {
    const char* label;
    std::string command;
};

void PrintTo(const RejectCase& c, std::ostream* os) {
    *os << c.label;
}

class InvalidCommandTest : public DevsimTest, public ::testing::WithParamInterface<RejectCase> {};

TEST_P(InvalidCommandTest, IsRejectedAndChangesNothing) {
    Start();
    const std::string before = StateText();
    ASSERT_EQ(before, State{}.Text());
    SendAndWait(GetParam().command, "configuration command rejected");
    EXPECT_EQ(StateText(), before);
    ExpectReply(kSampleReply);
}

INSTANTIATE_TEST_SUITE_P(
    Devsim, InvalidCommandTest,
    ::testing::Values(
        RejectCase{"bad_hex_in_port",
                   "<17G0#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>"},
        RejectCase{"port_above_FFFF",
                   "<11170#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>"},
        RejectCase{"negative_port_as_sent_for_minus_one",
                   "<FFFFFFFF#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>"},
        RejectCase{"empty_port", "<#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>"},
        RejectCase{"signed_port", "<+1770#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>"},
        RejectCase{"bad_hex_in_part",
                   "<1770#1771#0A.00.00.0G#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>"},
        RejectCase{"part_above_FF",
                   "<1770#1771#0A.00.00.01#0A.00.00.12C#0A.00.00.F0#FF.FF.00.00#M>"},
        RejectCase{"part_with_three_digits",
                   "<1770#1771#0A.00.00.001#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>"},
        RejectCase{"decimal_instead_of_hex",
                   "<6024#6025#192.168.119.1#192.168.119.141#192.168.119.240#255.255.255.0#M>"},
        RejectCase{"three_parts", "<1770#1771#0A.00.00.01#0A.00.00.8D#0A.00.F0#FF.FF.00.00#M>"},
        RejectCase{"five_parts",
                   "<1770#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00.01#M>"},
        RejectCase{"empty_part", "<1770#1771#0A..00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>"},
        RejectCase{"missing_field", "<1770#1771#0A.00.00.01#0A.00.00.8D#FF.FF.00.00#M>"},
        RejectCase{"no_closing_bracket",
                   "<1770#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M"},
        RejectCase{"text_after_closing_bracket",
                   "<1770#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M>x"},
        RejectCase{"control_byte_in_mac",
                   "<1770#1771#0A.00.00.01#0A.00.00.8D#0A.00.00.F0#FF.FF.00.00#M\n>"},
        RejectCase{"bracket_alone", "<"}, RejectCase{"empty_brackets", "<>"}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- time command -------------------------------------------------------------------------

struct TimeCase {
    const char* label;
    std::string command;
    bool accepted;
};

void PrintTo(const TimeCase& c, std::ostream* os) {
    *os << c.label;
}

class TimeCommandTest : public DevsimTest, public ::testing::WithParamInterface<TimeCase> {};

TEST_P(TimeCommandTest, SetsTheClockOnlyWhenValid) {
    Start();
    State expected;
    if (GetParam().accepted) {
        SendAndWait(GetParam().command, "time command applied");
        expected.clock = GetParam().command.substr(8, 20);
        expected.time_commands = 1;
    } else {
        SendAndWait(GetParam().command, "time command rejected");
    }
    EXPECT_EQ(StateText(), expected.Text());
}

INSTANTIATE_TEST_SUITE_P(
    Devsim, TimeCommandTest,
    ::testing::Values(TimeCase{"sunday", "USTTIME<26*12*06*07*13*22*45>", true},
                      TimeCase{"monday_morning", "USTTIME<26*01*05*01*09*05*03>", true},
                      TimeCase{"leap_day", "USTTIME<28*02*29*02*00*00*00>", true},
                      TimeCase{"last_second_of_2099", "USTTIME<99*12*31*04*23*59*59>", true},
                      TimeCase{"weekday_disagrees", "USTTIME<26*12*06*01*13*22*45>", false},
                      TimeCase{"weekday_zero", "USTTIME<26*12*06*00*13*22*45>", false},
                      TimeCase{"weekday_eight", "USTTIME<26*12*06*08*13*22*45>", false},
                      TimeCase{"month_zero", "USTTIME<26*00*06*07*13*22*45>", false},
                      TimeCase{"month_13", "USTTIME<26*13*06*07*13*22*45>", false},
                      TimeCase{"february_29_of_2025", "USTTIME<25*02*29*06*13*22*45>", false},
                      TimeCase{"day_32", "USTTIME<26*01*32*07*13*22*45>", false},
                      TimeCase{"hour_24", "USTTIME<26*12*06*07*24*22*45>", false},
                      TimeCase{"minute_60", "USTTIME<26*12*06*07*13*60*45>", false},
                      TimeCase{"second_60", "USTTIME<26*12*06*07*13*22*60>", false},
                      TimeCase{"letter_in_field", "USTTIME<26*12*06*07*13*2a*45>", false},
                      TimeCase{"blank_in_field", "USTTIME<26*12* 6*07*13*22*45>", false},
                      TimeCase{"wrong_separator", "USTTIME<26-12-06-07-13-22-45>", false},
                      TimeCase{"no_closing_bracket", "USTTIME<26*12*06*07*13*22*45x", false},
                      TimeCase{"one_byte_short", "USTTIME<26*12*06*07*13*22*4>", false},
                      TimeCase{"one_byte_too_many", "USTTIME<26*12*06*07*13*22*45>>", false}),
    [](const auto& info) { return std::string(info.param.label); });

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
    State expected = Applied("3", "4", "1.2.3.4", "5.6.7.8", "9.10.11.12", "255.0.0.0", "M3");
    expected.config_commands = 2;
    expected.time_commands = 2;
    expected.clock = "26*12*07*01*00*00*01";
    EXPECT_EQ(StateText(), expected.Text());
}

// ---- other datagrams ----------------------------------------------------------------------

class UnknownDatagramTest : public DevsimTest, public ::testing::WithParamInterface<RejectCase> {};

TEST_P(UnknownDatagramTest, IsAnsweredWithNothing) {
    Start();
    SendAndWait(GetParam().command, "ignored");
    // Had it been answered, that answer would reach the peer before the reply to this request.
    ExpectReply(kSampleReply);
    EXPECT_EQ(StateText(), State{}.Text());
}

INSTANTIATE_TEST_SUITE_P(
    Devsim, UnknownDatagramTest,
    ::testing::Values(RejectCase{"echo_reply", "Replied from host to \"" + kSampleReply + "\""},
                      RejectCase{"operator_text", "TEST"}, RejectCase{"empty", ""},
                      RejectCase{"lower_case_request", "go"},
                      RejectCase{"request_with_blank", "GO "},
                      RejectCase{"request_with_line_end", "GO\r\n"},
                      RejectCase{"request_with_nul", std::string("GO\0", 3)},
                      RejectCase{"lower_case_time_command", "usttime<26*12*06*07*13*22*45>"}),
    [](const auto& info) { return std::string(info.param.label); });

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

struct ArgsCase {
    const char* label;
    std::vector<std::string> args;
    std::string named;  // the message must name the fault
};

void PrintTo(const ArgsCase& c, std::ostream* os) {
    *os << c.label;
}

class BadArgumentsTest : public ::testing::TestWithParam<ArgsCase> {};

TEST_P(BadArgumentsTest, ExitWithCodeTwoAndAMessage) {
    Process p(GetParam().args);
    EXPECT_EQ(p.Wait(), 2) << p.output();
    EXPECT_NE(p.output().find(GetParam().named), std::string::npos) << p.output();
}

INSTANTIATE_TEST_SUITE_P(
    Devsim, BadArgumentsTest,
    ::testing::Values(ArgsCase{"unknown_option", {"--frobnicate", "1"}, "--frobnicate"},
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
                      ArgsCase{"empty_state_file", {"--state", ""}, "--state"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(DevsimHelp, PrintsUsageAndExitsWithZero) {
    Process p({"--help"});
    EXPECT_EQ(p.Wait(), 0);
    for (const char* option :
         {"Usage: orvan-devsim", "--address", "--port", "--telemetry", "--h323", "--gateway",
          "--ip", "--handset", "--mask", "--mac", "--state"}) {
        EXPECT_NE(p.output().find(option), std::string::npos) << option;
    }
}

}  // namespace
