#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QObject;

namespace net {

// A name lookup's outcome: IPv4 addresses in resolver order, or the Windows Sockets number of
// the failure (11001 unknown host, 10024 no descriptor left, 10055 too many lookups waiting).
struct LookupResult {
    int error = 0;
    std::vector<in_addr> addresses;
};
// May block; runs on a worker thread, perhaps on several at once.
using Resolver = std::function<LookupResult(const std::string& host)>;
// getaddrinfo, IPv4 only.
LookupResult SystemResolve(const std::string& host);

namespace lookup_detail {
struct Pool;
struct Job;
}  // namespace lookup_detail

// One lookup started by AsyncLookup::Start. Destroying it or calling Cancel() abandons the
// lookup: its `done` never runs. Touched on the interface thread only.
class LookupTicket {
public:
    LookupTicket() noexcept = default;
    LookupTicket(LookupTicket&& other) noexcept = default;
    LookupTicket& operator=(LookupTicket&& other) noexcept;
    LookupTicket(const LookupTicket&) = delete;
    LookupTicket& operator=(const LookupTicket&) = delete;
    ~LookupTicket() { Cancel(); }

    void Cancel() noexcept;

private:
    friend class AsyncLookup;
    LookupTicket(std::shared_ptr<lookup_detail::Pool> pool,
                 std::shared_ptr<lookup_detail::Job> job) noexcept
        : pool_(std::move(pool)), job_(std::move(job)) {}
    std::shared_ptr<lookup_detail::Pool> pool_;
    std::shared_ptr<lookup_detail::Job> job_;
};

// Runs lookups on a small bounded pool of worker threads with a bounded queue; an abandoned
// lookup that has not started never starts. `done` runs on the thread that created the
// AsyncLookup (the interface thread), through its event loop, never inside Start. A lookup
// that would take one of the descriptors the window keeps in reserve fails with 10024, one
// that finds the queue full with 10055. Destroying the AsyncLookup abandons everything and
// never waits for a hung worker.
class AsyncLookup {
public:
    static constexpr int kWorkers = 4;
    static constexpr std::size_t kMaxWaiting = 64;

    explicit AsyncLookup(Resolver resolver = SystemResolve);
    ~AsyncLookup();
    AsyncLookup(const AsyncLookup&) = delete;
    AsyncLookup& operator=(const AsyncLookup&) = delete;

    [[nodiscard]] LookupTicket Start(std::string host,
                                     std::function<void(const LookupResult&)> done);

private:
    std::shared_ptr<lookup_detail::Pool> pool_;
    QObject* context_;  // lives on the interface thread; results are posted to it
};

}  // namespace net
