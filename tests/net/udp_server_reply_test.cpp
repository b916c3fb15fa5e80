// Answers to the senders of delivered datagrams, which leave a batch at a time.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QCoreApplication>

#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/error.h"
#include "net/udp_server.h"
#include "support/event_loop.h"
#include "support/loopback_peer.h"

namespace {

using net::TIdSocketHandle;
using net::TIdUDPServer;
using testing_support::Datagram;
using testing_support::Peer;
using testing_support::ReceivedBeforeMarker;
using testing_support::SpinUntil;

class ReplyTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::EnsureApp();
        server.OnUDPRead = [this](TIdUDPServer& sender, std::string_view data,
                                  TIdSocketHandle& binding) {
            ++delivered;
            if (on_read) on_read(sender, data, binding);
        };
        server.AddBinding("127.0.0.1", 0);
        server.SetActive(true);
        port = server.Binding(0).LocalPort();
    }

    TIdUDPServer server;
    std::uint16_t port = 0;
    int delivered = 0;
    std::function<void(TIdUDPServer&, std::string_view, TIdSocketHandle&)> on_read;
};

// Sent before the event loop runs, so that they arrive as batches of many datagrams.
TEST_F(ReplyTest, EveryDatagramOfEveryBatchIsAnsweredInOrderToItsOwnSender) {
    on_read = [](TIdUDPServer&, std::string_view data, TIdSocketHandle& b) {
        b.ReplyToSender("re " + std::string(data));
    };
    const Peer peers[2];
    constexpr int kCount = 150;  // more than two batches
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(peers[i % 2].SendTo(QByteArray::number(i), "127.0.0.1", port));
    }
    ASSERT_TRUE(SpinUntil([&] { return delivered == kCount; }));
    for (int p = 0; p < 2; ++p) {
        QList<QByteArray> expected;
        for (int i = p; i < kCount; i += 2) expected.append("re " + QByteArray::number(i));
        EXPECT_EQ(ReceivedBeforeMarker(peers[p]), expected) << "peer " << p;
    }
}

// The answers held for a batch go before anything the handler sends itself, and before the
// listener closes its sockets.
struct HeldCase {
    const char* label;
    std::function<void(TIdUDPServer&, std::string_view, TIdSocketHandle&)> handler;
    QList<QByteArray> expected;  // for "a", "b", "c" sent at once
    bool active_after;
    friend void PrintTo(const HeldCase& row, std::ostream* os) { *os << row.label; }
};

class ReplyHeldTest : public ReplyTest, public ::testing::WithParamInterface<HeldCase> {};

TEST_P(ReplyHeldTest, AnswersLeaveInTheOrderGiven) {
    const HeldCase& row = GetParam();
    on_read = row.handler;
    const Peer peer;
    for (const char* text : {"a", "b", "c"}) ASSERT_TRUE(peer.SendTo(text, "127.0.0.1", port));
    ASSERT_TRUE(SpinUntil([&] { return delivered == (row.active_after ? 3 : 1); }));
    testing_support::ProcessPending();
    EXPECT_EQ(ReceivedBeforeMarker(peer), row.expected);
    EXPECT_EQ(server.Active(), row.active_after);
}

const HeldCase kHeldCases[] = {
    {"direct_send_after_answer",
     [](TIdUDPServer&, std::string_view data, TIdSocketHandle& b) {
         b.ReplyToSender("answer " + std::string(data));
         b.SendTo("direct " + std::string(data), b.PeerIP, b.PeerPort);
     },
     {"answer a", "direct a", "answer b", "direct b", "answer c", "direct c"},
     true},
    {"several_answers_per_datagram",
     [](TIdUDPServer&, std::string_view data, TIdSocketHandle& b) {
         for (int k = 0; k < 50; ++k) b.ReplyToSender(std::string(data) + std::to_string(k));
     },
     [] {
         QList<QByteArray> all;
         for (const char* d : {"a", "b", "c"}) {
             for (int k = 0; k < 50; ++k) all.append(d + QByteArray::number(k));
         }
         return all;
     }(),
     true},
    {"deactivated_after_answer",
     [](TIdUDPServer& sender, std::string_view data, TIdSocketHandle& b) {
         b.ReplyToSender("before " + std::string(data));
         sender.SetActive(false);
         b.ReplyToSender("after " + std::string(data));  // no socket: dropped, no failure
     },
     {"before a"},
     false},
};

INSTANTIATE_TEST_SUITE_P(Table, ReplyHeldTest, ::testing::ValuesIn(kHeldCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(ReplyTest, OutsideADeliveryTheAnswerGoesAtOnceToTheLastSender) {
    const Peer peer;
    ASSERT_TRUE(peer.SendTo("hello", "127.0.0.1", port));
    ASSERT_TRUE(SpinUntil([&] { return delivered == 1; }));
    server.Binding(0).ReplyToSender("later");
    const auto reply = peer.TryReceive();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->bytes, "later");
    EXPECT_EQ(reply->fromPort, port);
}

// --- answers from the listener's own thread ---

// Waits for a datagram without running the event loop, so that what arrives was not sent
// by a handler.
std::optional<Datagram> AwaitOffTheLoop(const Peer& peer, int limitMs = 5000) {
    for (int waited = 0; waited < limitMs; ++waited) {
        if (auto d = peer.TryReceive()) return d;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::nullopt;
}

std::size_t Threads() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

class AnswerTest : public ReplyTest {
protected:
    void SetUp() override {
        ReplyTest::SetUp();
        on_read = [this](TIdUDPServer&, std::string_view data, TIdSocketHandle&) {
            shown.emplace_back(data);
        };
        server.SetAnswer(Prefix("re "));
    }

    static TIdUDPServer::Answer Prefix(std::string prefix) {
        return [prefix](std::string_view data, bool, std::string& answer) {
            answer = prefix + std::string(data);
            return true;
        };
    }

    // One datagram in, its answer out, the event loop never running.
    QByteArray Exchange(const Peer& peer, const QByteArray& bytes) {
        if (!peer.SendTo(bytes, "127.0.0.1", port)) return "<not sent>";
        const auto answer = AwaitOffTheLoop(peer);
        return answer ? answer->bytes : QByteArray("<no answer>");
    }

    // Fills the queue to the window, the event loop never running; returns the answers.
    std::size_t FillQueue(const Peer& peer) {
        constexpr std::size_t kBurst = 64;  // what the peer's buffer holds with room to spare
        std::size_t answered = 0;
        for (std::size_t sent = 0; sent < TIdUDPServer::kMaxQueued; sent += kBurst) {
            for (std::size_t i = 0; i < kBurst; ++i) peer.SendTo("q", "127.0.0.1", port);
            for (std::size_t i = 0; i < kBurst && AwaitOffTheLoop(peer, 1000); ++i) ++answered;
        }
        return answered;
    }

    std::vector<std::string> shown;
};

TEST_F(AnswerTest, AnswersLeaveBeforeTheWindowRunsAndEveryDatagramIsShownAfterInOrder) {
    const Peer peer;
    for (const char* text : {"a", "b", "c"})
        EXPECT_EQ(Exchange(peer, text), "re " + QByteArray(text));
    EXPECT_TRUE(shown.empty());
    ASSERT_TRUE(SpinUntil([&] { return shown.size() == 3; }));
    EXPECT_EQ(shown, (std::vector<std::string>{"a", "b", "c"}));
}

// While the window shows nothing, the listener's thread stops receiving at a bound; the rest
// waits in the system's buffer and is answered once the window has caught up.
TEST_F(AnswerTest, AtMostTheQueuedDatagramsWaitForTheWindow) {
    const Peer peer;
    EXPECT_EQ(FillQueue(peer), TIdUDPServer::kMaxQueued);
    ASSERT_TRUE(peer.SendTo("one more", "127.0.0.1", port));
    EXPECT_FALSE(AwaitOffTheLoop(peer, 300).has_value());
    ASSERT_TRUE(SpinUntil([&] { return shown.size() == TIdUDPServer::kMaxQueued + 1; }));
    const auto late = peer.Await();
    ASSERT_TRUE(late.has_value());
    EXPECT_EQ(late->bytes, "re one more");
    EXPECT_EQ(shown.back(), "one more");
}

TEST_F(AnswerTest, TheAnswerSetLastAnswersTheNextDatagramAndAFailedOneIsDropped) {
    const Peer peer;
    EXPECT_EQ(Exchange(peer, "x"), "re x");
    server.SetAnswer([](std::string_view data, bool, std::string& answer) {
        if (data == "bad") throw std::runtime_error("no answer for this one");
        answer = "new " + std::string(data);
        return data != "quiet";
    });
    for (const char* text : {"bad", "quiet", "y"})
        ASSERT_TRUE(peer.SendTo(text, "127.0.0.1", port));
    const auto answer = AwaitOffTheLoop(peer);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->bytes, "new y");
    EXPECT_FALSE(peer.TryReceive().has_value());
    ASSERT_TRUE(SpinUntil([&] { return shown.size() == 4; }));
    EXPECT_EQ(shown, (std::vector<std::string>{"x", "bad", "quiet", "y"}));
}

TEST_F(AnswerTest, TellsWhetherTheSenderIsOneOfItsOwnSockets) {
    std::vector<std::pair<std::string, bool>> seen;  // written by the listener's thread
    server.SetAnswer([&seen](std::string_view data, bool fromOwnSocket, std::string&) {
        seen.emplace_back(data, fromOwnSocket);
        return false;
    });
    const Peer peer;
    ASSERT_TRUE(peer.SendTo("from a peer", "127.0.0.1", port));
    ASSERT_TRUE(SpinUntil([&] { return shown.size() == 1; }));
    server.Binding(0).SendTo("from itself", "127.0.0.1", port);
    // Read once delivered: the handover to the window orders the thread's writes before.
    ASSERT_TRUE(SpinUntil([&] { return shown.size() == 2; }));
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, bool>>{{"from a peer", false},
                                                               {"from itself", true}}));
}

// Deactivation ends the thread even while it waits for the window, and delivers nothing
// after; a failed activation starts none.
TEST_F(AnswerTest, NoThreadOutlivesTheListener) {
    server.SetActive(false);
    const std::size_t idle = Threads();
    server.SetActive(true);
    port = server.Binding(0).LocalPort();
    EXPECT_EQ(Threads(), idle + 1);
    const Peer peer;
    EXPECT_EQ(FillQueue(peer), TIdUDPServer::kMaxQueued);
    ASSERT_TRUE(peer.SendTo("waits", "127.0.0.1", port));  // the thread waits for room
    server.SetActive(false);
    EXPECT_EQ(Threads(), idle);
    testing_support::ProcessPending();
    EXPECT_TRUE(shown.empty());

    const Peer taken("127.0.0.1");
    server.AddBinding("127.0.0.1", taken.port());
    EXPECT_THROW(server.SetActive(true), base::Error);
    EXPECT_EQ(Threads(), idle);
}

}  // namespace
