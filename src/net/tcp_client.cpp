#include "net/tcp_client.h"

#include <QMetaObject>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include "base/error.h"
#include "capture/recorder.h"
#include "net/capture_tap.h"
#include "net/ipv4.h"
#include "net/socket_error.h"

namespace net {

namespace {

bool WouldBlock(int err) {
    return err == EAGAIN || err == EWOULDBLOCK;
}

}  // namespace

bool TCustomWinSocket::Connected() const {
    using State = TClientSocket::State;
    const State s = client_.state_;
    return s == State::Connected || s == State::Broken || s == State::Ending;
}

std::string TCustomWinSocket::RemoteAddress() const {
    return Connected() ? client_.remote_ : std::string();
}

int TCustomWinSocket::SendText(std::string_view text) {
    return client_.Send(text);
}

std::string TCustomWinSocket::ReceiveText() {
    return client_.Receive();
}

TClientSocket::TClientSocket(AsyncLookup& lookup, QObject* owner)
    : QObject(owner), lookups_(lookup) {
    turn_.OnResume = [this] {
        if (!deferred_) return;
        QMetaObject::invokeMethod(
            this, [this, step = std::exchange(deferred_, nullptr)] { Deliver(step); },
            Qt::QueuedConnection);
    };
}

TClientSocket::~TClientSocket() {
    EndStream(false, false);
}

// The connection's end in the capture: closed by one side, or reset.
void TClientSocket::EndStream(bool by_peer, bool reset) {
    if (!stream_) return;
    if (reset) {
        stream_->Reset(by_peer);
    } else {
        stream_->Close(by_peer);
    }
    stream_.reset();
}

// Every change of state: what a state leaves behind and which notifications it wants.
void TClientSocket::Enter(State next) {
    state_ = next;
    if (next == State::Idle) {
        EndStream(false, false);
        // Nothing of an attempt survives it: no lookup, no result on its way, no bytes.
        lookup_.Cancel();
        deferred_ = nullptr;
        ++attempt_;
        conn_.Close();
        remote_.clear();
        unsent_.clear();
        unsent_at_ = 0;
    }
    UpdateWants();
}

void TClientSocket::UpdateWants() {
    const bool waiting = unsent_at_ < unsent_.size();
    conn_.Want(state_ == State::Connected, state_ == State::Connecting || (Active() && waiting));
}

void TClientSocket::Open() {
    if (socket_.Connected()) return;
    Enter(State::Idle);
    Descriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) throw base::Error(kCannotCreateSocket);
    Enter(State::Opening);
    if (!LeavesReserve(fd.Get())) {
        // The window needs the last few for itself: a box, the display, the history file.
        PostFailure(eeGeneral, kTooManyOpenFiles, "socket");
        return;
    }
    conn_.Watch(
        std::move(fd), [this] { OnReadable(); }, [this] { OnWritable(); });
    in_addr address{};
    if (ipv4::ParseDotted(Host, &address)) {
        StartConnect(address);
    } else if (Host.empty()) {
        // Nothing to look up: it fails as a lookup would, with its own number.
        PostFailure(eeLookup, kNoAddress, "ASync Lookup");
    } else {
        lookup_ = lookups_.Start(Host, [this](const LookupResult& result) { LookupDone(result); });
    }
}

void TClientSocket::Close() {
    if (Active()) EndConnection();
}

void TClientSocket::StartConnect(in_addr address) {
    peer_ = {};
    peer_.sin_family = AF_INET;
    peer_.sin_addr = address;
    peer_.sin_port = htons(static_cast<std::uint16_t>(Port));
    if (::connect(conn_.Get(), reinterpret_cast<const sockaddr*>(&peer_), sizeof peer_) != 0 &&
        errno != EINPROGRESS && errno != EINTR) {
        // Refused at once: told as events all the same, whether a lookup came first or not.
        PostFailure(eeConnect, WsaFromErrno(errno), "connect");
        return;
    }
    Enter(State::Connecting);
}

// Runs `step` now, or once the event of this client that runs now has returned.
void TClientSocket::Deliver(std::function<void()> step) {
    if (turn_.Running()) {
        deferred_ = std::move(step);  // only the newest attempt's outcome counts
        return;
    }
    Notified(step);
}

void TClientSocket::PostFailure(TErrorEvent kind, int code, const char* api) {
    conn_.Close();
    QMetaObject::invokeMethod(
        this,
        [this, attempt = attempt_, kind, code, api] {
            Deliver([this, attempt, kind, code, api] {
                if (attempt == attempt_ && state_ == State::Opening) Failed(kind, code, api);
            });
        },
        Qt::QueuedConnection);
}

// An attempt that never connected failed: the error event, then the disconnect event, then
// the report unless the error event declared it handled.
void TClientSocket::Failed(TErrorEvent kind, int code, const char* api) {
    const unsigned attempt = attempt_;
    int left = code;
    if (!RunErrorEvent(kind, &left)) return;
    if (attempt == attempt_ && state_ == State::Opening && !EndConnection()) return;
    if (left == 0) return;
    if (code == kNoAddress) throw base::Error(kNoAddressSpecified);
    throw WindowsSocketError(left, api);
}

void TClientSocket::LookupDone(const LookupResult& result) {
    Deliver([this, attempt = attempt_, result] {
        if (attempt != attempt_ || state_ != State::Opening) return;
        if (result.error == 0 && !result.addresses.empty()) {
            StartConnect(result.addresses.front());
            return;
        }
        Failed(eeLookup, result.error != 0 ? result.error : kNoData, "ASync Lookup");
    });
}

// What escapes goes to OnEventFailed, still inside the turn: this client's notifications wait
// while the owner shows it.
void TClientSocket::Notified(const std::function<void()>& step) {
    const auto failed = OnEventFailed;
    turn_.Run([&] {
        try {
            step();
        } catch (...) {
            if (failed) failed(std::current_exception());
        }
    });
}

bool TClientSocket::RunEvent(const TSocketNotifyEvent& event) {
    if (!event) return true;
    const TSocketNotifyEvent handler = event;  // a handler may replace itself
    return turn_.Run([&] { handler(*this, socket_); });
}

bool TClientSocket::RunErrorEvent(TErrorEvent kind, int* code) {
    if (!OnError) return true;
    const TSocketErrorEvent handler = OnError;
    return turn_.Run([&] { handler(*this, socket_, kind, *code); });
}

// The disconnect event, while the peer is still known, then the socket closes whatever the
// event did, unless it opened the client anew. False when the event destroyed the client.
bool TClientSocket::EndConnection() {
    Enter(socket_.Connected() ? State::Ending : State::Failing);
    const unsigned attempt = attempt_;
    const auto alive = turn_.Alive();
    try {
        RunEvent(OnDisconnect);
    } catch (...) {
        if (alive && attempt == attempt_) Enter(State::Idle);
        throw;
    }
    if (!alive) return false;
    if (attempt == attempt_) Enter(State::Idle);
    return true;
}

// A send or receive call failed: the error event, then the connection ends.
void TClientSocket::CallFailed(TErrorEvent kind, int err, const char* api) {
    EndStream(true, true);
    int code = WsaFromErrno(err);
    if (!RunErrorEvent(kind, &code)) return;
    if (Active() && !EndConnection()) return;
    if (code != 0) throw WindowsSocketError(code, api);
}

void TClientSocket::OnWritable() {
    Notified([this] {
        if (Active()) {
            Flush();
            return;
        }
        if (state_ != State::Connecting) return;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(conn_.Get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err == 0) {
            remote_ = ipv4::Format(peer_.sin_addr);
            if (Capture != nullptr) {
                stream_ = std::make_unique<capture::TcpStream>(
                    *Capture, tap::Local(conn_.Get(), peer_.sin_addr), tap::Endpoint(peer_));
            }
            Enter(State::Connected);
            RunEvent(OnConnect);
            return;
        }
        // Refused or timed out: idle and ready to be opened again, without a disconnect event.
        Enter(State::Idle);
        int code = WsaFromErrno(err);
        if (RunErrorEvent(eeConnect, &code) && code != 0) throw AsyncSocketError(code);
    });
}

void TClientSocket::OnReadable() {
    Notified([this] {
        if (state_ != State::Connected) return;
        char probe = 0;
        const ssize_t n = ::recv(conn_.Get(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) {
            if (OnRead) {
                RunEvent(OnRead);
            } else {
                Receive();  // nobody reads: it must not fire again and again
            }
            return;
        }
        if (n == 0) {
            EndStream(true, false);
            EndConnection();
            return;
        }
        const int err = errno;
        if (WouldBlock(err) || err == EINTR) return;
        // Counted as connected until closed, or until a send or read fails.
        Enter(State::Broken);
        const bool closing = err == ECONNRESET || err == ECONNABORTED || err == ETIMEDOUT;
        EndStream(true, true);
        int code = WsaFromErrno(err);
        if (RunErrorEvent(closing ? eeDisconnect : eeReceive, &code) && code != 0) {
            throw AsyncSocketError(code);
        }
    });
}

int TClientSocket::Send(std::string_view text) {
    if (!socket_.Connected()) return 0;
    const std::size_t waiting = unsent_.size() - unsent_at_;
    if (text.size() > kMaxUnsent - std::min(waiting, kMaxUnsent)) {
        // Refused whole, so that what was accepted before goes out complete.
        if (stream_) {
            stream_->Note("a send of " + std::to_string(text.size()) +
                          " bytes before this one was refused: more than the client keeps "
                          "unsent");
        }
        int code = kNoBufferSpace;
        if (RunErrorEvent(eeSend, &code) && code != 0) throw WindowsSocketError(code, "send");
        return 0;
    }
    // Behind what waits already, to keep the order; the count is this text's own.
    unsent_.append(text);
    const std::size_t sent = Flush();
    return static_cast<int>(sent > waiting ? sent - waiting : 0);
}

std::size_t TClientSocket::Flush() {
    std::size_t sent = 0;
    while (unsent_at_ < unsent_.size()) {
        const ssize_t n = ::send(conn_.Get(), unsent_.data() + unsent_at_,
                                 unsent_.size() - unsent_at_, MSG_NOSIGNAL);
        if (n >= 0) {
            if (stream_) {
                stream_->Data(true, std::string_view(unsent_.data() + unsent_at_,
                                                     static_cast<std::size_t>(n)));
            }
            unsent_at_ += static_cast<std::size_t>(n);
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (WouldBlock(errno)) break;
        CallFailed(eeSend, errno, "send");
        return sent;
    }
    if (unsent_at_ == unsent_.size()) {
        unsent_.clear();
        unsent_at_ = 0;
    } else if (unsent_at_ > unsent_.size() / 2) {
        unsent_.erase(0, unsent_at_);
        unsent_at_ = 0;
    }
    UpdateWants();
    return sent;
}

std::string TClientSocket::Receive() {
    if (!socket_.Connected()) return {};
    // Every client runs on the interface thread, one event at a time: one buffer serves all.
    static char buffer[TCustomWinSocket::kReceiveLimit];
    for (;;) {
        const ssize_t n = ::recv(conn_.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0 && stream_)
            stream_->Data(false, std::string_view(buffer, static_cast<std::size_t>(n)));
        if (n >= 0) return std::string(buffer, static_cast<std::size_t>(n));
        if (errno == EINTR) continue;
        if (WouldBlock(errno)) return {};
        CallFailed(eeReceive, errno, "recv");
        return {};
    }
}

}  // namespace net
