// What the window's tests cannot show: reports no handler declared handled, resets, lookups
// that outlive their client, and notifications held while an event runs.
#include "net/tcp_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/resource.h>

#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "base/error.h"
#include "net/descriptor.h"
#include "support/tcp_peer.h"
#include "udp_peer.h"

namespace {

using net::TClientSocket;
using net::TCustomWinSocket;
using testing_support::TcpConnection;
using Log = std::vector<std::string>;

void SpinFor(int ms) {
    nettest::SpinUntil([] { return false; }, std::chrono::milliseconds(ms));
}

// "first.test" answers 127.0.0.2 once `first` is released, "second.test" 127.0.0.1 once
// `second` is; any other name does not exist.
net::Resolver Answering(std::shared_future<void> first, std::shared_future<void> second) {
    return [first, second](const std::string& host) {
        net::LookupResult r;
        if (host == "first.test") {
            first.wait();
            r.addresses.push_back({inet_addr("127.0.0.2")});
        } else if (host == "second.test") {
            second.wait();
            r.addresses.push_back({inet_addr("127.0.0.1")});
        }
        r.error = r.addresses.empty() ? 11001 : 0;
        return r;
    };
}

class TcpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        nettest::EnsureApp();
        client = std::make_unique<TClientSocket>(lookups);
        client->Host = "127.0.0.1";
        client->Port = server.port();
        client->OnConnect = [this](TClientSocket& c, TCustomWinSocket& s) {
            log.push_back("connect " + s.RemoteAddress() + (c.Active() ? "" : " inactive"));
        };
        client->OnDisconnect = [this](TClientSocket& c, TCustomWinSocket& s) {
            log.push_back("disconnect " + s.RemoteAddress() + (c.Active() ? " active" : ""));
        };
        client->OnError = [this](TClientSocket&, TCustomWinSocket&, net::TErrorEvent e, int& code) {
            static const char* const kKinds[] = {"general",    "send",   "receive", "connect",
                                                 "disconnect", "accept", "lookup"};
            log.push_back(std::string("error ") + kKinds[e] + " " + std::to_string(code));
            if (clear) code = 0;
        };
        client->OnEventFailed = [this](std::exception_ptr failure) {
            try {
                std::rethrow_exception(failure);
            } catch (const std::exception& e) {
                log.push_back(std::string("failed ") + e.what());
            }
        };
    }
    void TearDown() override {
        for (std::promise<void>* gate : {&first, &second}) {
            try {
                gate->set_value();
            } catch (const std::future_error&) {
                // released by the test
            }
        }
    }

    bool WaitLog(std::size_t size) {
        const bool got = nettest::SpinUntil([&] { return log.size() >= size; });
        SpinFor(30);  // anything that should not come would come now
        return got;
    }
    TcpConnection ConnectAndAccept() {
        client->Open();
        TcpConnection c = server.Accept();
        EXPECT_TRUE(WaitLog(log.size() + 1));
        return c;
    }

    testing_support::TcpServer server;
    std::promise<void> first, second;
    net::AsyncLookup lookups{Answering(first.get_future().share(), second.get_future().share())};
    std::unique_ptr<TClientSocket> client;
    Log log;
    bool clear = true;
};

// Failures that no error event declares handled: the events, then the client's own report,
// or what Open throws at once.
struct Failure {
    const char* label;
    std::string host;  // a name other than "" does not exist
    enum { kNone, kClosedPort, kNoDescriptors, kReserveOnly, kNoRoute } how;
    Log expected;
    friend void PrintTo(const Failure& row, std::ostream* os) { *os << row.label; }
};

class TcpClientFailureTest : public TcpClientTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(TcpClientFailureTest, EventsAndReports) {
    const Failure& row = GetParam();
    const char* netns = std::getenv("ORVAN_NETNS");
    if (row.how == Failure::kNoRoute && (netns == nullptr || std::string(netns) != "1")) {
        GTEST_SKIP() << "needs a private network namespace (ORVAN_NETNS=1)";
    }
    client->Host = row.host;
    if (row.how == Failure::kClosedPort) client->Port = testing_support::ClosedTcpPort();
    clear = false;
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    if (row.how == Failure::kNoDescriptors || row.how == Failure::kReserveOnly) {
        const int next = dup(0);
        close(next);
        // kReserveOnly: a socket can be had, but only from the reserve.
        const int room = row.how == Failure::kReserveOnly ? net::kReservedDescriptors : 0;
        const rlimit low{static_cast<rlim_t>(next + room), old.rlim_max};
        setrlimit(RLIMIT_NOFILE, &low);
    }
    std::exception_ptr thrown;
    try {
        client->Open();
    } catch (...) {
        thrown = std::current_exception();
    }
    // Restored before the error is looked at: the sanitizers' checks need descriptors too.
    setrlimit(RLIMIT_NOFILE, &old);
    try {
        if (thrown) std::rethrow_exception(thrown);
    } catch (const base::Error& e) {
        log.push_back(std::string("threw ") + e.what());
    }
    WaitLog(row.expected.size());
    EXPECT_EQ(log, row.expected);
}

// clang-format off
const Failure kFailures[] = {
    {"refused", "127.0.0.1", Failure::kClosedPort,
     {"error connect 10061", "failed Asynchronous socket error 10061"}},
    {"empty_host", "", Failure::kNone,
     {"error lookup 1110", "disconnect ", "failed No address specified"}},
    {"unknown_name", "nowhere.test", Failure::kNone,
     {"error lookup 11001", "disconnect ",
      "failed Windows socket error: Host not found. (11001), on API 'ASync Lookup'"}},
    {"no_socket", "127.0.0.1", Failure::kNoDescriptors, {"threw Can't create new socket"}},
    {"refused_at_once", "10.0.0.7", Failure::kNoRoute,  // no route inside the namespace
     {"error connect 10051", "disconnect ",
      "failed Windows socket error: Network is unreachable. (10051), on API 'connect'"}},
    {"descriptor_reserve", "127.0.0.1", Failure::kReserveOnly,
     {"error general 10024", "disconnect ",
      "failed Windows socket error: Too many open files. (10024), on API 'socket'"}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Table, TcpClientFailureTest, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(TcpClientTest, ResetLeavesItConnectedUntilASendFails) {
    TcpConnection peer = ConnectAndAccept();
    peer.Reset();
    ASSERT_TRUE(WaitLog(2));
    EXPECT_EQ(log, (Log{"connect 127.0.0.1", "error disconnect 10054"}));
    EXPECT_TRUE(client->Socket().Connected());
    client->Socket().SendText("x");
    EXPECT_EQ(log, (Log{"connect 127.0.0.1", "error disconnect 10054", "error send 10058",
                        "disconnect 127.0.0.1"}));
    EXPECT_FALSE(client->Socket().Connected());

    // Not handled: the send itself fails.
    clear = false;
    TcpConnection again = ConnectAndAccept();
    again.Reset();
    ASSERT_TRUE(WaitLog(7));
    try {
        client->Socket().SendText("x");
        ADD_FAILURE() << "no failure";
    } catch (const base::Error& e) {
        EXPECT_STREQ(e.what(),
                     "Windows socket error: Cannot send or receive after socket is closed. "
                     "(10058), on API 'send'");
    }
}

// A lookup abandoned by a new Open, or by the client's end, answers into nothing.
TEST_F(TcpClientTest, LateLookupsReachNoClient) {
    client->Host = "first.test";
    client->Open();
    client->Host = "127.0.0.1";
    TcpConnection peer = ConnectAndAccept();
    first.set_value();
    SpinFor(100);
    client->Close();
    client->Close();
    EXPECT_TRUE(peer.Ended());

    client->Host = "second.test";
    client->Open();
    client.reset();
    second.set_value();
    SpinFor(100);
    EXPECT_EQ(log, (Log{"connect 127.0.0.1", "disconnect 127.0.0.1"}));
}

// While a handler runs a nested loop, as a message box does, this client's notifications
// wait; what a handler raises goes to OnEventFailed, and the client goes on.
TEST_F(TcpClientTest, NotificationsWaitWhileAnEventRuns) {
    TcpConnection peer = ConnectAndAccept();
    Log reads;
    client->OnRead = [&](TClientSocket&, TCustomWinSocket& s) {
        reads.push_back(s.ReceiveText());
        if (reads.size() != 1) return;
        peer.Send("more");
        peer.Close();
        log.push_back("box");
        SpinFor(100);
        log.push_back("box closed");
        throw base::Error("boom");
    };
    ASSERT_TRUE(peer.Send("first"));
    ASSERT_TRUE(WaitLog(5));
    EXPECT_EQ(log, (Log{"connect 127.0.0.1", "box", "box closed", "failed boom",
                        "disconnect 127.0.0.1"}));
    EXPECT_EQ(reads, (Log{"first", "more"}));
}

// What a peer gets while the test spins the client's event loop, so that what waits goes out.
// Reading stops at `size` bytes or after a second without any.
std::string ReadWhileSpinning(const TcpConnection& peer, std::size_t size) {
    auto got = std::async(std::launch::async, [&] { return peer.Read(size, 1000); });
    nettest::SpinUntil(
        [&] { return got.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        std::chrono::seconds(30));
    return got.get();
}

constexpr std::size_t kChunk = std::size_t{1} << 20;

// A peer that never reads: sends are kept up to the bound beyond what the system holds; the
// one that would pass it is refused whole (10055) through the error event, the connection
// stays, and every accepted byte arrives in order once the peer reads.
TEST_F(TcpClientTest, SendsBeyondTheBoundAreRefusedWholeAndNothingAcceptedIsLost) {
    TcpConnection peer = ConnectAndAccept();
    const std::string bytes = nettest::Pattern(kChunk * 40);
    std::size_t accepted = 0;
    std::size_t taken = 0;  // by the system at once
    while (log.size() == 1 && accepted < bytes.size()) {
        const int n = client->Socket().SendText(std::string_view(bytes).substr(accepted, kChunk));
        if (log.size() > 1) break;
        taken += static_cast<std::size_t>(n);
        accepted += kChunk;
    }
    ASSERT_EQ(log, (Log{"connect 127.0.0.1", "error send 10055"}));
    // The system took `taken` at least: not refused before the bound was reached.
    EXPECT_GT(accepted + kChunk, TClientSocket::kMaxUnsent + taken);
    EXPECT_TRUE(client->Socket().Connected());

    // Not handled: the send throws, and is refused all the same.
    clear = false;
    try {
        client->Socket().SendText(std::string_view(bytes).substr(accepted, kChunk));
        ADD_FAILURE() << "no failure";
    } catch (const base::Error& e) {
        EXPECT_STREQ(e.what(),
                     "Windows socket error: No buffer space available. (10055), on API 'send'");
    }
    const std::string got = ReadWhileSpinning(peer, accepted + 1);
    EXPECT_EQ(got.size(), accepted);
    EXPECT_TRUE(got == bytes.substr(0, accepted)) << "the accepted bytes, in order";
}

// A send behind bytes that still wait counts only its own bytes that went out.
TEST_F(TcpClientTest, ASendBehindWaitingBytesReturnsItsOwnCount) {
    TcpConnection peer = ConnectAndAccept();
    const std::string bytes = nettest::Pattern(kChunk * 64);
    std::size_t sent = 0, taken = 0;
    for (; sent < bytes.size(); sent += kChunk) {
        const auto n = static_cast<std::size_t>(
            client->Socket().SendText(std::string_view(bytes).substr(sent, kChunk)));
        taken += n;
        if (n < kChunk) {
            sent += kChunk;
            break;
        }
    }
    ASSERT_LT(taken, sent) << "the system never filled up";
    ASSERT_GT(taken, kChunk) << "the system holds less than what waits";
    // The peer takes what the system held; the client has not run its loop to send more.
    ASSERT_EQ(peer.Read(taken, 2000).size(), taken);
    EXPECT_EQ(client->Socket().SendText("tail"), 4);
    const std::string rest = ReadWhileSpinning(peer, sent - taken + 4);
    EXPECT_TRUE(rest == bytes.substr(taken, sent - taken) + "tail");
}

// Bytes that still waited when the connection was reset never reach the next connection.
TEST_F(TcpClientTest, WaitingBytesDoNotSurviveAReset) {
    TcpConnection peer = ConnectAndAccept();
    const std::string bytes = nettest::Pattern(kChunk);
    std::size_t waiting = 0;
    for (int i = 0; i < 64 && waiting == 0; ++i) {
        waiting = kChunk - static_cast<std::size_t>(client->Socket().SendText(bytes));
    }
    ASSERT_GT(waiting, 0U) << "the system never filled up";
    peer.Reset();
    ASSERT_TRUE(nettest::SpinUntil([&] { return log.size() >= 2; }));
    client->Close();
    ASSERT_FALSE(client->Socket().Connected());

    TcpConnection next = ConnectAndAccept();
    ASSERT_TRUE(next.ok());
    client->Socket().SendText("new");
    EXPECT_EQ(ReadWhileSpinning(next, 4), "new");
}

}  // namespace
