#include "device/scan.h"

#include <algorithm>
#include <deque>
#include <fstream>
#include <optional>
#include <unordered_set>

#include "config/codec.h"

namespace device {
namespace {

using std::chrono::milliseconds;

// The pause after a refusal doubles while the kernel keeps refusing, up to this.
constexpr milliseconds kFirstPause{10}, kLongestPause{100};
// Behind the schedule by more than this, the scan does not hurry to catch up: a burst after a
// stall is what fills the neighbour table.
constexpr milliseconds kMostCatchUp{50};

class Scanner {
public:
    Scanner(DevicePort& port, const std::vector<Ipv4>& addresses, const ScanOptions& options,
            const std::function<void(const ScanProgress&)>& progress)
        : port_(port),
          options_(options),
          progress_(progress),
          inRange_(addresses.begin(), addresses.end()),
          total_(addresses.size()),
          interval_(std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double>(1.0 / options.rate))) {}

    ScanResult Run(const std::vector<Ipv4>& addresses) {
        std::vector<Ipv4> round = addresses;
        for (int r = 0; r <= options_.retries && !round.empty() && !StopRequested(); ++r) {
            round_ = r;
            ++result_.rounds;
            const std::vector<Ipv4> asked = AskAll(round);
            WaitUntil(Clock::now() + options_.wait);
            round.clear();
            for (Ipv4 a : asked)
                if (!result_.replies.count(a)) round.push_back(a);
        }
        Take();
        Report(true);
        result_.interrupted = StopRequested();
        return std::move(result_);
    }

private:
    // Asks each address once, paced; gives back the ones asked.
    std::vector<Ipv4> AskAll(const std::vector<Ipv4>& addresses) {
        std::vector<Ipv4> asked;
        std::deque<Ipv4> refused;  // refused for now, oldest first: they go before the rest
        std::size_t next = 0;
        auto due = Clock::now();
        milliseconds pause{0};
        auto lastSent = Clock::now();
        while ((next < addresses.size() || !refused.empty()) && !StopRequested()) {
            WaitUntil(due);
            if (StopRequested()) break;
            const Ipv4 to = refused.empty() ? addresses[next] : refused.front();
            SendStatus status;
            try {
                status = port_.TrySend(to, request_);
            } catch (const SendFailed& e) {
                if (result_.notSent++ == 0) result_.firstError = e.what();
                ++result_.notAsked[e.Reason()];
                Drop(refused, next);
                continue;
            }
            const auto now = Clock::now();
            if (status == SendStatus::kSent) {
                ++result_.sent;
                asked.push_back(to);
                Drop(refused, next);
                lastSent = now;
                pause = pause / 2;
                due = std::max(due + interval_, now - kMostCatchUp);
            } else {
                ++result_.refusedForNow;
                if (refused.empty() || refused.front() != to) {
                    refused.push_back(to);
                    ++next;
                }
                if (now - lastSent >= options_.giveUp) {
                    GiveUp(refused, addresses, next);
                    break;
                }
                pause = std::clamp(pause * 2, kFirstPause, kLongestPause);
                result_.paused += pause;
                due = now + pause;
            }
            Report(false);
        }
        return asked;
    }

    // The address just dealt with leaves the queue it came from.
    static void Drop(std::deque<Ipv4>& refused, std::size_t& next) {
        if (!refused.empty()) {
            refused.pop_front();
        } else {
            ++next;
        }
    }

    void GiveUp(std::deque<Ipv4>& refused, const std::vector<Ipv4>& addresses, std::size_t next) {
        const std::size_t left = refused.size() + (addresses.size() - next);
        const std::string reason = "refused by the kernel for " + FormatSeconds(options_.giveUp) +
                                   " (its neighbour table full?)";
        if (result_.notSent == 0) result_.firstError = "the kernel refused every send: " + reason;
        result_.notSent += left;
        result_.notAsked[reason] += left;
        refused.clear();
    }

    void WaitUntil(Clock::time_point until) {
        while (Clock::now() < until && !StopRequested()) {
            port_.Receive(until, received_);
            Take();
            Report(false);
        }
    }

    void Take() {
        for (Datagram& d : received_) {
            // The device answers from its own port; another port there is not the device.
            if (d.fromPort != port_.Port()) continue;
            if (!options_.acceptAnySource && !inRange_.count(d.from)) continue;
            result_.replies.emplace(d.from, std::move(d.bytes));
        }
        received_.clear();
    }

    void Report(bool force) {
        if (!progress_ || (!force && Clock::now() < nextProgress_)) return;
        nextProgress_ = Clock::now() + milliseconds(100);
        progress_({result_.sent + result_.notSent, total_, result_.replies.size(), round_});
    }

    DevicePort& port_;
    const ScanOptions& options_;
    const std::function<void(const ScanProgress&)>& progress_;
    const std::unordered_set<Ipv4> inRange_;
    const std::size_t total_;
    const Clock::duration interval_;
    const std::string request_ = config::RequestText();
    ScanResult result_;
    std::vector<Datagram> received_;
    Clock::time_point nextProgress_ = Clock::now();
    int round_ = 0;
};

}  // namespace

Clock::duration ScanBound(std::size_t addresses, const ScanOptions& options) {
    const auto asking = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(double(addresses) / options.rate));
    return (asking + options.wait) * (options.retries + 1);
}

namespace {

std::optional<long long> ReadNumber(const char* path) {
    std::ifstream in(path);
    long long value = 0;
    if (in >> value && value > 0) return value;
    return std::nullopt;
}

}  // namespace

LinkHold ReadLinkHold() {
    LinkHold h;
    const long long buffer = ReadNumber("/proc/sys/net/core/wmem_default").value_or(212992);
    const long long table =
        ReadNumber("/proc/sys/net/ipv4/neigh/default/gc_thresh3").value_or(1024);
    h.inFlight = std::size_t(std::max(1LL, std::min(buffer / 832, table)));
    const long long solicit =
        ReadNumber("/proc/sys/net/ipv4/neigh/default/mcast_solicit").value_or(3);
    const long long retrans =
        ReadNumber("/proc/sys/net/ipv4/neigh/default/retrans_time_ms").value_or(1000);
    h.hold = milliseconds(solicit * retrans);
    return h;
}

Clock::duration ScanBoundOnOneLink(std::size_t addresses, const ScanOptions& options,
                                   const LinkHold& hold) {
    // Every full batch in flight waits out the hold (and at most one pause) before the next.
    const std::size_t batches =
        (addresses + hold.inFlight - 1) / std::max<std::size_t>(hold.inFlight, 1);
    const Clock::duration kernel =
        (std::chrono::duration_cast<Clock::duration>(hold.hold + kLongestPause) *
             (batches > 0 ? batches - 1 : 0) +
         options.wait) *
        (options.retries + 1);
    return std::max(ScanBound(addresses, options), kernel);
}

ScanResult Scan(DevicePort& port, const std::vector<Ipv4>& addresses, const ScanOptions& options,
                const std::function<void(const ScanProgress&)>& progress) {
    return Scanner(port, addresses, options, progress).Run(addresses);
}

ScanResult Scan(DevicePort& port, const std::vector<Ipv4>& addresses, double rate,
                std::chrono::milliseconds wait, bool acceptAnySource,
                const std::function<void(const ScanProgress&)>& progress) {
    ScanOptions options;
    options.rate = rate;
    options.wait = wait;
    options.acceptAnySource = acceptAnySource;
    return Scan(port, addresses, options, progress);
}

}  // namespace device
