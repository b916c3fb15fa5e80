#include "net/async_lookup.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/descriptor.h"
#include "support/descriptor_limit.h"
#include "support/event_loop.h"

namespace {

using net::AsyncLookup;
using net::LookupResult;
using net::LookupTicket;
using namespace std::chrono_literals;

// A resolver that answers 10.0.0.<n> for a host "h<n>" once released, and counts the calls.
// Shared with the workers, which may outlive the test's AsyncLookup.
struct Gate {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::mutex mutex;
    std::vector<std::string> asked;
    std::atomic<int> running{0};
    std::atomic<int> most_running{0};

    void Open() { release.set_value(); }
    std::vector<std::string> Asked() {
        const std::lock_guard lock(mutex);
        return asked;
    }
};

net::Resolver Blocking(const std::shared_ptr<Gate>& gate) {
    return [gate](const std::string& host) {
        {
            const std::lock_guard lock(gate->mutex);
            gate->asked.push_back(host);
        }
        const int now = ++gate->running;
        int most = gate->most_running.load();
        while (now > most && !gate->most_running.compare_exchange_weak(most, now)) {
        }
        gate->released.wait();
        --gate->running;
        LookupResult r;
        r.addresses.push_back({inet_addr(("10.0.0." + host.substr(1)).c_str())});
        return r;
    };
}

// What the `done` of each lookup got, in arrival order: "h<n> 10.0.0.<n>" or "h<n> #<error>".
struct Outcomes {
    std::vector<std::string> got;
    std::vector<std::thread::id> threads;

    std::function<void(const LookupResult&)> For(const std::string& host) {
        return [this, host](const LookupResult& r) {
            threads.push_back(std::this_thread::get_id());
            if (r.error != 0) {
                got.push_back(host + " #" + std::to_string(r.error));
            } else {
                char text[INET_ADDRSTRLEN] = {};
                inet_ntop(AF_INET, &r.addresses.front(), text, sizeof text);
                got.push_back(host + " " + text);
            }
        };
    }
};

class AsyncLookupTest : public ::testing::Test {
protected:
    void SetUp() override { testing_support::EnsureApp(); }
    void TearDown() override {
        // Workers that still wait must end before the next test counts its own.
        if (gate->released.wait_for(0s) != std::future_status::ready) gate->Open();
        testing_support::SpinUntil([&] { return gate->running == 0; }, 2000);
    }

    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    Outcomes out;
};

TEST_F(AsyncLookupTest, ResultArrivesOnTheInterfaceThreadOnlyAfterTheResolverReturns) {
    AsyncLookup lookup(Blocking(gate));
    LookupTicket ticket = lookup.Start("h1", out.For("h1"));
    testing_support::SpinUntil([&] { return !gate->Asked().empty(); });
    testing_support::SpinFor(50);
    EXPECT_TRUE(out.got.empty());
    gate->Open();
    ASSERT_TRUE(testing_support::SpinUntil([&] { return !out.got.empty(); }));
    testing_support::SpinFor(30);
    EXPECT_EQ(out.got, std::vector<std::string>{"h1 10.0.0.1"});
    EXPECT_EQ(out.threads, std::vector<std::thread::id>{std::this_thread::get_id()});
}

// Abandoned in every way and at every stage: none calls back; one that waited never starts.
TEST_F(AsyncLookupTest, AbandonedLookupsNeverCallBack) {
    AsyncLookup lookup(Blocking(gate));
    std::vector<LookupTicket> running;
    for (int i = 1; i <= AsyncLookup::kWorkers; ++i) {
        running.push_back(lookup.Start("h" + std::to_string(i), out.For("running")));
    }
    ASSERT_TRUE(testing_support::SpinUntil([&] { return gate->running == AsyncLookup::kWorkers; }));
    LookupTicket cancelled_waiting = lookup.Start("h90", out.For("cancelled waiting"));
    LookupTicket dropped_waiting = lookup.Start("h91", out.For("dropped waiting"));
    LookupTicket kept = lookup.Start("h92", out.For("kept"));
    cancelled_waiting.Cancel();
    dropped_waiting = LookupTicket();
    running[0].Cancel();                         // running, cancelled
    running[1] = LookupTicket();                 // running, dropped
    LookupTicket moved = std::move(running[2]);  // moving hands the lookup over
    gate->Open();
    ASSERT_TRUE(testing_support::SpinUntil([&] { return out.got.size() >= 3; }));
    testing_support::SpinFor(50);

    // A result posted before its ticket goes is dropped too.
    auto late_gate = std::make_shared<Gate>();
    late_gate->Open();
    AsyncLookup late_lookup(Blocking(late_gate));
    LookupTicket late = late_lookup.Start("h7", out.For("late"));
    std::this_thread::sleep_for(50ms);  // answered and posted, not yet delivered
    late.Cancel();
    testing_support::SpinFor(50);

    std::vector<std::string> got = out.got;
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got,
              (std::vector<std::string>{"kept 10.0.0.92", "running 10.0.0.3", "running 10.0.0.4"}));
    std::vector<std::string> asked = gate->Asked();
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked, (std::vector<std::string>{"h1", "h2", "h3", "h4", "h92"}));
}

// At most kWorkers lookups run at once and kMaxWaiting wait; more fail at once with 10055,
// but only through the event loop. A cancelled waiting one makes room.
TEST_F(AsyncLookupTest, PoolAndQueueAreBounded) {
    AsyncLookup lookup(Blocking(gate));
    std::vector<LookupTicket> tickets;
    const int accepted = AsyncLookup::kWorkers + static_cast<int>(AsyncLookup::kMaxWaiting);
    for (int i = 1; i <= accepted + 2; ++i) {
        const std::string host = "h" + std::to_string(i);
        tickets.push_back(lookup.Start(host, out.For(host)));
        // The workers take the first ones before the rest can fill the queue.
        if (i == AsyncLookup::kWorkers) {
            ASSERT_TRUE(testing_support::SpinUntil([&] { return gate->running == i; }));
        }
    }
    EXPECT_TRUE(out.got.empty());
    ASSERT_TRUE(testing_support::SpinUntil([&] { return out.got.size() == 2; }));
    testing_support::SpinFor(50);
    const std::string first_over = "h" + std::to_string(accepted + 1);
    const std::string second_over = "h" + std::to_string(accepted + 2);
    EXPECT_EQ(out.got, (std::vector<std::string>{first_over + " #10055", second_over + " #10055"}));
    EXPECT_EQ(gate->running, AsyncLookup::kWorkers);

    tickets.back().Cancel();  // already answered: changes nothing
    tickets[accepted - 1].Cancel();
    tickets.push_back(lookup.Start("h200", out.For("h200")));
    gate->Open();
    ASSERT_TRUE(testing_support::SpinUntil([&] { return out.got.size() == 2 + accepted; }));
    const auto got = [&](const std::string& line) {
        return std::count(out.got.begin(), out.got.end(), line);
    };
    EXPECT_EQ(got("h200 10.0.0.200"), 1);
    const std::string cancelled = "h" + std::to_string(accepted);
    EXPECT_EQ(got(cancelled + " 10.0.0." + std::to_string(accepted)), 0);
    EXPECT_EQ(gate->most_running, AsyncLookup::kWorkers);
    EXPECT_EQ(gate->Asked().size(), static_cast<std::size_t>(accepted));
}

// Running lookups hang, more wait; the end takes no time, and nothing calls back later.
TEST_F(AsyncLookupTest, EndingNeverWaitsForAHungWorker) {
    auto lookup = std::make_unique<AsyncLookup>(Blocking(gate));
    std::vector<LookupTicket> tickets;
    for (int i = 1; i <= AsyncLookup::kWorkers + 2; ++i) {
        tickets.push_back(lookup->Start("h" + std::to_string(i), out.For("h")));
    }
    ASSERT_TRUE(testing_support::SpinUntil([&] { return gate->running == AsyncLookup::kWorkers; }));
    // Should the end wait for the workers, the gate opens after a long while so the test ends.
    std::promise<void> ended;
    std::thread opener([&, ended_future = ended.get_future()] {
        if (ended_future.wait_for(20s) == std::future_status::timeout) gate->Open();
    });
    lookup.reset();
    const bool still_hung = gate->released.wait_for(0s) != std::future_status::ready;
    ended.set_value();
    opener.join();
    EXPECT_TRUE(still_hung) << "the end waited for the hung workers";
    if (still_hung) gate->Open();
    testing_support::SpinUntil([&] { return gate->running == 0; });
    testing_support::SpinFor(50);
    tickets.clear();  // after their AsyncLookup: harmless
    EXPECT_TRUE(out.got.empty());
    EXPECT_EQ(gate->Asked().size(), static_cast<std::size_t>(AsyncLookup::kWorkers));
}

// A lookup that would leave fewer descriptors than the window keeps fails without looking up.
TEST_F(AsyncLookupTest, NoDescriptorToSpareFailsWith10024) {
    gate->Open();
    AsyncLookup lookup(Blocking(gate));
    std::optional<testing_support::DescriptorLimit> limit(std::in_place, net::kReservedDescriptors);
    LookupTicket ticket = lookup.Start("h1", out.For("h1"));
    const bool done = testing_support::SpinUntil([&] { return !out.got.empty(); });
    limit.reset();
    ASSERT_TRUE(done);
    EXPECT_EQ(out.got, std::vector<std::string>{"h1 #10024"});
    EXPECT_TRUE(gate->Asked().empty());

    // One more descriptor of room: it looks up.
    limit.emplace(net::kReservedDescriptors + 1);
    ticket = lookup.Start("h2", out.For("h2"));
    const bool second = testing_support::SpinUntil([&] { return out.got.size() == 2; });
    limit.reset();
    ASSERT_TRUE(second);
    EXPECT_EQ(out.got.back(), "h2 10.0.0.2");
}

}  // namespace
