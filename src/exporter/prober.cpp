#include "exporter/prober.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <utility>
#include <vector>

#include "base/error.h"
#include "config/codec.h"

namespace exporter {

using namespace std::chrono_literals;

const char* FailureWord(Failure f) {
    switch (f) {
        case Failure::kNone:
            return "success";
        case Failure::kNoReply:
            return "no_reply";
        case Failure::kPartialReply:
            return "partial_reply";
        case Failure::kPortTaken:
            return "port_taken";
        case Failure::kSendFailed:
            return "send_failed";
        case Failure::kTimeout:
            return "timeout";
        case Failure::kError:
            return "error";
        case Failure::kInvalidValue:
            return "invalid_value";
    }
    return "error";
}

Clock::duration ProbeBudget(double probeTimeout, double offset, const std::string* scrapeTimeout) {
    double seconds = probeTimeout;
    if (scrapeTimeout != nullptr) {
        const double given = std::strtod(scrapeTimeout->c_str(), nullptr);
        // A timeout within twice the offset keeps half of itself rather than nothing.
        if (std::isfinite(given) && given > 0)
            seconds = std::min(seconds, given > 2 * offset ? given - offset : given / 2);
    }
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

struct Prober::Job {
    device::Ipv4 target = 0;
    Clock::time_point deadline;
    // The prober thread's own.
    Clock::time_point attemptEnd;
    bool finished = false;
    // Under the mutex.
    bool done = false;
    bool abandoned = false;
    ProbeResult result;
    std::condition_variable changed;
};

namespace {

// How soon a probe that arrives during a hold is let in.
constexpr auto kAdmitTick = 10ms;
// How long past its deadline a scrape waits for the thread that serves it.
constexpr auto kGrace = 250ms;

std::string Missing(const device::Settings& s) {
    std::string out;
    for (device::Setting m : s.Missing()) out += std::string(out.empty() ? "" : ", ") + Name(m);
    return out;
}

}  // namespace

Prober::Prober(std::uint16_t port, ProberOptions options)
    : port_(port), options_(std::move(options)), thread_([this] { Loop(); }) {}

Prober::~Prober() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

ProberStats Prober::Stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

ProbeResult Prober::Probe(device::Ipv4 target, Clock::time_point deadline) {
    auto job = std::make_shared<Job>();
    job->target = target;
    job->deadline = deadline;
    std::unique_lock lock(mutex_);
    if (stop_) return {Failure::kError, {}, "the exporter is stopping", 0};
    pending_.push_back(job);
    wake_.notify_all();
    if (!job->changed.wait_until(lock, deadline + kGrace, [&] { return job->done; })) {
        job->abandoned = true;
        return {
            Failure::kTimeout, {}, "the device port was not free before the scrape's deadline", 0};
    }
    return job->result;
}

void Prober::Loop() {
    std::unique_lock lock(mutex_);
    auto heldSinceRest = Clock::duration::zero();
    auto lastEnd = Clock::now();
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || !pending_.empty(); });
        if (stop_) break;
        // A pause as long as the gap is a turn given already.
        if (Clock::now() - lastEnd >= options_.gap) heldSinceRest = Clock::duration::zero();
        lock.unlock();
        const auto start = Clock::now();
        Hold(options_.mostHold - heldSinceRest);
        lastEnd = Clock::now();
        heldSinceRest += lastEnd - start;
        lock.lock();
        if (heldSinceRest >= options_.mostHold) {
            wake_.wait_for(lock, options_.gap, [&] { return stop_; });
            heldSinceRest = Clock::duration::zero();
        }
    }
    for (auto& job : pending_) {
        job->result = {Failure::kError, {}, "the exporter is stopping", 0};
        job->done = true;
        job->changed.notify_all();
    }
    pending_.clear();
}

void Prober::Hold(Clock::duration most) {
    const auto start = Clock::now();
    std::unique_ptr<device::DevicePort> port;
    // Local addresses where the port could not be taken: the rest of the hold does not wait
    // for them again.
    std::map<device::Ipv4, std::pair<Failure, std::string>> refused;
    std::vector<std::shared_ptr<Job>> active;
    std::vector<device::Datagram> received;
    const std::string request = config::RequestText();
    auto waited = Clock::duration::zero();

    auto finish = [&](Job& job, Failure failure, std::string message) {
        job.finished = true;
        std::lock_guard lock(mutex_);
        job.result.failure = failure;
        job.result.message = std::move(message);
        job.done = true;
        job.changed.notify_all();
    };
    auto send = [&](Job& job) {
        try {
            port->Send(job.target, request);
        } catch (const device::SendFailed& e) {
            finish(job, Failure::kSendFailed, e.what());
            return false;
        } catch (const device::PortTaken& e) {
            finish(job, Failure::kPortTaken, e.what());
            return false;
        }
        ++job.result.requests;
        job.attemptEnd = std::min(Clock::now() + options_.replyTimeout, job.deadline);
        return true;
    };
    auto admit = [&](const std::shared_ptr<Job>& job) {
        const auto now = Clock::now();
        if (now >= job->deadline) {
            finish(*job, Failure::kTimeout, "the scrape's deadline passed before the request");
            return;
        }
        device::Ipv4 local = 0;
        try {
            if (!port) {
                device::PortOptions o;
                o.lockDir = options_.lockDir;
                o.portWait = std::chrono::ceil<std::chrono::milliseconds>(job->deadline - now);
                o.portWaitName = "the probe's wait";
                port = std::make_unique<device::DevicePort>(port_, o);
            }
            local = port->LocalAddressFor(job->target);
            if (const auto it = refused.find(local); it != refused.end()) {
                finish(*job, it->second.first, it->second.second);
                return;
            }
            port->Open(job->target);
            waited += Clock::now() - now;
        } catch (const device::PortTaken& e) {
            waited += Clock::now() - now;
            refused[local] = {Failure::kPortTaken, e.what()};
            finish(*job, Failure::kPortTaken, e.what());
            return;
        } catch (const device::SendFailed& e) {
            finish(*job, Failure::kSendFailed, e.what());
            return;
        } catch (const base::Error& e) {
            finish(*job, Failure::kError, e.what());
            return;
        }
        if (send(*job)) active.push_back(job);
    };

    for (;;) {
        const bool admitting = Clock::now() - start < most;
        while (admitting && active.size() < options_.parallel) {
            std::shared_ptr<Job> job;
            {
                std::lock_guard lock(mutex_);
                if (pending_.empty() || stop_) break;
                job = std::move(pending_.front());
                pending_.pop_front();
                if (job->abandoned) continue;
            }
            admit(job);
        }
        if (active.empty()) {
            std::lock_guard lock(mutex_);
            if (pending_.empty() || !admitting || stop_) break;
            continue;
        }

        auto until = Clock::now() + kAdmitTick;
        for (const auto& job : active) until = std::min(until, job->attemptEnd);
        received.clear();
        port->Receive(until, received);
        for (const device::Datagram& d : received) {
            // The device answers from its own port; another port there is not the device.
            if (d.fromPort != port_) continue;
            for (const auto& job : active) {
                if (job->finished || job->target != d.from) continue;
                const device::ParsedReply parsed = device::ParseReply(d.bytes);
                job->result.settings = parsed.settings;
                if (!parsed.Partial()) {
                    finish(*job, Failure::kNone, {});
                } else if (!parsed.notWhole.empty()) {
                    finish(*job, Failure::kPartialReply, parsed.notWhole);
                } else if (!parsed.outOfRange.empty()) {
                    finish(*job, Failure::kInvalidValue, parsed.Why());
                } else {
                    finish(*job, Failure::kPartialReply,
                           "the reply parsed only in part; not converted: " +
                               Missing(parsed.settings));
                }
            }
        }
        const auto now = Clock::now();
        for (const auto& job : active) {
            if (job->finished || now < job->attemptEnd) continue;
            if (now >= job->deadline || job->result.requests > options_.retries) {
                const int n = job->result.requests;
                finish(*job, Failure::kNoReply,
                       "no reply from " + device::FormatDotted(job->target) + " port " +
                           std::to_string(port_) + " after " + std::to_string(n) +
                           (n == 1 ? " request" : " requests"));
            } else {
                send(*job);
            }
        }
        std::erase_if(active, [](const auto& job) { return job->finished; });
        bool stopping = false;
        {
            std::lock_guard lock(mutex_);
            stopping = stop_;
        }
        if (stopping) {
            for (const auto& job : active)
                finish(*job, Failure::kError, "the exporter is stopping");
            break;
        }
    }
    port.reset();  // lets the port and its lock go
    std::lock_guard lock(mutex_);
    stats_.portWaitSeconds += std::chrono::duration<double>(waited).count();
    stats_.holdSeconds += std::chrono::duration<double>(Clock::now() - start).count();
    ++stats_.holds;
}

}  // namespace exporter
