// The one rule of the socket owners: while one of an owner's handlers runs, its sockets wait,
// whichever of them has something; and an owner destroyed by a handler is told, not touched.
#include "net/watched_socket.h"

#include <gtest/gtest.h>

#include <QObject>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "support/event_loop.h"

namespace {

using net::Descriptor;
using net::HandlerTurn;
using net::WatchedSocket;
using namespace std::chrono_literals;

void SpinFor(std::chrono::milliseconds ms) {
    testing_support::SpinFor(static_cast<int>(ms.count()));
}

// An owner with two sockets, each the near end of a socket pair whose far end the test writes.
struct Owner {
    QObject parent;
    HandlerTurn turn;
    WatchedSocket a{turn, &parent}, b{turn, &parent};
    int far_a = -1, far_b = -1;
    std::vector<std::string>* log;
    std::function<void(const std::string&)> during;  // runs inside a handler

    explicit Owner(std::vector<std::string>* out) : log(out) {
        Pair(a, "a", &far_a);
        Pair(b, "b", &far_b);
        turn.OnResume = [this] { log->push_back("resumed"); };
    }
    ~Owner() {
        close(far_a);
        close(far_b);
    }
    void Pair(WatchedSocket& s, const std::string& name, int* far) {
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds);
        *far = fds[1];
        const int near = fds[0];
        s.Watch(
            Descriptor(near),
            [this, name, near] {
                char c = 0;
                while (read(near, &c, 1) == 1) log->push_back(name + " read " + c);
                // A copy: the handler may destroy the owner, and `during` with it.
                if (const auto d = during) d(name);
            },
            [this, name, &s] {
                log->push_back(name + " writable");
                s.Want(true, false);
            });
        s.Want(true, false);
    }
};

TEST(WatchedSocket, AnOwnersSocketsWaitWhileOneOfItsHandlersRuns) {
    testing_support::EnsureApp();
    std::vector<std::string> log;
    Owner owner(&log);
    std::vector<std::string> other_log;
    Owner other(&other_log);
    owner.during = [&](const std::string& name) {
        if (name != "a") return;
        // As a message box would: a nested loop while b and another owner get data.
        ASSERT_EQ(write(owner.far_b, "x", 1), 1);
        ASSERT_EQ(write(other.far_a, "y", 1), 1);
        SpinFor(60ms);
        // Another owner's sockets do not wait.
        log.push_back(other_log.empty() ? "a done, other waited" : "a done");
    };
    ASSERT_EQ(write(owner.far_a, "1", 1), 1);
    ASSERT_TRUE(testing_support::SpinUntil([&] { return log.size() >= 5; }));
    SpinFor(30ms);
    EXPECT_EQ(log,
              (std::vector<std::string>{"a read 1", "a done", "resumed", "b read x", "resumed"}));
    EXPECT_EQ(other_log, (std::vector<std::string>{"a read y", "resumed"}));

    // Wanting the write notification gives one, then it is dropped again.
    log.clear();
    owner.a.Want(true, true);
    SpinFor(30ms);
    EXPECT_EQ(log, (std::vector<std::string>{"a writable", "resumed"}));
}

TEST(WatchedSocket, AnOwnerDestroyedByItsHandlerIsToldAndNotTouched) {
    testing_support::EnsureApp();
    std::vector<std::string> log;
    auto owner = std::make_unique<Owner>(&log);
    std::unique_ptr<HandlerTurn::Witness> alive;
    owner->during = [&](const std::string&) {
        alive = std::make_unique<HandlerTurn::Witness>(owner->turn.Alive());
        log.push_back(*alive ? "alive" : "gone");
        owner.reset();
        log.push_back(*alive ? "alive" : "gone");
    };
    ASSERT_EQ(write(owner->far_a, "1", 1), 1);
    ASSERT_EQ(write(owner->far_b, "2", 1), 1);
    ASSERT_TRUE(testing_support::SpinUntil([&] { return owner == nullptr; }));
    SpinFor(30ms);
    EXPECT_EQ(log, (std::vector<std::string>{"a read 1", "alive", "gone"}));
}

TEST(WatchedSocket, ClosedInItsOwnHandlerItFiresNoMore) {
    testing_support::EnsureApp();
    std::vector<std::string> log;
    Owner owner(&log);
    owner.during = [&](const std::string& name) {
        if (name == "a") owner.a.Close();
    };
    ASSERT_EQ(write(owner.far_a, "1", 1), 1);
    ASSERT_TRUE(testing_support::SpinUntil([&] { return !log.empty(); }));
    static_cast<void>(send(owner.far_a, "2", 1, MSG_NOSIGNAL));  // the near end is gone
    SpinFor(50ms);
    EXPECT_EQ(log, (std::vector<std::string>{"a read 1", "resumed"}));
    EXPECT_FALSE(owner.a.Valid());
}

// A notification that comes while a turn of its owner runs (a message box waiting inside a
// handler, say) switches its notifier off until the turn ends, instead of coming again and
// again; the data is read once the turn has ended.
TEST(WatchedSocket, ANotificationDuringATurnWaitsSwitchedOff) {
    testing_support::EnsureApp();
    std::vector<std::string> log;
    Owner owner(&log);
    QSocketNotifier* notifier = nullptr;
    for (auto* n : owner.parent.findChildren<QSocketNotifier*>()) {
        if (n->socket() == owner.a.Get() && n->type() == QSocketNotifier::Read) notifier = n;
    }
    ASSERT_NE(notifier, nullptr);
    int fired = 0;
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [&fired] { ++fired; });
    ASSERT_EQ(write(owner.far_a, "1", 1), 1);
    bool heldInTurn = false;
    owner.turn.Run([&] {
        // A notification already under way as the turn began: its notifier is on.
        notifier->setEnabled(true);
        SpinFor(60ms);
        heldInTurn = !notifier->isEnabled();
    });
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(heldInTurn);
    ASSERT_TRUE(testing_support::SpinUntil([&] { return !log.empty(); }));
    SpinFor(20ms);
    EXPECT_EQ(log, (std::vector<std::string>{"resumed", "a read 1", "resumed"}));
    EXPECT_EQ(fired, 2);
}

}  // namespace
