// Answers to the senders of delivered datagrams, which leave a batch at a time.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QCoreApplication>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "net/udp_server.h"
#include "support/event_loop.h"
#include "support/loopback_peer.h"

namespace {

using net::TIdSocketHandle;
using net::TIdUDPServer;
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

}  // namespace
