#include "net/watched_socket.h"

#include <QSocketNotifier>

#include <algorithm>

namespace net {

struct HandlerTurn::State {
    int depth = 0;
    bool alive = true;
    std::vector<WatchedSocket*> sockets;
    std::function<void()>* resume = nullptr;
};

HandlerTurn::HandlerTurn() : state_(std::make_shared<State>()) {
    state_->resume = &OnResume;
}

HandlerTurn::~HandlerTurn() {
    state_->alive = false;
    state_->resume = nullptr;
}

HandlerTurn::Witness::operator bool() const {
    return state_ && state_->alive;
}

HandlerTurn::Witness HandlerTurn::Alive() const {
    return Witness(state_);
}

bool HandlerTurn::Running() const {
    return state_->depth > 0;
}

HandlerTurn::Turn::Turn(std::shared_ptr<State> state) : state_(std::move(state)) {
    if (state_->depth++ > 0) return;
    for (WatchedSocket* s : state_->sockets) s->Apply();
}

HandlerTurn::Turn::~Turn() {
    if (--state_->depth > 0 || !state_->alive) return;
    // The owner's state is as its last handler left it: notifications as it wants them now.
    for (std::size_t i = 0; i < state_->sockets.size() && state_->alive; ++i) {
        state_->sockets[i]->Apply();
    }
    if (state_->alive && state_->resume != nullptr && *state_->resume) (*state_->resume)();
}

bool HandlerTurn::Turn::Alive() const {
    return state_->alive;
}

WatchedSocket::WatchedSocket(HandlerTurn& turn, QObject* parent) : turn_(turn), parent_(parent) {
    turn_.state_->sockets.push_back(this);
}

WatchedSocket::~WatchedSocket() {
    Close();
    auto& sockets = turn_.state_->sockets;
    sockets.erase(std::remove(sockets.begin(), sockets.end(), this), sockets.end());
}

void WatchedSocket::Watch(Descriptor fd, std::function<void()> readable,
                          std::function<void()> writable) {
    Close();
    fd_ = std::move(fd);
    readable_ = std::move(readable);
    writable_ = std::move(writable);
    read_ = new QSocketNotifier(fd_.Get(), QSocketNotifier::Read, parent_);
    read_->setEnabled(false);
    QObject::connect(read_, &QSocketNotifier::activated, read_,
                     [this, n = read_] { Fire(n, readable_); });
    if (!writable_) return;
    write_ = new QSocketNotifier(fd_.Get(), QSocketNotifier::Write, parent_);
    write_->setEnabled(false);
    QObject::connect(write_, &QSocketNotifier::activated, write_,
                     [this, n = write_] { Fire(n, writable_); });
}

void WatchedSocket::Want(bool read, bool write) {
    want_read_ = read;
    want_write_ = write;
    Apply();
}

void WatchedSocket::Apply() {
    const bool free = turn_.state_->depth == 0;
    if (read_ != nullptr) read_->setEnabled(free && want_read_);
    if (write_ != nullptr) write_->setEnabled(free && want_write_);
}

void WatchedSocket::Close() noexcept {
    for (QSocketNotifier** n : {&read_, &write_}) {
        if (*n == nullptr) continue;
        (*n)->setEnabled(false);
        // It may be the one whose signal runs the current callback; it goes once that returns.
        (*n)->deleteLater();
        *n = nullptr;
    }
    fd_.Close();
    want_read_ = want_write_ = false;
}

void WatchedSocket::Fire(QSocketNotifier* notifier,
                         const std::function<void()>& callback) noexcept {
    if (turn_.Running()) {
        // Comes again when the turn ends and re-enables what is wanted.
        notifier->setEnabled(false);
        return;
    }
    if (!callback) return;
    const std::function<void()> run = callback;  // the callback may replace or close it
    turn_.Run(run);
}

}  // namespace net
