#include "net/async_lookup.h"

#include <QMetaObject>
#include <QObject>

#include <algorithm>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "net/descriptor.h"
#include "net/ipv4.h"
#include "net/socket_error.h"

namespace net {

LookupResult SystemResolve(const std::string& host) {
    LookupResult result;
    result.error = ipv4::TryLookup(host, &result.addresses);
    return result;
}

namespace lookup_detail {

struct Job {
    std::string host;
    // Touched on the interface thread only: moved out to run, or dropped when abandoned.
    std::function<void(const LookupResult&)> done;
    bool abandoned = false;  // under Pool::mutex
};

// What the workers share with the interface thread. It outlives the AsyncLookup as long as a
// worker or a ticket holds it; `context` is null from the AsyncLookup's end on.
struct Pool {
    explicit Pool(Resolver r) : resolver(std::move(r)) {}

    const Resolver resolver;
    std::mutex mutex;
    QObject* context = nullptr;
    std::deque<std::shared_ptr<Job>> waiting;
    int workers = 0;

    // Under `mutex`. The result goes to the interface thread unless the lookup was abandoned.
    void Deliver(const std::shared_ptr<Job>& job, LookupResult result) {
        if (context == nullptr || job->abandoned) return;
        QMetaObject::invokeMethod(
            context,
            [job, result = std::move(result)] {
                // Abandoned after the result was posted: still nothing runs.
                if (job->abandoned || !job->done) return;
                const auto done = std::move(job->done);
                job->done = nullptr;
                done(result);
            },
            Qt::QueuedConnection);
    }

    static void Work(const std::shared_ptr<Pool>& pool) {
        for (;;) {
            std::shared_ptr<Job> job;
            {
                const std::lock_guard lock(pool->mutex);
                if (pool->waiting.empty() || pool->context == nullptr) {
                    --pool->workers;
                    return;
                }
                job = std::move(pool->waiting.front());
                pool->waiting.pop_front();
            }
            LookupResult result;
            if (DescriptorToSpare()) {
                result = pool->resolver(job->host);
            } else {
                result.error = kTooManyOpenFiles;
            }
            const std::lock_guard lock(pool->mutex);
            pool->Deliver(job, std::move(result));
        }
    }
};

}  // namespace lookup_detail

using lookup_detail::Job;
using lookup_detail::Pool;

LookupTicket& LookupTicket::operator=(LookupTicket&& other) noexcept {
    if (this != &other) {
        Cancel();
        pool_ = std::move(other.pool_);
        job_ = std::move(other.job_);
    }
    return *this;
}

void LookupTicket::Cancel() noexcept {
    if (!job_) return;
    {
        const std::lock_guard lock(pool_->mutex);
        job_->abandoned = true;
        // Out of the queue, so that abandoned lookups take no room there.
        auto& waiting = pool_->waiting;
        waiting.erase(std::remove(waiting.begin(), waiting.end(), job_), waiting.end());
    }
    job_->done = nullptr;
    job_.reset();
    pool_.reset();
}

AsyncLookup::AsyncLookup(Resolver resolver)
    : pool_(std::make_shared<Pool>(std::move(resolver))), context_(new QObject) {
    pool_->context = context_;
}

AsyncLookup::~AsyncLookup() {
    {
        const std::lock_guard lock(pool_->mutex);
        pool_->context = nullptr;
        for (const auto& job : pool_->waiting) job->abandoned = true;
        pool_->waiting.clear();
    }
    // Results already posted go with it.
    delete context_;
}

LookupTicket AsyncLookup::Start(std::string host, std::function<void(const LookupResult&)> done) {
    auto job = std::make_shared<Job>();
    job->host = std::move(host);
    job->done = std::move(done);
    LookupTicket ticket(pool_, job);
    const std::lock_guard lock(pool_->mutex);
    if (pool_->waiting.size() >= kMaxWaiting) {
        LookupResult full;
        full.error = kNoBufferSpace;
        pool_->Deliver(job, std::move(full));
        return ticket;
    }
    pool_->waiting.push_back(job);
    if (pool_->workers >= kWorkers) return ticket;
    try {
        std::thread([pool = pool_] { Pool::Work(pool); }).detach();
        ++pool_->workers;
    } catch (const std::system_error&) {
        // No thread to be had: a running worker takes the lookup later, or it fails now.
        if (pool_->workers > 0) return ticket;
        pool_->waiting.pop_back();
        LookupResult none;
        none.error = kNoBufferSpace;
        pool_->Deliver(job, std::move(none));
    }
    return ticket;
}

}  // namespace net
