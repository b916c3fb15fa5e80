// bench-loadgen: floods a UDP echo listener on 127.0.0.1 with N datagrams, at most W in
// flight, checks every reply byte for byte and times each round trip. Datagrams go out and
// come in up to 64 per system call, and are written over templates rather than built one by
// one, so that the generator is never what limits the server under test.
// Prints one line of key=value figures on stdout.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "message.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int port = 6022;
    std::uint32_t count = 100000;
    std::size_t size = 100;
    unsigned window = 1;
    bench::Kind kind = bench::Kind::Plain;
    int timeout_ms = 1000;  // a reply later than this is lost
};

[[noreturn]] void Usage(const char* self) {
    std::fprintf(stderr,
                 "usage: %s [--port P] [--count N] [--size S] [--window W] [--kind plain|reply]"
                 " [--timeout-ms T]\n",
                 self);
    std::exit(2);
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) Usage(argv[0]);
        const std::string value = argv[++i];
        if (arg == "--port") {
            o.port = std::atoi(value.c_str());
        } else if (arg == "--count") {
            o.count = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (arg == "--size") {
            o.size = std::strtoul(value.c_str(), nullptr, 10);
        } else if (arg == "--window") {
            o.window = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (arg == "--kind") {
            if (value != "plain" && value != "reply") Usage(argv[0]);
            o.kind = value == "plain" ? bench::Kind::Plain : bench::Kind::Reply;
        } else if (arg == "--timeout-ms") {
            o.timeout_ms = std::atoi(value.c_str());
        } else {
            Usage(argv[0]);
        }
    }
    if (o.window == 0 || o.count == 0 || o.size < bench::MinSize(o.kind) || o.size > 8192) {
        Usage(argv[0]);
    }
    return o;
}

double Percentile(std::vector<double>& v, double p) {
    if (v.empty()) return 0;
    const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

// Every message of a run, without building one per datagram: the filler repeats with the
// sequence number modulo the alphabet's length, so a message is one of a few templates with
// its sequence number written over the head. Keeps the generator well ahead of any server.
class Messages {
public:
    Messages(bench::Kind kind, std::size_t size) : kind_(kind) {
        for (std::uint32_t p = 0; p < bench::kFillerPeriod; ++p) {
            templates_.push_back(bench::MakeMessage(kind, p, size));
        }
        head_ = 1 + (kind == bench::Kind::Plain ? bench::kSeqDigits : 8);
    }
    std::size_t size() const { return templates_.front().size(); }
    void Write(std::uint32_t seq, char* out) const {
        const std::string& t = templates_[seq % bench::kFillerPeriod];
        std::memcpy(out, t.data(), t.size());
        WriteHead(seq, out);
    }
    bool Matches(std::uint32_t seq, std::string_view message) const {
        const std::string& t = templates_[seq % bench::kFillerPeriod];
        if (message.size() != t.size()) return false;
        char head[16];
        std::memcpy(head, t.data(), head_);
        WriteHead(seq, head);
        return std::memcmp(message.data(), head, head_) == 0 &&
               std::memcmp(message.data() + head_, t.data() + head_, t.size() - head_) == 0;
    }

private:
    void WriteHead(std::uint32_t seq, char* out) const {
        if (kind_ == bench::Kind::Plain) {
            for (std::size_t i = bench::kSeqDigits; i > 0; --i, seq /= 10) {
                out[i] = static_cast<char>('0' + seq % 10);
            }
        } else {
            std::uint32_t v = seq + 1;
            for (std::size_t i = 8; i > 0; --i, v >>= 4) out[i] = "0123456789ABCDEF"[v & 15];
        }
    }

    bench::Kind kind_;
    std::vector<std::string> templates_;
    std::size_t head_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const Options o = Parse(argc, argv);

    char host_buf[256] = {};
    gethostname(host_buf, sizeof host_buf - 1);
    const std::string host = host_buf;
    const std::string prefix = bench::EchoReply(host, "");  // "Replied from <host> to \"\""
    const std::size_t head = prefix.size() - 1;             // up to the opening quote
    const Messages messages(o.kind, o.size);

    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("socket");
        return 1;
    }
    const int big = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<std::uint16_t>(o.port));
    // Connected, so that only the listener's own port can answer.
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        std::perror("connect");
        return 1;
    }

    enum State : std::uint8_t { kUnsent, kInFlight, kAnswered, kLost };
    std::vector<State> state(o.count, kUnsent);
    std::vector<Clock::time_point> sent_at(o.count);
    std::vector<double> rtt_us;
    rtt_us.reserve(o.count);
    std::deque<std::uint32_t> flight;  // in send order, answered ones dropped lazily
    std::uint32_t next = 0, in_flight = 0;
    std::uint64_t answered = 0, lost = 0, wrong = 0, late = 0, duplicate = 0, out_of_order = 0;
    std::int64_t last_seq = -1;
    const auto timeout = std::chrono::milliseconds(o.timeout_ms);

    // Up to kBatch datagrams go out, and come in, per system call.
    constexpr unsigned kBatch = 64;
    constexpr std::size_t kReplyRoom = 16384;
    std::vector<char> out(kBatch * messages.size()), in(kBatch * kReplyRoom);
    std::vector<iovec> out_iov(kBatch), in_iov(kBatch);
    std::vector<mmsghdr> out_msg(kBatch), in_msg(kBatch);
    for (unsigned k = 0; k < kBatch; ++k) {
        out_iov[k] = {out.data() + k * messages.size(), messages.size()};
        in_iov[k] = {in.data() + k * kReplyRoom, kReplyRoom};
        out_msg[k].msg_hdr.msg_iov = &out_iov[k];
        out_msg[k].msg_hdr.msg_iovlen = 1;
    }

    const Clock::time_point start = Clock::now();
    Clock::time_point last_reply = start;
    while (next < o.count || in_flight > 0) {
        while (next < o.count && in_flight < o.window) {
            const unsigned n = std::min({kBatch, o.window - in_flight, o.count - next});
            for (unsigned k = 0; k < n; ++k)
                messages.Write(next + k, out.data() + k * messages.size());
            const Clock::time_point now = Clock::now();
            const int sent = sendmmsg(fd, out_msg.data(), n, 0);
            if (sent <= 0) {
                // ECONNREFUSED: nobody listens yet, or the listener is gone; count it lost.
                state[next] = kLost;
                ++lost;
                ++next;
                continue;
            }
            for (int k = 0; k < sent; ++k) {
                sent_at[next] = now;
                state[next] = kInFlight;
                flight.push_back(next);
                ++next;
                ++in_flight;
            }
        }
        while (!flight.empty() && state[flight.front()] != kInFlight) flight.pop_front();
        int wait_ms = 0;
        if (!flight.empty()) {
            const auto left = sent_at[flight.front()] + timeout - Clock::now();
            wait_ms = static_cast<int>(std::max<std::int64_t>(
                0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = in_flight > 0 ? poll(&p, 1, wait_ms) : 0;
        if (ready > 0) {
            for (;;) {
                for (unsigned k = 0; k < kBatch; ++k) {
                    in_msg[k].msg_hdr = {};
                    in_msg[k].msg_hdr.msg_iov = &in_iov[k];
                    in_msg[k].msg_hdr.msg_iovlen = 1;
                }
                const int got = recvmmsg(fd, in_msg.data(), kBatch, MSG_DONTWAIT, nullptr);
                if (got <= 0) break;  // EAGAIN, or an ICMP error already counted by the timeout
                const Clock::time_point now = Clock::now();
                for (int k = 0; k < got; ++k) {
                    const std::string_view reply(
                        in.data() + static_cast<std::size_t>(k) * kReplyRoom, in_msg[k].msg_len);
                    std::optional<std::uint32_t> seq;
                    if (reply.size() == prefix.size() + messages.size() &&
                        reply.compare(0, head, prefix, 0, head) == 0 && reply.back() == '"') {
                        seq = bench::SeqOf(o.kind, reply.substr(head, reply.size() - head - 1));
                    }
                    if (!seq || *seq >= next ||
                        !messages.Matches(*seq, reply.substr(head, reply.size() - head - 1))) {
                        ++wrong;
                        continue;
                    }
                    switch (state[*seq]) {
                        case kInFlight:
                            state[*seq] = kAnswered;
                            --in_flight;
                            ++answered;
                            rtt_us.push_back(
                                std::chrono::duration<double, std::micro>(now - sent_at[*seq])
                                    .count());
                            if (static_cast<std::int64_t>(*seq) < last_seq) ++out_of_order;
                            last_seq = std::max<std::int64_t>(last_seq, *seq);
                            last_reply = now;
                            break;
                        case kLost:
                            ++late;
                            break;
                        default:
                            ++duplicate;
                            break;
                    }
                }
                if (static_cast<unsigned>(got) < kBatch) break;
            }
        }
        // Replies that did not come in time are lost; their slots go to new datagrams.
        const Clock::time_point now = Clock::now();
        for (auto it = flight.begin(); it != flight.end() && sent_at[*it] + timeout <= now; ++it) {
            if (state[*it] != kInFlight) continue;
            state[*it] = kLost;
            --in_flight;
            ++lost;
        }
    }
    close(fd);

    const double seconds = std::chrono::duration<double>(last_reply - start).count();
    const double rate = seconds > 0 ? static_cast<double>(answered) / seconds : 0;
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    const double cpu_ms = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
                          static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
    const double median = Percentile(rtt_us, 0.5);
    const double p99 = Percentile(rtt_us, 0.99);
    std::printf(
        "sent=%u answered=%llu lost=%llu wrong=%llu late=%llu duplicate=%llu out_of_order=%llu "
        "seconds=%.3f rps=%.1f median_us=%.1f p99_us=%.1f cpu_ms=%.1f\n",
        next, static_cast<unsigned long long>(answered), static_cast<unsigned long long>(lost),
        static_cast<unsigned long long>(wrong), static_cast<unsigned long long>(late),
        static_cast<unsigned long long>(duplicate), static_cast<unsigned long long>(out_of_order),
        seconds, rate, median, p99, cpu_ms);
    return 0;
}
