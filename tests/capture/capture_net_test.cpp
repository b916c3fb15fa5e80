// What the sockets record, read back with tshark: the listener's datagrams and echoes, the
// TCP clients' connections, each with exact bytes, addresses, ports and in time order.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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

using testing_support::Hex;
using testing_support::Split;
using testing_support::Tshark;

std::string AllBytes() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    return bytes;
}

// "Привет, мир" in code page 1251.
const std::string kCp1251 = "\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0";

class CaptureNetTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::EnsureApp();
        char dir[] = "/tmp/capture_test.XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/traffic.pcapng";
        options_.path = path_;
        options_.program = "orvan_test";
        options_.application = "orvan_test 1";
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string dir_, path_;
    capture::Options options_;
};

struct Row {
    std::string direction, src, srcport, dst, dstport, payload, comment;
    double time;
};

std::vector<Row> UdpRows(const std::string& path) {
    std::vector<Row> rows;
    for (const auto& line :
         Tshark(path,
                "-T fields -e frame.packet_flags_direction -e ip.src -e udp.srcport "
                "-e ip.dst -e udp.dstport -e udp.payload -e frame.comment "
                "-e frame.time_epoch")) {
        const auto f = Split(line);
        if (f.size() != 8) {
            ADD_FAILURE() << "unexpected line: " << line;
            continue;
        }
        rows.push_back({f[0] == "0x00000001"   ? "in"
                        : f[0] == "0x00000002" ? "out"
                                               : f[0],
                        f[1], f[2], f[3], f[4], f[5], f[6], std::atof(f[7].c_str())});
    }
    return rows;
}

TEST_F(CaptureNetTest, ListenerRecordsEachDatagramAndItsEchoWithExactBytes) {
    auto recorder = std::make_unique<capture::Recorder>(options_);
    testing_support::Peer peer("127.0.0.2");
    ASSERT_TRUE(peer.ok());
    std::vector<std::string> echoesFrom;
    {
        net::TIdUDPServer listener;
        listener.Capture = recorder.get();
        listener.BufferSize = 1000;
        listener.AddBinding("", 0);  // every interface: where each datagram came to is read
        listener.OnUDPRead = [](net::TIdUDPServer&, std::string_view data,
                                net::TIdSocketHandle& binding) {
            binding.ReplyToSender("echo:" + std::string(data));
        };
        listener.SetActive(true);
        const std::uint16_t port = listener.Binding(0).LocalPort();
        for (const std::string& bytes : {kCp1251, AllBytes()}) {
            ASSERT_TRUE(peer.SendTo(QByteArray(bytes.data(), static_cast<int>(bytes.size())),
                                    "127.0.0.3", port));
            const auto echo = peer.Await();
            ASSERT_TRUE(echo.has_value());
            ASSERT_EQ(echo->bytes.toStdString(), "echo:" + bytes);
            echoesFrom.push_back(echo->fromIp.toStdString());
        }
        ASSERT_TRUE(peer.SendTo(QByteArray(1500, 'L'), "127.0.0.3", port));  // over the buffer
        testing_support::SpinFor(100);
        EXPECT_FALSE(peer.TryReceive().has_value());
        recorder.reset();  // everything written

        const auto rows = UdpRows(path_);
        const std::string p = std::to_string(port), q = std::to_string(peer.port());
        const std::vector<std::vector<std::string>> expected = {
            {"in", "127.0.0.2", q, "127.0.0.3", p, Hex(kCp1251)},
            {"out", echoesFrom[0], p, "127.0.0.2", q, Hex("echo:" + kCp1251)},
            {"in", "127.0.0.2", q, "127.0.0.3", p, Hex(AllBytes())},
            {"out", echoesFrom[1], p, "127.0.0.2", q, Hex("echo:" + AllBytes())},
            {"in", "127.0.0.2", q, "127.0.0.3", p, Hex(std::string(1000, 'L'))},
        };
        ASSERT_EQ(rows.size(), expected.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const Row& r = rows[i];
            EXPECT_EQ((std::vector<std::string>{r.direction, r.src, r.srcport, r.dst, r.dstport,
                                                r.payload}),
                      expected[i])
                << "packet " << i + 1;
            if (i > 0) {
                EXPECT_GE(r.time, rows[i - 1].time) << "packet " << i + 1;
            }
        }
        for (std::size_t i = 0; i + 1 < rows.size(); ++i) {
            EXPECT_EQ(rows[i].comment, "") << i;
        }
        EXPECT_NE(rows.back().comment.find("longer than the listener's buffer of 1000 bytes"),
                  std::string::npos)
            << rows.back().comment;
        // The whole length is kept in the headers, the bytes beyond the buffer are not.
        const auto lengths = Tshark(path_, "-T fields -e udp.length -e frame.cap_len");
        ASSERT_EQ(lengths.size(), rows.size());
        EXPECT_EQ(lengths.back(), "1508\t1028");
    }
}

TEST_F(CaptureNetTest, UdpClientRecordsWhatItSent) {
    auto recorder = std::make_unique<capture::Recorder>(options_);
    testing_support::Peer peer("127.0.0.5");
    net::TIdUDPClient client;
    client.Capture = recorder.get();
    client.Host = "127.0.0.5";
    client.Port = peer.port();
    client.Send(kCp1251);
    const auto got = peer.Await();
    ASSERT_TRUE(got.has_value());
    EXPECT_THROW(client.Send(std::string(70000, 'x')), std::exception);  // never sent
    recorder.reset();
    const auto rows = UdpRows(path_);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(
        (std::vector<std::string>{rows[0].direction, rows[0].src, rows[0].srcport, rows[0].dst,
                                  rows[0].dstport, rows[0].payload}),
        (std::vector<std::string>{"out", got->fromIp.toStdString(), std::to_string(got->fromPort),
                                  "127.0.0.5", std::to_string(peer.port()), Hex(kCp1251)}));
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
    auto recorder = std::make_unique<capture::Recorder>(options_);
    testing_support::TcpServer server("127.0.0.4");
    net::AsyncLookup lookups([](const std::string&) { return net::LookupResult{11001, {}}; });
    std::string received;
    bool ended = false, failed = false;
    {
        net::TClientSocket client(lookups);
        client.Capture = recorder.get();
        client.Host = "127.0.0.4";
        client.Port = server.port();
        client.OnRead = [&](net::TClientSocket&, net::TCustomWinSocket& s) {
            received += s.ReceiveText();
        };
        client.OnDisconnect = [&](net::TClientSocket&, net::TCustomWinSocket&) { ended = true; };
        client.OnError = [&](net::TClientSocket&, net::TCustomWinSocket&, net::TErrorEvent,
                             int& code) {
            failed = true;
            code = 0;
        };
        client.Open();
        testing_support::TcpConnection conn = server.Accept();
        ASSERT_TRUE(conn.ok());
        ASSERT_TRUE(testing_support::SpinUntil([&] { return client.Active(); }));

        const std::string up1 = "GO " + kCp1251, up2 = AllBytes() + std::string(100000, 'u');
        const std::string down = AllBytes() + kCp1251 + std::string(150000, 'd');
        client.Socket().SendText(up1);
        EXPECT_EQ(conn.Read(up1.size(), 2000), up1);
        ASSERT_TRUE(conn.Send(down));
        ASSERT_TRUE(testing_support::SpinUntil([&] { return received.size() >= down.size(); }));
        EXPECT_EQ(received, down);
        client.Socket().SendText(up2);
        std::string got;
        ASSERT_TRUE(testing_support::SpinUntil([&] {
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
                ASSERT_TRUE(testing_support::SpinUntil([&] { return ended; }));
                break;
            case End::PeerResets:
                conn.Reset();
                ASSERT_TRUE(testing_support::SpinUntil([&] { return failed || ended; }));
                break;
        }
        recorder.reset();

        // Follow TCP stream: node 0 is the client; lines from node 1 are indented.
        const auto follow = Tshark(path_, "-q -z follow,tcp,raw,0");
        std::string node0, node1, fromClient, fromServer;
        for (const auto& line : follow) {
            if (line.rfind("Node 0: ", 0) == 0) node0 = line.substr(8);
            if (line.rfind("Node 1: ", 0) == 0) node1 = line.substr(8);
            if (line.empty() || line[0] == '=' || line.find(':') != std::string::npos) continue;
            if (line[0] == '\t') {
                fromServer += line.substr(1);
            } else {
                fromClient += line;
            }
        }
        EXPECT_EQ(node1, "127.0.0.4:" + std::to_string(server.port()));
        EXPECT_EQ(node0.rfind("127.0.0.1:", 0), 0u) << node0;
        EXPECT_TRUE(fromClient == Hex(up1 + up2)) << "client to server differs";
        EXPECT_TRUE(fromServer == Hex(down)) << "server to client differs";
    }
    // Sequence numbers that agree: tshark's analysis finds no lost, repeated or unseen data.
    EXPECT_EQ(Tshark(path_, "-Y tcp.analysis.flags"), std::vector<std::string>{});
    const auto flags = Tshark(path_, "-T fields -e ip.src -e tcp.flags.str");
    ASSERT_GE(flags.size(), 3 + row.lastFlags.size());
    EXPECT_EQ(Split(flags[0])[1], "··········S·");
    EXPECT_EQ(Split(flags[1])[1], "·······A··S·");
    EXPECT_EQ(Split(flags[2])[1], "·······A····");
    for (std::size_t i = 0; i < row.lastFlags.size(); ++i) {
        const auto& line = flags[flags.size() - row.lastFlags.size() + i];
        EXPECT_EQ(line, row.lastFlags[i]) << "final packet " << i + 1;
    }
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

namespace {

TEST_F(CaptureNetTest, ASendRefusedAtTheBoundIsNotedOnTheNextPacket) {
    auto recorder = std::make_unique<capture::Recorder>(options_);
    testing_support::TcpServer server("127.0.0.6");
    net::AsyncLookup lookups([](const std::string&) { return net::LookupResult{11001, {}}; });
    int refusals = 0;
    {
        net::TClientSocket client(lookups);
        client.Capture = recorder.get();
        client.Host = "127.0.0.6";
        client.Port = server.port();
        client.OnError = [&](net::TClientSocket&, net::TCustomWinSocket&, net::TErrorEvent kind,
                             int& code) {
            if (kind == net::eeSend) ++refusals;
            code = 0;
        };
        client.Open();
        testing_support::TcpConnection conn = server.Accept();
        ASSERT_TRUE(testing_support::SpinUntil([&] { return client.Active(); }));
        const std::size_t tooLong = net::TClientSocket::kMaxUnsent + 1;
        EXPECT_EQ(client.Socket().SendText(std::string(tooLong, 'x')), 0);
        EXPECT_EQ(refusals, 1);
        client.Socket().SendText("after");
        EXPECT_EQ(conn.Read(5, 2000), "after");
        client.Close();
    }
    recorder.reset();
    const auto rows = Tshark(path_, "-Y 'tcp.len > 0' -T fields -e tcp.payload -e frame.comment");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], Hex("after") + "\ta send of " + std::to_string(16777217) +
                           " bytes before this one was refused: more than the client keeps "
                           "unsent");
}

}  // namespace
