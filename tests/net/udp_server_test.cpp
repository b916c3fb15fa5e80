#include "net/udp_server.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <algorithm>
#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/error.h"
#include "support/event_loop.h"
#include "support/loopback_peer.h"

namespace {

using net::TIdSocketHandle;
using net::TIdUDPServer;
using testing_support::FreePort;
using testing_support::Peer;
using testing_support::SpinUntil;

const char kInUse[] = "Could not bind socket. Address and port are already in use.";

struct Received {
    std::string data;
    TIdSocketHandle* binding;
    std::string peer_ip;
    std::uint16_t peer_port;
};

QByteArray Bytes(const std::string& s) {
    return QByteArray::fromStdString(s);
}

std::string ActivationError(TIdUDPServer& server) {
    try {
        server.SetActive(true);
    } catch (const base::Error& e) {
        return e.what();
    }
    return "(active)";
}

class ListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::EnsureApp();
        server.OnUDPRead = [this](TIdUDPServer& sender, std::string_view data,
                                  TIdSocketHandle& binding) {
            received.push_back({std::string(data), &binding, binding.PeerIP, binding.PeerPort});
            if (on_read) on_read(sender, data, binding);
        };
    }

    bool WaitFor(std::size_t count) {
        return SpinUntil([&] { return received.size() >= count; });
    }

    // One binding on 127.0.0.1 with a port the system chooses; returns that port.
    std::uint16_t ListenOnLoopback() {
        server.AddBinding("127.0.0.1", 0);
        server.SetActive(true);
        return server.Binding(0).LocalPort();
    }

    TIdUDPServer server;
    std::vector<Received> received;
    std::function<void(TIdUDPServer&, std::string_view, TIdSocketHandle&)> on_read;
};

// --- activation and bindings ---

struct BindOrder {
    const char* label;
    const char* first_ip;
    const char* second_ip;
    std::string text;
    friend void PrintTo(const BindOrder& row, std::ostream* os) { *os << row.label; }
};

class ListenerBindOrderTest : public ListenerTest,
                              public ::testing::WithParamInterface<BindOrder> {};

// All interfaces and 127.0.0.1 on one port clash: whichever is listed first gets the port.
TEST_P(ListenerBindOrderTest, BindsInListOrderAndClosesAllAtTheFirstFailure) {
    const BindOrder& row = GetParam();
    const std::uint16_t port = FreePort();
    TIdSocketHandle& first = server.AddBinding(row.first_ip, port);
    TIdSocketHandle& second = server.AddBinding(row.second_ip, port);
    ASSERT_EQ(server.BindingCount(), 2u);
    EXPECT_EQ(ActivationError(server), row.text);
    EXPECT_FALSE(server.Active());
    // The first binding was bound before the second failed, and is closed again.
    EXPECT_FALSE(first.Bound());
    EXPECT_FALSE(second.Bound());
    EXPECT_TRUE(Peer(*row.first_ip ? row.first_ip : "0.0.0.0", port).ok());
}

const BindOrder kBindOrders[] = {
    {"address_then_all_interfaces", "127.0.0.1", "", kInUse},
    {"all_interfaces_then_address", "", "127.0.0.1", kInUse},
    {"address_not_local", "127.0.0.1", "10.255.255.1",
     "Socket Error # 10049\r\nCannot assign requested address."},
};

INSTANTIATE_TEST_SUITE_P(Table, ListenerBindOrderTest, ::testing::ValuesIn(kBindOrders),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(ListenerTest, ReceptionCanBeSwitchedOnAgainAfterAFailedActivation) {
    const std::uint16_t free_port = FreePort();
    auto taker = std::make_unique<Peer>("0.0.0.0", FreePort());
    ASSERT_TRUE(taker->ok());
    server.AddBinding("127.0.0.1", free_port);
    server.AddBinding("", taker->port());
    EXPECT_EQ(ActivationError(server), kInUse);
    taker.reset();

    server.SetActive(true);
    ASSERT_TRUE(Peer().SendTo("again", "127.0.0.1", free_port));
    ASSERT_TRUE(WaitFor(1));
    EXPECT_EQ(received[0].data, "again");
}

TEST_F(ListenerTest, DeliversFromEveryBindingWithThatBinding) {
    TIdSocketHandle& one = server.AddBinding("127.0.0.1", 0);
    TIdSocketHandle& all = server.AddBinding("", 0);
    server.SetActive(true);
    ASSERT_TRUE(server.Active());
    ASSERT_TRUE(one.Bound() && all.Bound());
    const Peer peer;
    ASSERT_TRUE(peer.SendTo("to-one", "127.0.0.1", one.LocalPort()));
    ASSERT_TRUE(WaitFor(1));
    ASSERT_TRUE(peer.SendTo("to-all", "127.0.0.1", all.LocalPort()));
    ASSERT_TRUE(WaitFor(2));
    EXPECT_EQ(received[0].data, "to-one");
    EXPECT_EQ(received[0].binding, &one);
    EXPECT_EQ(received[1].data, "to-all");
    EXPECT_EQ(received[1].binding, &all);
}

struct BindFailure {
    const char* label;
    const char* ip;
    bool occupy;  // a plain socket holds the address and port first
    std::string text;
    friend void PrintTo(const BindFailure& row, std::ostream* os) { *os << row.label; }
};

class ListenerBindFailureTest : public ListenerTest,
                                public ::testing::WithParamInterface<BindFailure> {};

TEST_P(ListenerBindFailureTest, ActivationFailsWithTheTextAndStaysInactive) {
    const BindFailure& f = GetParam();
    std::unique_ptr<Peer> holder;
    std::uint16_t port = FreePort();
    if (f.occupy) {
        holder = std::make_unique<Peer>(f.ip);
        ASSERT_TRUE(holder->ok());
        port = holder->port();
    }
    TIdSocketHandle& b = server.AddBinding(f.ip, port);
    EXPECT_EQ(ActivationError(server), f.text);
    EXPECT_FALSE(server.Active());
    EXPECT_FALSE(b.Bound());
}

const BindFailure kBindFailures[] = {
    {"port_in_use", "127.0.0.1", true, kInUse},
    {"address_not_local", "10.255.255.1", false,
     "Socket Error # 10049\r\nCannot assign requested address."},
};

INSTANTIATE_TEST_SUITE_P(Table, ListenerBindFailureTest, ::testing::ValuesIn(kBindFailures),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(ListenerTest, AddingAnEqualBindingReturnsTheListedOne) {
    TIdSocketHandle& a = server.AddBinding("127.0.0.1", 8090);
    EXPECT_EQ(&server.AddBinding("127.0.0.1", 8090), &a);
    EXPECT_EQ(&server.AddBinding("127.0.0.1", 8090 + 65536), &a) << "only 16 bits are bound";
    TIdSocketHandle& b = server.AddBinding("", 8090);
    TIdSocketHandle& c = server.AddBinding("127.0.0.1", 8091);
    EXPECT_NE(&b, &a);
    EXPECT_NE(&c, &a);
    EXPECT_EQ(server.BindingCount(), 3u);
    EXPECT_EQ(&server.Binding(0), &a);
    EXPECT_EQ(&server.Binding(1), &b);
    EXPECT_EQ(&server.Binding(2), &c);
    EXPECT_EQ(b.IP, "");
    EXPECT_EQ(c.Port, 8091);
}

// Switching reception off and on adds the same two bindings again; both must bind anew.
TEST_F(ListenerTest, OffAndOnAgainBindsAgainAndDelivers) {
    const std::uint16_t local_port = FreePort();
    const std::uint16_t all_port = FreePort();
    const Peer peer;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        server.AddBinding("127.0.0.1", local_port);
        server.AddBinding("", all_port);
        EXPECT_EQ(server.BindingCount(), 2u);
        ASSERT_EQ(ActivationError(server), "(active)");
        ASSERT_TRUE(peer.SendTo("ping", "127.0.0.1", all_port));
        ASSERT_TRUE(WaitFor(static_cast<std::size_t>(round) + 1));
        EXPECT_EQ(received.back().binding, &server.Binding(1));
        server.SetActive(false);
        EXPECT_FALSE(server.Active());
        EXPECT_FALSE(server.Binding(0).Bound());
        EXPECT_FALSE(server.Binding(1).Bound());
    }
    // The ports are free again once the listener is off.
    const Peer after("127.0.0.1", local_port);
    EXPECT_TRUE(after.ok()) << "bind errno " << after.bindErrno();
}

TEST_F(ListenerTest, SettingTheCurrentValueDoesNothing) {
    ListenOnLoopback();
    TIdSocketHandle& later = server.AddBinding("127.0.0.1", FreePort());
    server.SetActive(true);
    EXPECT_TRUE(server.Active());
    EXPECT_FALSE(later.Bound()) << "bindings added to an active listener wait for reactivation";
    server.SetActive(false);
    server.SetActive(false);
    EXPECT_FALSE(server.Active());
    server.SetActive(true);
    EXPECT_TRUE(later.Bound());
}

TEST_F(ListenerTest, DestructionClosesTheSockets) {
    auto listener = std::make_unique<TIdUDPServer>();
    const std::uint16_t port = FreePort();
    listener->AddBinding("127.0.0.1", port);
    listener->SetActive(true);
    ASSERT_TRUE(listener->Active());
    listener.reset();
    const Peer after("127.0.0.1", port);
    EXPECT_TRUE(after.ok()) << "bind errno " << after.bindErrno();
}

// Equal bindings are listed once; one added to an active listener waits for the next activation.
TEST_F(ListenerTest, AddBindingListsEachAddressAndPortOnce) {
    TIdSocketHandle& a = server.AddBinding("127.0.0.1", 0);
    EXPECT_EQ(&server.AddBinding("127.0.0.1", 65536), &a) << "only 16 bits are bound";
    EXPECT_NE(&server.AddBinding("", 0), &a);
    server.SetActive(true);
    TIdSocketHandle& later = server.AddBinding("127.0.0.1", FreePort());
    EXPECT_EQ(server.BindingCount(), 3u);
    server.SetActive(true);
    EXPECT_FALSE(later.Bound());
    server.SetActive(false);
    server.SetActive(false);
    server.SetActive(true);
    EXPECT_TRUE(later.Bound());
}

struct OwnAddress {
    const char* label;
    std::string binding_ip;  // of the listener's one binding
    std::string from_ip;
    bool same_port;
    bool own;
    friend void PrintTo(const OwnAddress& row, std::ostream* os) { *os << row.label; }
};

class ListenerOwnAddressTest : public ListenerTest,
                               public ::testing::WithParamInterface<OwnAddress> {};

TEST_P(ListenerOwnAddressTest, TellsItsOwnSocketsFromPeers) {
    server.AddBinding(GetParam().binding_ip, 0);
    server.SetActive(true);
    const std::uint16_t port = server.Binding(0).LocalPort();
    const std::uint16_t from_port = GetParam().same_port ? port : std::uint16_t(port ^ 1);
    EXPECT_EQ(server.IsOwnAddress(GetParam().from_ip, from_port), GetParam().own);
}

const OwnAddress kOwnAddresses[] = {
    {"its_address_and_port", "127.0.0.1", "127.0.0.1", true, true},
    {"another_port", "127.0.0.1", "127.0.0.1", false, false},
    {"another_loopback_address", "127.0.0.1", "127.0.0.2", true, false},
    {"all_interfaces_from_loopback", "", "127.0.0.5", true, true},
    {"all_interfaces_from_a_foreign_host", "", "192.0.2.7", true, false},
};

INSTANTIATE_TEST_SUITE_P(Table, ListenerOwnAddressTest, ::testing::ValuesIn(kOwnAddresses),
                         [](const auto& info) { return std::string(info.param.label); });

// --- reception ---

struct Size {
    const char* label;
    int buffer_size;
    std::size_t size;
    bool delivered;
    friend void PrintTo(const Size& row, std::ostream* os) { *os << row.label; }
};

class ListenerSizeTest : public ListenerTest, public ::testing::WithParamInterface<Size> {};

// A marker datagram sent after the one under test shows that the latter was handled first.
TEST_P(ListenerSizeTest, DeliversUpToBufferSizeAndDropsLongerOnes) {
    server.BufferSize = GetParam().buffer_size;
    const std::uint16_t port = ListenOnLoopback();
    on_read = [](TIdUDPServer&, std::string_view data, TIdSocketHandle& b) {
        b.SendTo("echo " + std::to_string(data.size()), b.PeerIP, b.PeerPort);
    };
    const Peer peer;
    const std::string bytes = testing_support::BytePattern(GetParam().size);
    ASSERT_TRUE(peer.SendTo(Bytes(bytes), "127.0.0.1", port));
    ASSERT_TRUE(peer.SendTo("marker", "127.0.0.1", port));
    ASSERT_TRUE(SpinUntil([&] { return !received.empty() && received.back().data == "marker"; }));
    ASSERT_EQ(received.size(), GetParam().delivered ? 2u : 1u);
    EXPECT_EQ(received[0].data, GetParam().delivered ? bytes : "marker");
    const auto reply = peer.Await();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->bytes.toStdString(),
              "echo " + std::to_string(GetParam().delivered ? bytes.size() : 6))
        << "an over-long datagram was answered";
}

const Size kSizes[] = {
    {"empty", 8192, 0, true},
    {"one_byte", 8192, 1, true},
    {"buffer_size", 8192, 8192, true},
    {"one_past_buffer_size", 8192, 8193, false},
    {"largest_datagram", 8192, 65507, false},
    {"smaller_buffer_size", 16, 16, true},
    {"one_past_a_smaller_buffer_size", 16, 17, false},
};

INSTANTIATE_TEST_SUITE_P(Table, ListenerSizeTest, ::testing::ValuesIn(kSizes),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(ListenerTest, RecordsTheSenderOfEachDatagramOnTheBinding) {
    const std::uint16_t port = ListenOnLoopback();
    const Peer first;
    const Peer second("127.0.0.2");
    ASSERT_TRUE(second.ok()) << "bind errno " << second.bindErrno();
    ASSERT_TRUE(first.SendTo("a", "127.0.0.1", port));
    ASSERT_TRUE(second.SendTo("b", "127.0.0.1", port));
    ASSERT_TRUE(WaitFor(2));
    EXPECT_EQ(received[0].peer_ip, "127.0.0.1");
    EXPECT_EQ(received[0].peer_port, first.port());
    EXPECT_EQ(received[1].peer_ip, "127.0.0.2");
    EXPECT_EQ(received[1].peer_port, second.port());
    EXPECT_EQ(server.Binding(0).PeerIP, "127.0.0.2");
    EXPECT_EQ(server.Binding(0).PeerPort, second.port());
}

TEST_F(ListenerTest, ReplyFromTheHandlerReachesTheSenderFromTheListenersPort) {
    const std::uint16_t port = ListenOnLoopback();
    on_read = [](TIdUDPServer&, std::string_view data, TIdSocketHandle& b) {
        b.SendTo("Replied to \"" + std::string(data) + "\"", b.PeerIP, b.PeerPort);
    };
    const Peer peer;
    ASSERT_TRUE(peer.SendTo("abc", "127.0.0.1", port));
    ASSERT_TRUE(WaitFor(1));
    const auto reply = peer.Await();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->bytes, "Replied to \"abc\"");
    EXPECT_EQ(reply->fromPort, port);
}

// Two senders take turns; each burst is more than one receive batch.
TEST_F(ListenerTest, DeliversBurstsCompletelyInOrderWithTheirSenders) {
    const std::uint16_t port = ListenOnLoopback();
    const Peer peers[] = {Peer("127.0.0.1"), Peer("127.0.0.2")};
    ASSERT_TRUE(peers[1].ok());
    constexpr int kBurst = 100;
    constexpr int kBursts = 3;
    for (int burst = 0; burst < kBursts; ++burst) {
        for (int i = burst * kBurst; i < (burst + 1) * kBurst; ++i) {
            ASSERT_TRUE(peers[i % 2].SendTo(QByteArray::number(i), "127.0.0.1", port));
        }
        ASSERT_TRUE(WaitFor(std::size_t((burst + 1) * kBurst))) << received.size() << " delivered";
    }
    ASSERT_EQ(received.size(), std::size_t(kBursts * kBurst));
    for (std::size_t i = 0; i < received.size(); ++i) {
        EXPECT_EQ(received[i].data, std::to_string(i));
        EXPECT_EQ(received[i].peer_ip, i % 2 ? "127.0.0.2" : "127.0.0.1");
        EXPECT_EQ(received[i].peer_port, peers[i % 2].port());
    }
}

// --- the handler ---

TEST_F(ListenerTest, HandlerFailuresAreReportedAndDeliveryGoesOn) {
    const std::uint16_t port = ListenOnLoopback();
    on_read = [](TIdUDPServer&, std::string_view data, TIdSocketHandle&) {
        if (data == "bad") throw base::Error("Socket Error # 10013\r\nAccess denied.");
        if (data == "odd") throw 42;
        if (data == "std") throw std::logic_error("broken");
    };
    // Reported before the next datagram is delivered.
    std::vector<std::string> reports;
    server.OnUDPReadFailed = [&](std::exception_ptr failure) {
        std::string what = "after " + std::to_string(received.size()) + ": ";
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            what += e.what();
        } catch (...) {
            what += "(other)";
        }
        reports.push_back(what);
    };
    const Peer peer;
    for (const char* text : {"bad", "good", "odd", "std", "later"}) {
        ASSERT_TRUE(peer.SendTo(text, "127.0.0.1", port));
    }
    ASSERT_TRUE(WaitFor(5));
    EXPECT_EQ(received[1].data, "good");
    EXPECT_EQ(received[4].data, "later");
    EXPECT_EQ(reports, (std::vector<std::string>{"after 1: Socket Error # 10013\r\nAccess denied.",
                                                 "after 3: (other)", "after 4: broken"}));
    EXPECT_TRUE(server.Active());
}

TEST_F(ListenerTest, HandlerThatDeactivatesGetsNoFurtherDatagrams) {
    const std::uint16_t port = ListenOnLoopback();
    std::string reply_error;
    on_read = [&](TIdUDPServer& sender, std::string_view, TIdSocketHandle& b) {
        sender.SetActive(false);
        try {
            b.SendTo("late reply", b.PeerIP, b.PeerPort);
        } catch (const base::Error& e) {
            reply_error = e.what();
        }
    };
    const Peer peer;
    for (const char* text : {"first", "second", "third"}) {
        ASSERT_TRUE(peer.SendTo(text, "127.0.0.1", port));
    }
    ASSERT_TRUE(WaitFor(1));
    testing_support::ProcessPending();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].data, "first");
    EXPECT_FALSE(server.Active());
    EXPECT_FALSE(server.Binding(0).Bound());
    EXPECT_EQ(reply_error, "Socket Error # 10038\r\nSocket operation on non-socket.");
    EXPECT_FALSE(peer.TryReceive().has_value());

    // The listener works again after the next activation.
    on_read = nullptr;
    server.SetActive(true);
    ASSERT_TRUE(peer.SendTo("again", "127.0.0.1", server.Binding(0).LocalPort()));
    ASSERT_TRUE(WaitFor(2));
    EXPECT_EQ(received[1].data, "again");
}

TEST_F(ListenerTest, HandlerThatReactivatesKeepsTheListenerWorking) {
    const std::uint16_t port = FreePort();
    server.AddBinding("127.0.0.1", port);
    server.SetActive(true);
    on_read = [](TIdUDPServer& sender, std::string_view, TIdSocketHandle& b) {
        sender.SetActive(false);
        sender.SetActive(true);
        b.SendTo("still here", b.PeerIP, b.PeerPort);
    };
    const Peer peer;
    ASSERT_TRUE(peer.SendTo("one", "127.0.0.1", port));
    ASSERT_TRUE(peer.SendTo("two", "127.0.0.1", port));
    ASSERT_TRUE(WaitFor(1));
    const auto reply = peer.Await();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->bytes, "still here");
    // "two" went down with the old socket; a new datagram reaches the new one.
    ASSERT_TRUE(peer.SendTo("three", "127.0.0.1", port));
    ASSERT_TRUE(SpinUntil([&] { return received.back().data == "three"; }));
    EXPECT_EQ(received.size(), 2u);
}

TEST_F(ListenerTest, HandlerThatAddsBindingsCanStillUseItsBinding) {
    const std::uint16_t port = ListenOnLoopback();
    const std::uint16_t first_new = FreePort();
    on_read = [&](TIdUDPServer& sender, std::string_view data, TIdSocketHandle& b) {
        if (data != "grow") return;
        // Enough bindings to move any storage that held them by value.
        for (int i = 0; i < 100; ++i) sender.AddBinding("127.0.0.1", first_new + i);
        b.SendTo("grown", b.PeerIP, b.PeerPort);
    };
    const Peer peer;
    ASSERT_TRUE(peer.SendTo("grow", "127.0.0.1", port));
    ASSERT_TRUE(WaitFor(1));
    const auto reply = peer.Await();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->bytes, "grown");
    EXPECT_EQ(server.BindingCount(), 101u);
    EXPECT_FALSE(server.Binding(1).Bound());
    EXPECT_TRUE(server.Active());
    ASSERT_TRUE(peer.SendTo("next", "127.0.0.1", port));
    ASSERT_TRUE(WaitFor(2));
    EXPECT_EQ(received[1].binding, &server.Binding(0));
}

// A handler that runs the event loop itself (as a message box would) must not be
// re-entered with the next datagram.
TEST_F(ListenerTest, HandlerThatSpinsTheEventLoopIsNotReentered) {
    const std::uint16_t port = ListenOnLoopback();
    int depth = 0;
    int deepest = 0;
    const Peer peer;
    on_read = [&](TIdUDPServer&, std::string_view data, TIdSocketHandle&) {
        deepest = std::max(deepest, ++depth);
        if (data == "first") {
            ASSERT_TRUE(peer.SendTo("second", "127.0.0.1", port));
            testing_support::SpinFor(100);
        }
        --depth;
    };
    ASSERT_TRUE(peer.SendTo("first", "127.0.0.1", port));
    ASSERT_TRUE(WaitFor(2));
    EXPECT_EQ(deepest, 1);
    EXPECT_EQ(received[0].data, "first");
    EXPECT_EQ(received[1].data, "second");
}

TEST(ListenerLifetime, HandlerThatDestroysTheListenerEndsDelivery) {
    testing_support::EnsureApp();
    auto* listener = new TIdUDPServer;
    listener->AddBinding("127.0.0.1", 0);
    listener->SetActive(true);
    const std::uint16_t port = listener->Binding(0).LocalPort();
    int calls = 0;
    listener->OnUDPRead = [&calls](TIdUDPServer& sender, std::string_view, TIdSocketHandle&) {
        ++calls;
        delete &sender;
    };
    const Peer peer;
    ASSERT_TRUE(peer.SendTo("one", "127.0.0.1", port));
    ASSERT_TRUE(peer.SendTo("two", "127.0.0.1", port));
    ASSERT_TRUE(SpinUntil([&] { return calls >= 1; }));
    testing_support::ProcessPending();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(Peer("127.0.0.1", port).ok()) << "the socket outlived its listener";
}

}  // namespace
