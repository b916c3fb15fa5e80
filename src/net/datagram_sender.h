#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <functional>
#include <vector>

namespace net {

// Sends a batch of datagrams in order, each tried once: one the socket refuses is dropped and
// the rest still go. Consecutive datagrams to one peer that share a length (the last of them
// may be shorter) leave as one segmented send (UDP_SEGMENT): the system splits it into the
// very same datagrams, and a flood's answers cost a fraction of the system time. A path that
// refuses segments gets them one by one, from then on at that size and above.
class DatagramSender {
public:
    // Up to `capacity` datagrams per Send.
    explicit DatagramSender(std::size_t capacity);

    // A run of datagrams that leave together.
    struct Run {
        std::size_t first = 0;
        std::size_t count = 0;
    };
    static constexpr std::size_t kMaxSegments = 64;  // what every kernel with segments takes
    // Below the 65,507 bytes a datagram may carry, so that length is never why a send fails.
    static constexpr std::size_t kMaxRunBytes = 60 * 1024;

    // Each message: one iovec and a destination (sockaddr_in), no control data. `sent(first,
    // count)` is told which went.
    void Send(int fd, mmsghdr* msgs, std::size_t count,
              const std::function<void(std::size_t first, std::size_t count)>& sent);

    // Splits msgs into runs for a path that takes segments up to `segmentLimit` bytes (0:
    // none); returns how many runs it wrote to `runs`.
    static std::size_t Plan(const mmsghdr* msgs, std::size_t count, std::size_t segmentLimit,
                            Run* runs);

    // The longest segment this sender still tries; 0 once the system refused segments.
    std::size_t SegmentLimit() const { return segmentLimit_; }

private:
    void SendSome(int fd, mmsghdr* msgs, std::size_t count,
                  const std::function<void(std::size_t first, std::size_t count)>& sent);
    void Refused(const Run& run, const mmsghdr* msgs, int error);

    std::vector<Run> runs_;
    std::vector<mmsghdr> groups_;
    std::vector<iovec> iov_;
    std::vector<char> control_;
    std::size_t segmentLimit_;
    bool probed_ = false;  // whether the system was asked if it segments
};

}  // namespace net
