#include "net/udp_client.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <ostream>
#include <string>

#include "base/error.h"
#include "net/descriptor.h"
#include "support/descriptor_limit.h"
#include "support/event_loop.h"
#include "support/loopback_peer.h"

namespace {

using testing_support::Peer;

bool InNamespace() {
    const char* v = std::getenv("ORVAN_NETNS");
    return v != nullptr && std::string(v) == "1";
}

std::string SendError(net::TIdUDPClient& client, std::string_view bytes) {
    try {
        client.Send(bytes);
    } catch (const base::Error& e) {
        return e.what();
    }
    return "(sent)";
}

struct Destination {
    const char* label;
    std::string host;
    const char* peer_ip;           // where the datagram must arrive
    std::int32_t port_offset = 0;  // added to the peer's port, which must still be reached
    friend void PrintTo(const Destination& row, std::ostream* os) { *os << row.label; }
};

class ClientDestinationTest : public ::testing::TestWithParam<Destination> {};

TEST_P(ClientDestinationTest, DatagramArrivesAtTheResolvedAddressAndLow16BitsOfPort) {
    const Destination& d = GetParam();
    const Peer peer(d.peer_ip);
    ASSERT_TRUE(peer.ok());
    net::TIdUDPClient client;
    client.Host = d.host;
    client.Port = static_cast<std::int32_t>(peer.port()) + d.port_offset;
    client.Send("TEST");
    const auto got = peer.Await();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->bytes, "TEST");
}

const Destination kDestinations[] = {
    {"LocalHost_mixed_case", "LocalHost", "127.0.0.1"},
    {"localhost_lower_case", "localhost", "127.0.0.1"},
    {"LOCALHOST_upper_case", "LOCALHOST", "127.0.0.1"},
    {"exact_dotted_address", "127.0.0.1", "127.0.0.1"},
    {"other_loopback_address", "127.0.0.2", "127.0.0.2"},
    // Each part is read as decimal, not octal as some resolvers would.
    {"leading_zero_is_decimal", "127.0.0.010", "127.0.0.10"},
    {"port_above_16_bits", "127.0.0.1", "127.0.0.1", 65536},
    {"negative_port", "127.0.0.1", "127.0.0.1", -65536},
};

INSTANTIATE_TEST_SUITE_P(Table, ClientDestinationTest, ::testing::ValuesIn(kDestinations),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(ClientSend, Port70000GoesTo4464) {
    const Peer peer("127.0.0.1", 4464);
    if (!peer.ok() && peer.bindErrno() == EADDRINUSE) GTEST_SKIP() << "port 4464 is in use here";
    ASSERT_TRUE(peer.ok()) << "bind errno " << peer.bindErrno();
    net::TIdUDPClient client;
    client.Host = "127.0.0.1";
    client.Port = 70000;
    client.Send("abc");
    const auto got = peer.Await();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->bytes, "abc");
}

TEST(ClientSend, SendsTheBytesUnchangedUpToTheLargestDatagram) {
    const Peer peer;
    net::TIdUDPClient client;
    client.Host = "127.0.0.1";
    client.Port = peer.port();
    for (const std::string& text :
         {std::string(), std::string("TEST"), std::string("a\0b", 3), std::string("a\0b\r\n", 5),
          testing_support::BytePattern(8193), testing_support::BytePattern(65507)}) {
        client.Send(text);
        const auto got = peer.Await();
        ASSERT_TRUE(got.has_value()) << "size " << text.size();
        EXPECT_EQ(got->bytes.size(), static_cast<qsizetype>(text.size()));
        EXPECT_EQ(got->bytes.toStdString(), text);
    }
    EXPECT_EQ(SendError(client, testing_support::BytePattern(65508)), "Package Size Too Big.");
    EXPECT_EQ(SendError(client, testing_support::BytePattern(100000)), "Package Size Too Big.");
}

TEST(ClientActive, SendCreatesTheSocketAndDeactivationClosesIt) {
    const Peer peer;
    net::TIdUDPClient client;
    client.Host = "127.0.0.1";
    client.Port = peer.port();
    EXPECT_FALSE(client.Active());
    client.Send("one");
    EXPECT_TRUE(client.Active());
    const auto first = peer.Await();
    client.Send("two");
    const auto second = peer.Await();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->fromPort, second->fromPort) << "an active client keeps its socket";

    client.SetActive(false);
    EXPECT_FALSE(client.Active());
    client.Send("three");
    EXPECT_TRUE(client.Active());
    const auto third = peer.Await();
    ASSERT_TRUE(third.has_value());
    EXPECT_EQ(third->bytes, "three");
}

TEST(ClientActive, SetActiveFollowsTheValueGiven) {
    net::TIdUDPClient client;
    client.SetActive(true);
    EXPECT_TRUE(client.Active());
    client.SetActive(true);
    EXPECT_TRUE(client.Active());
    client.SetActive(false);
    EXPECT_FALSE(client.Active());
    client.SetActive(false);
    EXPECT_FALSE(client.Active());
}

struct Refusal {
    const char* label;
    std::string host;
    bool broadcast;
    std::string text;
    friend void PrintTo(const Refusal& row, std::ostream* os) { *os << row.label; }
};

class ClientRefusalTest : public ::testing::TestWithParam<Refusal> {};

TEST_P(ClientRefusalTest, FailsWithTheSocketErrorAndCreatesNoSocketForAFailedLookup) {
    if (!InNamespace()) GTEST_SKIP() << "needs ORVAN_NETNS=1 (lookups and broadcasts stay inside)";
    net::TIdUDPClient client;
    client.Host = GetParam().host;
    client.Port = 9;
    client.BroadcastEnabled = GetParam().broadcast;
    EXPECT_EQ(SendError(client, "GO"), GetParam().text);
    const bool lookup_failed = GetParam().text.rfind("Socket Error # 110", 0) == 0;
    EXPECT_EQ(client.Active(), !lookup_failed);
}

const Refusal kRefusals[] = {
    {"five_part_dotted_is_a_name", "1.2.3.4.5", false, "Socket Error # 11001\r\nHost not found."},
    {"name_server_unreachable", "no-such-host.invalid", false, "Socket Error # 11004\r\n"},
    // The local broadcast address of lo: refused unless enabled before the socket is created.
    {"broadcast_refused", "127.255.255.255", false, "Socket Error # 10013\r\nAccess denied."},
    {"broadcast_enabled", "127.255.255.255", true, "(sent)"},
};

INSTANTIATE_TEST_SUITE_P(Table, ClientRefusalTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.label); });

// With the descriptors running out, the window keeps a few for itself: a socket that would take
// one of them is given back and the send fails; none left at all is the system's refusal.
struct Shortage {
    const char* label;
    int room;  // descriptors the limit leaves above the next free number
    std::string text;
    friend void PrintTo(const Shortage& row, std::ostream* os) { *os << row.label; }
};

class ClientShortageTest : public ::testing::TestWithParam<Shortage> {};

TEST_P(ClientShortageTest, KeepsTheReserve) {
    const Peer peer;
    net::TIdUDPClient client;
    client.Host = "127.0.0.1";
    client.Port = peer.port();
    testing_support::DescriptorLimit limit(GetParam().room);
    std::exception_ptr thrown;
    try {
        client.Send("x");
    } catch (...) {
        thrown = std::current_exception();
    }
    limit.Restore();
    std::string error = "(sent)";
    try {
        if (thrown) std::rethrow_exception(thrown);
    } catch (const base::Error& e) {
        error = e.what();
    }
    EXPECT_EQ(error, GetParam().text);
    EXPECT_EQ(client.Active(), GetParam().text == "(sent)");
}

const Shortage kShortages[] = {
    {"none_left", 0, "Cannot allocate socket."},
    {"reserve_only", net::kReservedDescriptors, "Socket Error # 10024\r\nToo many open files."},
    {"one_above_the_reserve", net::kReservedDescriptors + 1, "(sent)"},
};

INSTANTIATE_TEST_SUITE_P(Table, ClientShortageTest, ::testing::ValuesIn(kShortages),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
