// What the sockets record, read back with tshark: the listener's datagrams and echoes, the
// clients' datagrams and connections, each with exact bytes, addresses, ports and in time order.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "capture/recorder.h"
#include "net/async_lookup.h"
#include "net/tcp_client.h"
#include "net/udp_client.h"
#include "net/udp_server.h"
#include "support/event_loop.h"
#include "support/loopback_peer.h"
#include "support/tcp_peer.h"
#include "tshark.h"

namespace {

using namespace testing_support;

const std::string kAllBytes = BytePattern(256);
const char* const kUdpFields =
    "-T fields -e frame.packet_flags_direction -e ip.src -e udp.srcport -e ip.dst "
    "-e udp.dstport -e udp.payload -e frame.comment";
const std::string kIn = "0x00000001", kOut = "0x00000002";

std::string Row(const std::vector<std::string>& fields) {
    std::string row;
    for (const auto& f : fields) row += (row.empty() ? "" : "\t") + f;
    return row;
}

class CaptureNetTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApp();
        recorder_ = std::make_unique<capture::Recorder>(tmp_.options);
    }

    // Closes the file and reads it back.
    std::vector<std::string> Read(const std::string& arguments) {
        recorder_.reset();
        return Tshark(tmp_.options.path, arguments);
    }

    CaptureDir tmp_;
    std::unique_ptr<capture::Recorder> recorder_;
};

TEST_F(CaptureNetTest, ListenerRecordsEachDatagramAndItsEchoWithExactBytes) {
    Peer peer("127.0.0.2");
    ASSERT_TRUE(peer.ok());
    std::string echoFrom, p;
    {
        net::TIdUDPServer listener;
        listener.Capture = recorder_.get();
        listener.BufferSize = 1000;
        listener.AddBinding("", 0);  // every interface: where each datagram came to is read
        listener.OnUDPRead = [](net::TIdUDPServer&, std::string_view data,
                                net::TIdSocketHandle& binding) {
            binding.ReplyToSender("echo:" + std::string(data));
        };
        listener.SetActive(true);
        const std::uint16_t port = listener.Binding(0).LocalPort();
        p = std::to_string(port);
        ASSERT_TRUE(peer.SendTo(QByteArray::fromStdString(kAllBytes), "127.0.0.3", port));
        const auto echo = peer.Await();
        ASSERT_TRUE(echo.has_value());
        ASSERT_EQ(echo->bytes.toStdString(), "echo:" + kAllBytes);
        echoFrom = echo->fromIp.toStdString();
        ASSERT_TRUE(peer.SendTo(QByteArray(1500, 'L'), "127.0.0.3", port));  // over the buffer
        // The next echo comes once the long one has been dealt with, and is the first back.
        ASSERT_TRUE(peer.SendTo("after", "127.0.0.3", port));
        const auto next = peer.Await();
        ASSERT_TRUE(next.has_value());
        EXPECT_EQ(next->bytes.toStdString(), "echo:after");
    }
    const std::string q = std::to_string(peer.port());
    EXPECT_EQ(Read(kUdpFields),
              (std::vector<std::string>{
                  Row({kIn, "127.0.0.2", q, "127.0.0.3", p, Hex(kAllBytes), ""}),
                  Row({kOut, echoFrom, p, "127.0.0.2", q, Hex("echo:" + kAllBytes), ""}),
                  Row({kIn, "127.0.0.2", q, "127.0.0.3", p, Hex(std::string(1000, 'L')),
                       "longer than the listener's buffer of 1000 bytes: dropped, not delivered"}),
                  Row({kIn, "127.0.0.2", q, "127.0.0.3", p, Hex("after"), ""}),
                  Row({kOut, echoFrom, p, "127.0.0.2", q, Hex("echo:after"), ""}),
              }));
    // The whole length is kept in the headers, the bytes beyond the buffer are not; in time order.
    EXPECT_EQ(Tshark(tmp_.options.path, "-T fields -e udp.length -e frame.cap_len").at(2),
              "1508\t1028");
    for (const auto& delta : Tshark(tmp_.options.path, "-T fields -e frame.time_delta")) {
        EXPECT_NE(delta[0], '-') << "packets out of time order";
    }
}

TEST_F(CaptureNetTest, UdpClientRecordsWhatItSent) {
    Peer peer("127.0.0.5");
    net::TIdUDPClient client;
    client.Capture = recorder_.get();
    client.Host = "127.0.0.5";
    client.Port = peer.port();
    client.Send(kAllBytes);
    const auto got = peer.Await();
    ASSERT_TRUE(got.has_value());
    EXPECT_THROW(client.Send(std::string(70000, 'x')), std::exception);  // never sent
    EXPECT_EQ(Read(kUdpFields),
              std::vector<std::string>{
                  Row({kOut, got->fromIp.toStdString(), std::to_string(got->fromPort), "127.0.0.5",
                       std::to_string(peer.port()), Hex(kAllBytes), ""})});
}

// How the connection ends, and which side the capture shows ending it.
enum class End { ClientCloses, PeerCloses, PeerResets };

struct TcpRow {
    const char* name;
    End end;
    std::vector<std::string> lastFlags;  // tcp.flags.str of the final packets, client side first
};

void PrintTo(const TcpRow& row, std::ostream* os) {
    *os << row.name;
}

class CaptureTcpTest : public CaptureNetTest, public ::testing::WithParamInterface<TcpRow> {};

TEST_P(CaptureTcpTest, EachWayTheStreamHoldsExactlyWhatWasSent) {
    const TcpRow& row = GetParam();
    const TcpServer server("127.0.0.4");
    const std::string up1 = "GO " + kAllBytes, up2 = kAllBytes + std::string(100000, 'u');
    const std::string down = kAllBytes + std::string(150000, 'd');
    net::AsyncLookup lookups([](const std::string&) { return net::LookupResult{11001, {}}; });
    {
        net::TClientSocket client(lookups);
        client.Capture = recorder_.get();
        client.Host = "127.0.0.4";
        client.Port = server.port();
        std::string received;
        bool ended = false;
        int failures = 0, sendRefusals = 0;
        client.OnError = [&](net::TClientSocket&, net::TCustomWinSocket&, net::TErrorEvent kind,
                             int& code) {
            failures += 1;
            sendRefusals += kind == net::eeSend;
            code = 0;
        };
        client.OnRead = [&](net::TClientSocket&, net::TCustomWinSocket& s) {
            received += s.ReceiveText();
        };
        client.OnDisconnect = [&](net::TClientSocket&, net::TCustomWinSocket&) { ended = true; };
        client.Open();
        TcpConnection conn = server.Accept();
        ASSERT_TRUE(conn.ok());
        ASSERT_TRUE(SpinUntil([&] { return client.Active(); }));
        client.Socket().SendText(up1);
        EXPECT_EQ(conn.Read(up1.size(), 2000), up1);
        ASSERT_TRUE(conn.Send(down));
        ASSERT_TRUE(SpinUntil([&] { return received.size() >= down.size(); }));
        EXPECT_EQ(received, down);
        // Refused whole: the next packet says so, and the stream goes on without it.
        EXPECT_EQ(client.Socket().SendText(std::string(net::TClientSocket::kMaxUnsent + 1, 'x')),
                  0);
        EXPECT_EQ(sendRefusals, 1);
        client.Socket().SendText(up2);
        std::string got;
        ASSERT_TRUE(SpinUntil([&] {
            got += conn.Read(up2.size() - got.size(), 0);
            return got.size() >= up2.size();
        }));
        EXPECT_EQ(got, up2);
        switch (row.end) {
            case End::ClientCloses:
                client.Close();
                break;
            case End::PeerCloses:
                conn.Close();
                ASSERT_TRUE(SpinUntil([&] { return ended; }));
                break;
            case End::PeerResets:
                conn.Reset();
                ASSERT_TRUE(SpinUntil([&] { return failures > sendRefusals || ended; }));
                break;
        }
    }

    const std::string server_port = std::to_string(server.port());
    std::string fromClient, fromServer, comments;
    std::vector<std::string> flags;
    for (const auto& line : Read("-T fields -e ip.src -e tcp.srcport -e tcp.dstport "
                                 "-e tcp.flags.str -e tcp.payload -e frame.comment")) {
        const auto f = Split(line);
        ASSERT_EQ(f.size(), 6u) << line;
        const bool up = f[0] == "127.0.0.1" && f[2] == server_port;
        EXPECT_TRUE(up || (f[0] == "127.0.0.4" && f[1] == server_port)) << line;
        (up ? fromClient : fromServer) += f[4];
        flags.push_back(f[0] + "\t" + f[3]);
        comments += f[5];
    }
    EXPECT_TRUE(fromClient == Hex(up1 + up2)) << "client to server differs";
    EXPECT_TRUE(fromServer == Hex(down)) << "server to client differs";
    EXPECT_EQ(comments,
              "a send of 16777217 bytes before this one was refused: more than the client keeps "
              "unsent");
    // Sequence numbers that agree: tshark's analysis finds no lost, repeated or unseen data.
    EXPECT_EQ(Tshark(tmp_.options.path, "-Y tcp.analysis.flags"), std::vector<std::string>{});
    ASSERT_GE(flags.size(), 3 + row.lastFlags.size());
    EXPECT_EQ(std::vector<std::string>(flags.begin(), flags.begin() + 3),
              (std::vector<std::string>{"127.0.0.1\t··········S·", "127.0.0.4\t·······A··S·",
                                        "127.0.0.1\t·······A····"}));
    flags.erase(flags.begin(), flags.end() - static_cast<long>(row.lastFlags.size()));
    EXPECT_EQ(flags, row.lastFlags);
}

const TcpRow kEnds[] = {
    {"client_closes",
     End::ClientCloses,
     {"127.0.0.1\t·······A···F", "127.0.0.4\t·······A···F", "127.0.0.1\t·······A····"}},
    {"peer_closes",
     End::PeerCloses,
     {"127.0.0.4\t·······A···F", "127.0.0.1\t·······A···F", "127.0.0.4\t·······A····"}},
    {"peer_resets", End::PeerResets, {"127.0.0.4\t·······A·R··"}},
};

INSTANTIATE_TEST_SUITE_P(Ends, CaptureTcpTest, ::testing::ValuesIn(kEnds),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
