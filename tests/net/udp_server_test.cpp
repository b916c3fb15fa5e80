#include "net/udp_server.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <algorithm>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "base/error.h"
#include "support/loopback_peer.h"
#include "udp_peer.h"

namespace {

using net::TIdSocketHandle;
using net::TIdUDPServer;
using nettest::SpinUntil;
using testing_support::FreePort;
using testing_support::Peer;

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
        nettest::EnsureApp();
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
    const Peer peer;
    const std::string bytes = nettest::Pattern(GetParam().size);
    ASSERT_TRUE(peer.SendTo(Bytes(bytes), "127.0.0.1", port));
    ASSERT_TRUE(peer.SendTo("marker", "127.0.0.1", port));
    ASSERT_TRUE(SpinUntil([&] { return !received.empty() && received.back().data == "marker"; }));
    ASSERT_EQ(received.size(), GetParam().delivered ? 2u : 1u);
    EXPECT_EQ(received[0].data, GetParam().delivered ? bytes : "marker");
}

const Size kSizes[] = {
    {"buffer_size", 8192, 8192, true},
    {"one_past_buffer_size", 8192, 8193, false},
    {"largest_datagram", 8192, 65507, false},
    {"one_past_a_smaller_buffer_size", 16, 17, false},
};

INSTANTIATE_TEST_SUITE_P(Table, ListenerSizeTest, ::testing::ValuesIn(kSizes),
                         [](const auto& info) { return std::string(info.param.label); });

// Two senders take turns; each burst is more than one receive batch.
TEST_F(ListenerTest, DeliversBurstsCompletelyInOrderWithTheirSenders) {
    const std::uint16_t port = ListenOnLoopback();
    const Peer peers[] = {Peer("127.0.0.1"), Peer("127.0.0.2")};
    ASSERT_TRUE(peers[1].ok());
    constexpr int kBurst = 100;
    for (int burst = 0; burst < 2; ++burst) {
        for (int i = burst * kBurst; i < (burst + 1) * kBurst; ++i) {
            ASSERT_TRUE(peers[i % 2].SendTo(QByteArray::number(i), "127.0.0.1", port));
        }
        ASSERT_TRUE(WaitFor(std::size_t((burst + 1) * kBurst))) << received.size() << " delivered";
    }
    ASSERT_EQ(received.size(), std::size_t(2 * kBurst));
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
    for (const char* text : {"bad", "good", "odd", "later"}) {
        ASSERT_TRUE(peer.SendTo(text, "127.0.0.1", port));
    }
    ASSERT_TRUE(WaitFor(4));
    EXPECT_EQ(received[3].data, "later");
    EXPECT_EQ(reports, (std::vector<std::string>{"after 1: Socket Error # 10013\r\nAccess denied.",
                                                 "after 3: (other)"}));
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
    nettest::ProcessPending();
    ASSERT_EQ(received.size(), 1u);
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
            for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        --depth;
    };
    ASSERT_TRUE(peer.SendTo("first", "127.0.0.1", port));
    ASSERT_TRUE(WaitFor(2));
    EXPECT_EQ(deepest, 1);
    EXPECT_EQ(received[1].data, "second");
}

TEST(ListenerLifetime, HandlerThatDestroysTheListenerEndsDelivery) {
    nettest::EnsureApp();
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
    nettest::ProcessPending();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(Peer("127.0.0.1", port).ok()) << "the socket outlived its listener";
}

}  // namespace
