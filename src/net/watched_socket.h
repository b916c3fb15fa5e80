#pragma once

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "net/descriptor.h"

class QObject;
class QSocketNotifier;

namespace net {

class WatchedSocket;

// The handlers of one owner (a client, a listener) run one at a time: while one runs, a nested
// event loop included, the notifications of every socket of that owner wait, and they come
// once it has returned. It also tells whether the owner was destroyed by a handler. Lives on
// the interface thread, as a member of its owner declared before the owner's sockets.
class HandlerTurn {
    struct State;

public:
    HandlerTurn();
    ~HandlerTurn();
    HandlerTurn(const HandlerTurn&) = delete;
    HandlerTurn& operator=(const HandlerTurn&) = delete;

    // Whether the owner still exists, asked after a handler has returned.
    class Witness {
    public:
        explicit operator bool() const;

    private:
        friend class HandlerTurn;
        explicit Witness(std::shared_ptr<const State> state) : state_(std::move(state)) {}
        std::shared_ptr<const State> state_;
    };
    Witness Alive() const;

    // Runs `step` as a turn of the owner; false when the owner was destroyed meanwhile. What
    // `step` throws passes through; the turn ends all the same.
    template <class F>
    bool Run(F&& step) {
        const Turn turn(state_);
        std::forward<F>(step)();
        return turn.Alive();
    }
    bool Running() const;

    // Runs after the outermost turn has ended, while the owner exists: what waited for the
    // turn goes on. Must not throw.
    std::function<void()> OnResume;

private:
    friend class WatchedSocket;
    class Turn {
    public:
        explicit Turn(std::shared_ptr<State> state);
        ~Turn();
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;
        bool Alive() const;

    private:
        std::shared_ptr<State> state_;
    };
    std::shared_ptr<State> state_;
};

// A descriptor with its read and write notifications. Each runs its callback as a turn of the
// owner, and only while wanted and no turn of the owner runs.
class WatchedSocket {
public:
    // The notifiers become children of `parent`, normally the owner.
    WatchedSocket(HandlerTurn& turn, QObject* parent);
    ~WatchedSocket();
    WatchedSocket(const WatchedSocket&) = delete;
    WatchedSocket& operator=(const WatchedSocket&) = delete;

    // Takes `fd` (closing one held before) and watches it; nothing is wanted yet. The
    // callbacks must not throw: they run straight from the event loop. Without `writable` the
    // socket is watched for reading only.
    void Watch(Descriptor fd, std::function<void()> readable, std::function<void()> writable);
    // Which notifications are wanted; they wait while a turn runs.
    void Want(bool read, bool write);
    // No more notifications; the descriptor closes. Allowed inside a callback.
    void Close() noexcept;

    int Get() const { return fd_.Get(); }
    bool Valid() const { return fd_.Valid(); }

private:
    friend class HandlerTurn;
    void Apply();  // the wanted notifications, unless a turn holds them
    void Fire(QSocketNotifier* notifier, const std::function<void()>& callback) noexcept;

    HandlerTurn& turn_;
    QObject* parent_;
    Descriptor fd_;
    QSocketNotifier* read_ = nullptr;
    QSocketNotifier* write_ = nullptr;
    std::function<void()> readable_, writable_;
    bool want_read_ = false;
    bool want_write_ = false;
};

}  // namespace net
