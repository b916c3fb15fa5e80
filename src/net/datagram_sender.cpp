#include "net/datagram_sender.h"

#include <netinet/in.h>
#include <netinet/udp.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace net {

namespace {

constexpr std::size_t kControlSize = CMSG_SPACE(sizeof(std::uint16_t));

// One datagram with a destination of its own, as a run takes it.
bool Joinable(const mmsghdr& m) {
    return m.msg_hdr.msg_iovlen == 1 && m.msg_hdr.msg_controllen == 0 &&
           m.msg_hdr.msg_name != nullptr && m.msg_hdr.msg_namelen == sizeof(sockaddr_in) &&
           m.msg_hdr.msg_iov[0].iov_len > 0;
}

std::size_t Length(const mmsghdr& m) {
    return m.msg_hdr.msg_iov[0].iov_len;
}

bool SamePeer(const mmsghdr& a, const mmsghdr& b) {
    const auto* x = static_cast<const sockaddr_in*>(a.msg_hdr.msg_name);
    const auto* y = static_cast<const sockaddr_in*>(b.msg_hdr.msg_name);
    return x->sin_family == y->sin_family && x->sin_addr.s_addr == y->sin_addr.s_addr &&
           x->sin_port == y->sin_port;
}

template <class Sent>
void SendEach(int fd, mmsghdr* msgs, std::size_t count, Sent&& sent) {
    std::size_t done = 0;
    while (done < count) {
        const int n = sendmmsg(fd, msgs + done, static_cast<unsigned>(count - done),
                               MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent(done, static_cast<std::size_t>(n));
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            ++done;
        }
    }
}

}  // namespace

DatagramSender::DatagramSender(std::size_t capacity)
    : runs_(std::max<std::size_t>(capacity, 1)),
      groups_(runs_.size()),
      iov_(runs_.size()),
      control_(runs_.size() * kControlSize),
      segmentLimit_(kMaxRunBytes) {}

std::size_t DatagramSender::Plan(const mmsghdr* msgs, std::size_t count, std::size_t segmentLimit,
                                 Run* runs) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < count;) {
        std::size_t j = i + 1;
        if (Joinable(msgs[i]) && Length(msgs[i]) <= segmentLimit) {
            const std::size_t segment = Length(msgs[i]);
            std::size_t bytes = segment;
            // Only the last of a run may be shorter: the system cuts at every `segment` bytes.
            while (j < count && j - i < kMaxSegments && Length(msgs[j - 1]) == segment &&
                   Joinable(msgs[j]) && Length(msgs[j]) <= segment &&
                   bytes + Length(msgs[j]) <= kMaxRunBytes && SamePeer(msgs[i], msgs[j])) {
                bytes += Length(msgs[j]);
                ++j;
            }
        }
        runs[n++] = {i, j - i};
        i = j;
    }
    return n;
}

void DatagramSender::Send(int fd, mmsghdr* msgs, std::size_t count,
                          const std::function<void(std::size_t, std::size_t)>& sent) {
    if (!probed_) {
        // A system without segments would send a run as one long datagram: never risked.
        int value = 0;
        socklen_t length = sizeof value;
        if (getsockopt(fd, SOL_UDP, UDP_SEGMENT, &value, &length) != 0) segmentLimit_ = 0;
        probed_ = true;
    }
    for (std::size_t from = 0; from < count; from += runs_.size()) {
        SendSome(fd, msgs + from, std::min(count - from, runs_.size()),
                 [&](std::size_t first, std::size_t n) { sent(from + first, n); });
    }
}

void DatagramSender::SendSome(int fd, mmsghdr* msgs, std::size_t count,
                              const std::function<void(std::size_t, std::size_t)>& sent) {
    const std::size_t runs = Plan(msgs, count, segmentLimit_, runs_.data());
    for (std::size_t g = 0; g < runs; ++g) {
        const Run& run = runs_[g];
        mmsghdr& m = groups_[g];
        m = msgs[run.first];
        if (run.count == 1) continue;
        for (std::size_t k = 0; k < run.count; ++k) {
            iov_[run.first + k] = msgs[run.first + k].msg_hdr.msg_iov[0];
        }
        m.msg_hdr.msg_iov = &iov_[run.first];
        m.msg_hdr.msg_iovlen = run.count;
        m.msg_hdr.msg_control = control_.data() + g * kControlSize;
        m.msg_hdr.msg_controllen = kControlSize;
        cmsghdr* c = CMSG_FIRSTHDR(&m.msg_hdr);
        c->cmsg_level = SOL_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
        const auto segment = static_cast<std::uint16_t>(Length(msgs[run.first]));
        std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
    }
    std::size_t done = 0;
    while (done < runs) {
        const int n = sendmmsg(fd, groups_.data() + done, static_cast<unsigned>(runs - done),
                               MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            for (std::size_t g = done; g < done + static_cast<std::size_t>(n); ++g) {
                sent(runs_[g].first, runs_[g].count);
            }
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        const Run run = runs_[done];
        ++done;
        if (run.count == 1) continue;  // dropped, tried once
        Refused(run, msgs, n < 0 ? errno : 0);
        SendEach(fd, msgs + run.first, run.count,
                 [&](std::size_t first, std::size_t k) { sent(run.first + first, k); });
    }
}

void DatagramSender::Refused(const Run& run, const mmsghdr* msgs, int error) {
    switch (error) {
        case EINVAL:
        case EMSGSIZE:
            // The path's packets are shorter than the segment.
            segmentLimit_ = std::min(segmentLimit_, Length(msgs[run.first]) - 1);
            break;
        case EIO:
        case ENOPROTOOPT:
        case EOPNOTSUPP:
            segmentLimit_ = 0;  // the device or the system does not segment
            break;
        default:
            break;  // a full buffer or an unreachable peer: each datagram is tried as it is
    }
}

}  // namespace net
