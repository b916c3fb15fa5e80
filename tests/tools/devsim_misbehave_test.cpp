// The simulator's misbehaviours, which orvanctl's tests lean on: requests dropped, answered
// late or in part, commands ignored. The real process on 127.0.0.1, spoken to from 127.0.0.2
// at the same port, as a program on another host would.

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
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kSampleReply =
    "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>";
const std::string kCommand = "<1B58#1789#C0.A8.77.01#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.00#AA-BB>";
const std::string kTimeCommand = "USTTIME<26*12*06*07*13*22*45>";
constexpr milliseconds kDeadline{10000};  // bounds a failing test only

sockaddr_in Address(const char* ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// The program's side: a datagram socket on 127.0.0.2 at a port the system picks.
class Peer {
public:
    Peer() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Address("127.0.0.2", 0);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        socklen_t length = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
    }
    ~Peer() { ::close(fd_); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    std::uint16_t port() const { return port_; }

    void Send(const std::string& bytes) const {
        const sockaddr_in to = Address("127.0.0.1", port_);
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
    }

    std::optional<std::string> Receive(milliseconds limit) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, int(limit.count())) != 1) return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) return std::nullopt;
        return std::string(buffer, std::size_t(n));
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// The simulator as a child process; its output is read from a pipe.
class Simulator {
public:
    explicit Simulator(std::vector<std::string> args) {
        args.insert(args.begin(), ORVAN_DEVSIM_PATH);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int pipe_fds[2];
        if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe_fds[1]);
        out_ = pipe_fds[0];
    }
    ~Simulator() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Waits for `text` in the output after the previous match, and moves past it.
    bool WaitFor(const std::string& text) {
        const auto end = Clock::now() + kDeadline;
        for (;;) {
            if (const auto at = output_.find(text, seen_); at != std::string::npos) {
                seen_ = at + text.size();
                return true;
            }
            const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
            pollfd p{out_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) != 1) return false;
            char buffer[4096];
            const ssize_t n = ::read(out_, buffer, sizeof buffer);
            if (n <= 0) return false;
            output_.append(buffer, std::size_t(n));
        }
    }

    // The exit code once it ends by itself, -1 when it does not within the deadline.
    int Wait() {
        const auto end = Clock::now() + kDeadline;
        while (Clock::now() < end) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            ::usleep(10000);
        }
        return -1;
    }

    const std::string& output() const { return output_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
    std::size_t seen_ = 0;
};

class TempDir {
public:
    TempDir() {
        std::string dir = (fs::temp_directory_path() / "orvan-misbehave-XXXXXX").string();
        if (::mkdtemp(dir.data())) path_ = dir;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

template <typename Case>
requires requires(const Case& c) {
    c.label;
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.label;
}
const auto kLabel = [](const auto& info) { return std::string(info.param.label); };

std::unique_ptr<Simulator> Start(const Peer& peer, const std::string& state,
                                 std::vector<std::string> args) {
    const std::string port = std::to_string(peer.port());
    args.insert(args.begin(), {"--address", "127.0.0.1", "--port", port, "--state", state});
    auto sim = std::make_unique<Simulator>(args);
    EXPECT_TRUE(sim->WaitFor("listening on 127.0.0.1:" + port)) << sim->output();
    return sim;
}

// ---- requests ------------------------------------------------------------------------------

struct RequestCase {
    const char* label;
    std::vector<std::string> args;
    // One entry per "GO" sent in turn: the reply it gets, or none within the quiet time.
    std::vector<std::optional<std::string>> replies;
    milliseconds earliest{0};  // no reply comes sooner than this after its request
};

class RequestTest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestTest, AnswersAsTold) {
    const RequestCase& c = GetParam();
    Peer peer;
    TempDir dir;
    ASSERT_NE(peer.port(), 0);
    auto sim = Start(peer, (dir.path() / "state").string(), c.args);
    // Quiet long enough for a late reply to show up if it were there.
    const milliseconds quiet = c.earliest + milliseconds(300);
    for (std::size_t i = 0; i < c.replies.size(); ++i) {
        const auto sent = Clock::now();
        peer.Send("GO");
        const auto got = peer.Receive(c.replies[i] ? kDeadline : quiet);
        const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - sent);
        EXPECT_EQ(got, c.replies[i]) << "request " << i + 1 << "; output:\n" << sim->output();
        if (got) {
            EXPECT_GE(took, c.earliest) << "request " << i + 1;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Misbehave, RequestTest,
    ::testing::Values(RequestCase{"well_behaved_answers_at_once", {}, {kSampleReply, kSampleReply}},
                      RequestCase{"drops_the_first_two_then_answers",
                                  {"--drop-requests", "2"},
                                  {std::nullopt, std::nullopt, kSampleReply, kSampleReply}},
                      RequestCase{
                          "answers_late", {"--delay", "400"}, {kSampleReply}, milliseconds(400)},
                      RequestCase{"answers_in_part_with_the_closing_bracket",
                                  {"--partial", "21"},
                                  {"<1788#1789#C0.A8.77.1>", "<1788#1789#C0.A8.77.1>"}},
                      RequestCase{"a_part_longer_than_the_reply_is_the_whole_reply",
                                  {"--partial", "500"},
                                  {kSampleReply}},
                      RequestCase{"partial_and_late_together",
                                  {"--partial", "1", "--delay", "200"},
                                  {"<>"},
                                  milliseconds(200)}),
    kLabel);

// ---- commands ------------------------------------------------------------------------------

struct CommandCase {
    const char* label;
    std::vector<std::string> args;
    std::string datagram;
    std::string outcome;  // the simulator's line about it
    std::string reply;    // to the next request
    std::string counts;   // the command counters in the state file afterwards
};

class CommandTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandTest, AppliesOrIgnores) {
    const CommandCase& c = GetParam();
    Peer peer;
    TempDir dir;
    ASSERT_NE(peer.port(), 0);
    const std::string state = (dir.path() / "state").string();
    auto sim = Start(peer, state, c.args);
    peer.Send(c.datagram);
    ASSERT_TRUE(sim->WaitFor(c.outcome)) << sim->output();
    peer.Send("GO");
    EXPECT_EQ(peer.Receive(kDeadline), c.reply) << sim->output();
    std::ifstream in(state, std::ios::binary);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    EXPECT_NE(text.find(c.counts), std::string::npos) << text;
}

const std::string kIgnored = "ignored: a command, and commands are ignored (--ignore-commands)";
const std::string kChangedReply = "<1B58#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#AA-BB>";

INSTANTIATE_TEST_SUITE_P(
    Misbehave, CommandTest,
    ::testing::Values(CommandCase{"configuration_applied_normally",
                                  {},
                                  kCommand,
                                  "configuration command applied",
                                  kChangedReply,
                                  "time_commands=0\nconfig_commands=1\n"},
                      CommandCase{"configuration_ignored",
                                  {"--ignore-commands"},
                                  kCommand,
                                  kIgnored,
                                  kSampleReply,
                                  "time_commands=0\nconfig_commands=0\n"},
                      CommandCase{"time_ignored",
                                  {"--ignore-commands"},
                                  kTimeCommand,
                                  kIgnored,
                                  kSampleReply,
                                  "clock=\ntime_commands=0\nconfig_commands=0\n"},
                      CommandCase{"requests_still_answered_late_after_an_ignored_command",
                                  {"--ignore-commands", "--delay", "100"},
                                  kCommand,
                                  kIgnored,
                                  kSampleReply,
                                  "config_commands=0\n"}),
    kLabel);

// ---- the options themselves ----------------------------------------------------------------

struct UsageCase {
    const char* label;
    std::vector<std::string> args;
    std::string message;
};

class UsageTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, RefusesWithExitCode2) {
    const UsageCase& c = GetParam();
    Simulator sim(c.args);
    EXPECT_EQ(sim.Wait(), 2);
    EXPECT_TRUE(sim.WaitFor(c.message)) << sim.output();
}

INSTANTIATE_TEST_SUITE_P(
    Misbehave, UsageTest,
    ::testing::Values(
        UsageCase{"delay_not_a_number", {"--delay", "soon"}, "--delay: 'soon' is not a number"},
        UsageCase{"delay_too_long", {"--delay", "600001"}, "not a number up to 600000"},
        UsageCase{"drop_negative", {"--drop-requests", "-1"}, "--drop-requests: '-1'"},
        UsageCase{"partial_without_value", {"--partial"}, "option --partial needs a value"}),
    kLabel);

}  // namespace
