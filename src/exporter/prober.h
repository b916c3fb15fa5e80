#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "device/address.h"
#include "device/port.h"
#include "device/settings.h"

// Reading devices for scrapes: every probe on one device port is served by one thread that
// holds the port (and the lock orvanctl runs take turns on) only while probes wait, with every
// waiting probe in the same hold. Nothing but the request ever leaves it.
namespace exporter {

using device::Clock;

enum class Failure {
    kNone,
    kNoReply,       // no reply to any request before the deadline
    kPartialReply,  // the reply parsed only in part
    kPortTaken,     // another program holds the device port, or an orvanctl run past the deadline
    kSendFailed,    // the request could not go out (no route, ...)
    kTimeout,       // the deadline passed before the device port was free for it
    kError,         // anything else (no socket, too many local addresses)
    kInvalidValue,  // the reply holds a value no setting can have (a port FFFFFFFF)
};
inline constexpr Failure kAllFailures[] = {
    Failure::kNone,       Failure::kNoReply, Failure::kPartialReply, Failure::kPortTaken,
    Failure::kSendFailed, Failure::kTimeout, Failure::kError,        Failure::kInvalidValue};

// "success", "no_reply", ...: the reason label and the probe counter's result label.
const char* FailureWord(Failure f);

// How long a probe may take: the probe timeout, or when shorter the scrape's own timeout
// (`scrapeTimeout`, the header's text; null when none) less the offset that leaves time for the
// answer to travel. Never zero or less, however short the scrape's timeout.
Clock::duration ProbeBudget(double probeTimeout, double offset, const std::string* scrapeTimeout);

struct ProbeResult {
    Failure failure = Failure::kNone;
    device::Settings settings;  // as read; what parsed of a partial reply
    std::string message;        // why it failed
    int requests = 0;           // requests sent
};

struct ProberOptions {
    std::chrono::milliseconds replyTimeout{1000};  // for each request
    int retries = 2;                               // requests sent again after a timeout
    std::size_t parallel = 64;                     // devices waited for at once
    std::string lockDir = "/run/lock";
    // The longest one hold lasts while probes keep coming; then the port is let go for a
    // moment so that a waiting orvanctl run gets its turn.
    std::chrono::milliseconds mostHold{5000};
    std::chrono::milliseconds gap{150};
};

// Counters for the exporter's own metrics.
struct ProberStats {
    double portWaitSeconds = 0;  // spent taking the device port (the lock and the bind)
    double holdSeconds = 0;      // spent holding it
    unsigned long holds = 0;
};

class Prober {
public:
    Prober(std::uint16_t port, ProberOptions options);
    ~Prober();
    Prober(const Prober&) = delete;
    Prober& operator=(const Prober&) = delete;

    // Reads the device at `target`; returns by `deadline` whatever happens.
    ProbeResult Probe(device::Ipv4 target, Clock::time_point deadline);

    ProberStats Stats() const;

private:
    struct Job;
    void Loop();
    void Hold(Clock::duration most);

    const std::uint16_t port_;
    const ProberOptions options_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Job>> pending_;
    bool stop_ = false;
    ProberStats stats_;
    std::thread thread_;
};

}  // namespace exporter
