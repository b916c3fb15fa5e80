#include "net/tcp_client.h"

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <sys/resource.h>

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "base/error.h"
#include "support/tcp_peer.h"
#include "udp_peer.h"

namespace {

using net::TClientSocket;
using net::TCustomWinSocket;
using nettest::SpinUntil;
using testing_support::TcpConnection;
using testing_support::TcpServer;

bool InNamespace() {
    const char* v = std::getenv("ORVAN_NETNS");
    return v != nullptr && std::string(v) == "1";
}

void SpinFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// A lookup that answers only when the test lets it.
struct Gate {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    void Open() {
        const std::lock_guard lock(mutex);
        open = true;
        opened.notify_all();
    }
};

net::HostResolver Answering(std::string ip, std::shared_ptr<Gate> gate = nullptr) {
    return [ip, gate](const std::string&) {
        if (gate) {
            std::unique_lock lock(gate->mutex);
            gate->opened.wait(lock, [&] { return gate->open; });
        }
        net::LookupResult r;
        if (ip.empty()) {
            r.error = 11001;
        } else {
            r.addresses.push_back({inet_addr(ip.c_str())});
        }
        return r;
    };
}

class TcpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        nettest::EnsureApp();
        client = std::make_unique<TClientSocket>();
        client->Host = "127.0.0.1";
        client->Port = server.port();
        client->OnConnect = [this](TClientSocket& c, TCustomWinSocket& s) {
            log.push_back("connect " + s.RemoteAddress() + (c.Active() ? "" : " inactive"));
        };
        client->OnDisconnect = [this](TClientSocket& c, TCustomWinSocket& s) {
            log.push_back("disconnect " + s.RemoteAddress() + (c.Active() ? " active" : ""));
        };
        client->OnRead = [this](TClientSocket&, TCustomWinSocket& s) {
            reads.push_back(s.ReceiveText());
            if (on_read) on_read(s);
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
    void TearDown() override { net::SetHostResolver(nullptr); }

    bool WaitLog(std::size_t size) {
        const bool got = SpinUntil([&] { return log.size() >= size; });
        SpinFor(30);  // anything that should not come would come now
        return got;
    }
    TcpConnection ConnectAndAccept() {
        client->Open();
        TcpConnection c = server.Accept();
        EXPECT_TRUE(WaitLog(log.size() + 1));
        return c;
    }

    TcpServer server;
    std::unique_ptr<TClientSocket> client;
    std::vector<std::string> log;
    std::vector<std::string> reads;
    std::function<void(TCustomWinSocket&)> on_read;
    bool clear = true;
};

using Log = std::vector<std::string>;

// Failures that no error event declares handled: the event's kind and number, then the
// client's own report. (The window's handlers clear the code; its tests show that path.)
struct Failure {
    const char* label;
    std::string host;  // a name other than "" does not exist
    bool closed_port;
    Log expected;
    friend void PrintTo(const Failure& row, std::ostream* os) { *os << row.label; }
};

class TcpClientFailureTest : public TcpClientTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(TcpClientFailureTest, EventsAndReports) {
    net::SetHostResolver(Answering(""));
    client->Host = GetParam().host;
    if (GetParam().closed_port) client->Port = testing_support::ClosedTcpPort();
    clear = false;
    client->Open();
    WaitLog(GetParam().expected.size());
    EXPECT_EQ(log, GetParam().expected);
}

// clang-format off
const Failure kFailures[] = {
    {"refused", "127.0.0.1", true,
     {"error connect 10061", "failed Asynchronous socket error 10061"}},
    {"empty_host", "", false,
     {"error lookup 1110", "disconnect ", "failed No address specified"}},
    {"unknown_name", "nowhere.test", false,
     {"error lookup 11001", "disconnect ",
      "failed Windows socket error: Host not found. (11001), on API 'ASync Lookup'"}},
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

// Destroyed in each state, a client runs no event then or later.
class TcpClientDestroyTest : public TcpClientTest, public ::testing::WithParamInterface<int> {};

TEST_P(TcpClientDestroyTest, RunsNoEvent) {
    auto gate = std::make_shared<Gate>();
    net::SetHostResolver(Answering("127.0.0.1", gate));
    TcpConnection peer;
    switch (GetParam()) {
        case 0:  // connected
            peer = ConnectAndAccept();
            ASSERT_TRUE(peer.Send("unread"));
            log.clear();
            break;
        case 1:  // connecting
            client->Open();
            break;
        case 2:  // looking up a name
            client->Host = "slow.test";
            client->Open();
            break;
    }
    client.reset();
    gate->Open();
    SpinFor(100);
    EXPECT_EQ(log, Log{});
    if (peer.ok()) {
        EXPECT_TRUE(peer.Ended());
    }
}

INSTANTIATE_TEST_SUITE_P(States, TcpClientDestroyTest, ::testing::Values(0, 1, 2));

TEST_F(TcpClientTest, OpenAgainAbandonsTheLookupInProgress) {
    auto gate = std::make_shared<Gate>();
    net::SetHostResolver(Answering("127.0.0.2", gate));
    client->Host = "slow.test";
    client->Open();
    client->Host = "127.0.0.1";
    TcpConnection peer = ConnectAndAccept();
    gate->Open();
    SpinFor(100);
    EXPECT_EQ(log, Log{"connect 127.0.0.1"});
}

// While a handler runs a nested loop, as a message box does, this client's notifications
// wait; what a handler raises goes to OnEventFailed, and the client goes on.
TEST_F(TcpClientTest, NotificationsWaitWhileAnEventRuns) {
    TcpConnection peer = ConnectAndAccept();
    on_read = [&](TCustomWinSocket&) {
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
    EXPECT_EQ(reads, (std::vector<std::string>{"first", "more"}));
}

TEST_F(TcpClientTest, SocketThatCannotBeHad) {
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    const int next = dup(0);
    close(next);
    const rlimit low{static_cast<rlim_t>(next), old.rlim_max};
    setrlimit(RLIMIT_NOFILE, &low);
    std::exception_ptr failure;
    try {
        client->Open();
    } catch (...) {
        failure = std::current_exception();
    }
    // Restored first: the sanitizers need descriptors of their own to look at the error.
    setrlimit(RLIMIT_NOFILE, &old);
    ASSERT_TRUE(failure);
    try {
        std::rethrow_exception(failure);
    } catch (const base::Error& e) {
        EXPECT_STREQ(e.what(), "Can't create new socket");
    }
}

TEST_F(TcpClientTest, ConnectRefusedAtOnce) {
    if (!InNamespace()) GTEST_SKIP() << "needs a private network namespace (ORVAN_NETNS=1)";
    client->Host = "10.0.0.7";  // no route inside the namespace
    std::string what;
    try {
        client->Open();
    } catch (const base::Error& e) {
        what = e.what();
    }
    EXPECT_EQ(what, "Windows socket error: Network is unreachable. (10051), on API 'connect'");
    EXPECT_EQ(log, Log{"disconnect "});
}

}  // namespace
