// A batch of datagrams leaves as runs of segments, and each peer still gets every datagram
// whole, in order.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/datagram_sender.h"

namespace {

using net::DatagramSender;
using SendRun = DatagramSender::Run;

struct Socket {
    Socket() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
        // Room for every datagram a test sends before it reads.
        const int buffer = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    }
    ~Socket() { close(fd); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    std::vector<std::string> Received() const {
        std::vector<std::string> got;
        std::vector<char> buffer(70000);
        for (;;) {
            const ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n < 0) return got;
            got.emplace_back(buffer.data(), static_cast<std::size_t>(n));
        }
    }

    int fd = -1;
    sockaddr_in address{};
};

// The messages for `datagrams`, each to its peer.
struct Batch {
    Batch(std::vector<std::string> bytes, std::vector<const sockaddr_in*> to)
        : datagrams(std::move(bytes)), iov(datagrams.size()), msgs(datagrams.size()) {
        for (std::size_t i = 0; i < datagrams.size(); ++i) {
            iov[i] = {datagrams[i].data(), datagrams[i].size()};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(to[i]);
            msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        }
    }
    std::vector<std::string> datagrams;
    std::vector<iovec> iov;
    std::vector<mmsghdr> msgs;
};

std::vector<std::string> OfLengths(const std::vector<std::size_t>& lengths) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        out.emplace_back(lengths[i], static_cast<char>('a' + i % 26));
    }
    return out;
}

struct PlanCase {
    const char* label;
    std::vector<std::size_t> lengths;
    std::vector<int> peers;  // which of two peers each goes to; empty: all to the first
    std::size_t limit;
    std::vector<std::size_t> runs;  // the length of each run, in order
    friend void PrintTo(const PlanCase& row, std::ostream* os) { *os << row.label; }
};

std::vector<std::size_t> Repeat(std::size_t length, std::size_t times) {
    return std::vector<std::size_t>(times, length);
}

const PlanCase kPlans[] = {
    {"equal_lengths_to_one_peer", {10, 10, 10}, {}, 1000, {3}},
    {"a_shorter_last_one_joins", {10, 10, 5, 10}, {}, 1000, {3, 1}},
    // The system cuts a run at every segment: a short one inside would move the cuts.
    {"a_shorter_one_inside_ends_the_run", {10, 5, 10, 10}, {}, 1000, {2, 2}},
    {"a_longer_one_starts_a_run", {5, 5, 10, 10}, {}, 1000, {2, 2}},
    {"another_peer_starts_a_run", {10, 10, 10, 10}, {0, 0, 1, 1}, 1000, {2, 2}},
    {"peers_taking_turns_go_alone", {10, 10, 10}, {0, 1, 0}, 1000, {1, 1, 1}},
    // An empty datagram in a run would vanish.
    {"an_empty_datagram_goes_alone", {10, 0, 10, 10}, {}, 1000, {1, 1, 2}},
    {"an_empty_last_one_goes_alone", {10, 10, 0}, {}, 1000, {2, 1}},
    {"at_most_64_a_run", Repeat(10, 70), {}, 1000, {64, 6}},
    {"at_most_60_KiB_a_run", Repeat(1400, 50), {}, 2000, {43, 7}},
    {"longer_than_the_limit_alone", {10, 10, 9, 9}, {}, 9, {1, 1, 2}},
    {"no_segments_at_all", {10, 10}, {}, 0, {1, 1}},
};

class PlanTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanTest, SplitsTheBatchIntoRunsTheSystemCutsBackIntoTheSameDatagrams) {
    const PlanCase& row = GetParam();
    const Socket a, b;
    std::vector<const sockaddr_in*> to;
    for (std::size_t i = 0; i < row.lengths.size(); ++i) {
        to.push_back(!row.peers.empty() && row.peers[i] == 1 ? &b.address : &a.address);
    }
    const Batch batch(OfLengths(row.lengths), to);
    std::vector<SendRun> runs(row.lengths.size());
    const std::size_t n =
        DatagramSender::Plan(batch.msgs.data(), batch.msgs.size(), row.limit, runs.data());
    std::vector<std::size_t> counts;
    std::size_t next = 0;
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(runs[i].first, next) << "run " << i;
        next = runs[i].first + runs[i].count;
        counts.push_back(runs[i].count);
    }
    EXPECT_EQ(counts, row.runs);
}

INSTANTIATE_TEST_SUITE_P(Table, PlanTest, ::testing::ValuesIn(kPlans),
                         [](const auto& info) { return std::string(info.param.label); });

// What each peer receives, and which datagrams the sender says went.
struct Outcome {
    std::vector<std::string> a, b;
    std::vector<int> told;  // how often each datagram was reported sent
};

Outcome SendAndReceive(DatagramSender& sender, const std::vector<std::string>& datagrams,
                       const std::vector<int>& peers) {
    const Socket from, a, b;
    std::vector<const sockaddr_in*> to;
    for (const int p : peers) to.push_back(p == 0 ? &a.address : &b.address);
    Batch batch(datagrams, to);
    Outcome out;
    out.told.assign(datagrams.size(), 0);
    sender.Send(from.fd, batch.msgs.data(), batch.msgs.size(),
                [&](std::size_t first, std::size_t count) {
                    for (std::size_t i = first; i < first + count; ++i) ++out.told[i];
                });
    out.a = a.Received();
    out.b = b.Received();
    return out;
}

TEST(DatagramSenderTest, EachPeerGetsEveryDatagramWholeAndInOrder) {
    // Runs of every shape, two peers, more than one sender's capacity.
    std::vector<std::size_t> lengths;
    std::vector<int> peers;
    for (int round = 0; round < 6; ++round) {
        for (const std::size_t length : {100, 100, 100, 40, 100, 100, 1400, 1400, 700, 1}) {
            lengths.push_back(length + static_cast<std::size_t>(round));
            peers.push_back(round % 3 == 2 ? 1 : 0);
        }
    }
    const std::vector<std::string> datagrams = OfLengths(lengths);
    DatagramSender sender(16);
    const Outcome out = SendAndReceive(sender, datagrams, peers);
    std::vector<std::string> a, b;
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        (peers[i] == 0 ? a : b).push_back(datagrams[i]);
    }
    EXPECT_EQ(out.a, a);
    EXPECT_EQ(out.b, b);
    EXPECT_EQ(out.told, std::vector<int>(datagrams.size(), 1));
}

bool SetLoopback(int mtu) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    request.ifr_mtu = mtu;
    ok = ok && ioctl(fd, SIOCSIFMTU, &request) == 0;
    close(fd);
    return ok;
}

// A path whose packets are shorter than a segment refuses the run: its datagrams go one by
// one (the system fragments them), and later runs of that size do not try again.
TEST(DatagramSenderTest, APathThatRefusesSegmentsGetsTheDatagramsOneByOne) {
    // Its own network namespace, so that the short loopback touches no other test.
    if (unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "no network namespace: " << errno;
    ASSERT_TRUE(SetLoopback(1280));
    DatagramSender sender(64);
    const std::vector<std::string> datagrams = OfLengths({1400, 1400, 1400, 100, 100, 100});
    const std::vector<int> peers(datagrams.size(), 0);
    for (int time = 0; time < 2; ++time) {
        const Outcome out = SendAndReceive(sender, datagrams, peers);
        EXPECT_EQ(out.a, datagrams) << "time " << time;
        EXPECT_EQ(out.told, std::vector<int>(datagrams.size(), 1)) << "time " << time;
        EXPECT_LT(sender.SegmentLimit(), 1400u);
        EXPECT_GE(sender.SegmentLimit(), 100u) << "short runs still go as segments";
    }
}

}  // namespace
