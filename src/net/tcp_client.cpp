#include "net/tcp_client.h"

#include <QMetaObject>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <mutex>
#include <thread>
#include <utility>

#include "base/error.h"
#include "net/ipv4.h"
#include "net/socket_error.h"

namespace net {

namespace {

// Set and read on the interface thread only; each lookup takes its own copy along.
HostResolver& GlobalResolver() {
    static HostResolver resolver;
    return resolver;
}

bool WouldBlock(int err) {
    return err == EAGAIN || err == EWOULDBLOCK;
}

}  // namespace

void SetHostResolver(HostResolver resolver) {
    GlobalResolver() = std::move(resolver);
}

// One lookup in flight. The worker hands its result over only while `client` is set; the
// client clears it under the lock before it goes, so no result can reach a destroyed client.
struct TClientSocket::Lookup {
    std::mutex mutex;
    TClientSocket* client = nullptr;
};

bool TCustomWinSocket::Connected() const {
    return client_.state_ == TClientSocket::State::Connected;
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

TClientSocket::TClientSocket(QObject* owner) : QObject(owner) {}

TClientSocket::~TClientSocket() {
    *alive_ = false;
    AbandonLookup();
    delete read_;
    delete write_;
}

void TClientSocket::Open() {
    if (state_ == State::Connected) return;
    Reset();
    Descriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) throw base::Error(kCannotCreateSocket);
    fd_ = std::move(fd);
    state_ = State::LookingUp;

    in_addr address{};
    if (ipv4::ParseDotted(Host, &address)) {
        StartConnect(address);
        return;
    }
    auto lookup = std::make_shared<Lookup>();
    lookup->client = this;
    lookup_ = lookup;
    if (Host.empty()) {
        // Nothing to look up: it fails as a lookup would, with its own number.
        LookupResult none;
        none.error = kNoAddress;
        QMetaObject::invokeMethod(
            this, [this, lookup, none] { LookupDone(lookup, none); }, Qt::QueuedConnection);
        return;
    }
    // A name server may take many seconds, or never answer: the worker is never waited for.
    HostResolver resolve = GlobalResolver() ? GlobalResolver() : HostResolver(SystemResolve);
    const auto work = [lookup, resolve = std::move(resolve), host = Host] {
        const LookupResult result = resolve(host);
        const std::lock_guard lock(lookup->mutex);
        if (lookup->client == nullptr) return;
        QMetaObject::invokeMethod(
            lookup->client,
            [client = lookup->client, lookup, result] { client->LookupDone(lookup, result); },
            Qt::QueuedConnection);
    };
    try {
        std::thread(work).detach();
    } catch (...) {
        Reset();
        throw;
    }
}

void TClientSocket::Close() {
    if (state_ != State::Connected || ending_) return;
    EndConnection();
}

void TClientSocket::AbandonLookup() {
    if (!lookup_) return;
    {
        const std::lock_guard lock(lookup_->mutex);
        lookup_->client = nullptr;
    }
    lookup_.reset();
    deferred_.reset();
}

void TClientSocket::Reset() {
    AbandonLookup();
    // The notifier being emitted may be one of these; it is deleted once it has returned.
    for (QSocketNotifier** n : {&read_, &write_}) {
        if (*n == nullptr) continue;
        (*n)->setEnabled(false);
        (*n)->deleteLater();
        *n = nullptr;
    }
    fd_.Close();
    state_ = State::Idle;
    active_ = false;
    dead_ = false;
    remote_.clear();
    unsent_.clear();
    unsent_at_ = 0;
}

void TClientSocket::StartConnect(in_addr address) {
    peer_ = {};
    peer_.sin_family = AF_INET;
    peer_.sin_addr = address;
    peer_.sin_port = htons(static_cast<std::uint16_t>(Port));
    state_ = State::Connecting;
    if (::connect(fd_.Get(), reinterpret_cast<const sockaddr*>(&peer_), sizeof peer_) != 0 &&
        errno != EINPROGRESS && errno != EINTR) {
        // Refused at once rather than by a later notification.
        const int wsa = WsaFromErrno(errno);
        if (EndConnection()) throw WindowsSocketError(wsa, "connect");
        return;
    }
    read_ = new QSocketNotifier(fd_.Get(), QSocketNotifier::Read, this);
    write_ = new QSocketNotifier(fd_.Get(), QSocketNotifier::Write, this);
    connect(read_, &QSocketNotifier::activated, this, &TClientSocket::OnReadable);
    connect(write_, &QSocketNotifier::activated, this, &TClientSocket::OnWritable);
    UpdateNotifiers();
}

void TClientSocket::UpdateNotifiers() {
    const bool free = held_ == 0;
    const bool connected = state_ == State::Connected;
    if (read_ != nullptr) read_->setEnabled(free && connected && !dead_ && !ending_);
    if (write_ != nullptr) {
        write_->setEnabled(
            free && (state_ == State::Connecting || (connected && unsent_at_ < unsent_.size())));
    }
}

// Every notification runs through here: its events see this client's notifications held, and
// what escapes goes to OnEventFailed. The client may be destroyed by any event.
template <class F>
void TClientSocket::Notified(F&& step) {
    const std::shared_ptr<bool> alive = alive_;
    const auto failed = OnEventFailed;
    ++held_;
    UpdateNotifiers();
    try {
        std::forward<F>(step)();
    } catch (...) {
        if (failed) failed(std::current_exception());
    }
    if (!*alive) return;
    if (--held_ > 0) return;
    UpdateNotifiers();
    if (deferred_) {
        QMetaObject::invokeMethod(
            this,
            [this, lookup = lookup_, result = std::move(deferred_)] {
                LookupDone(lookup, *result);
            },
            Qt::QueuedConnection);
    }
}

bool TClientSocket::RunEvent(const TSocketNotifyEvent& event) {
    if (!event) return true;
    const std::shared_ptr<bool> alive = alive_;
    const TSocketNotifyEvent handler = event;  // a handler may replace itself
    handler(*this, socket_);
    return *alive;
}

bool TClientSocket::RunErrorEvent(TErrorEvent kind, int* code) {
    if (!OnError) return true;
    const std::shared_ptr<bool> alive = alive_;
    const TSocketErrorEvent handler = OnError;
    handler(*this, socket_, kind, *code);
    return *alive;
}

// The disconnect event, while the peer is still known, then the socket closes whatever the
// event did. False when the event destroyed the client.
bool TClientSocket::EndConnection() {
    const std::shared_ptr<bool> alive = alive_;
    active_ = false;
    ending_ = true;
    UpdateNotifiers();
    try {
        RunEvent(OnDisconnect);
    } catch (...) {
        if (*alive) {
            ending_ = false;
            Reset();
        }
        throw;
    }
    if (!*alive) return false;
    ending_ = false;
    Reset();
    return true;
}

// A send or receive call failed: the error event, then the connection ends.
void TClientSocket::CallFailed(TErrorEvent kind, int err, const char* api) {
    int code = WsaFromErrno(err);
    if (!RunErrorEvent(kind, &code)) return;
    if (state_ == State::Connected && !ending_ && !EndConnection()) return;
    if (code != 0) throw WindowsSocketError(code, api);
}

void TClientSocket::LookupDone(const std::shared_ptr<Lookup>& lookup, const LookupResult& result) {
    if (!lookup || lookup != lookup_) return;  // abandoned meanwhile
    if (held_ > 0) {
        deferred_ = std::make_shared<const LookupResult>(result);
        return;
    }
    lookup_.reset();
    Notified([&] {
        if (result.error == 0 && !result.addresses.empty()) {
            StartConnect(result.addresses.front());
            return;
        }
        int code = result.error != 0 ? result.error : kNoData;
        if (!RunErrorEvent(eeLookup, &code)) return;
        // Closed although never connected, so the disconnect event runs too.
        if (!EndConnection()) return;
        if (code == 0) return;
        if (result.error == kNoAddress) throw base::Error(kNoAddressSpecified);
        throw WindowsSocketError(code, "ASync Lookup");
    });
}

void TClientSocket::OnWritable() {
    if (held_ > 0) return;
    Notified([this] {
        if (state_ == State::Connected) {
            Flush();
            return;
        }
        if (state_ != State::Connecting) return;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd_.Get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err == 0) {
            state_ = State::Connected;
            active_ = true;
            remote_ = ipv4::Format(peer_.sin_addr);
            UpdateNotifiers();
            RunEvent(OnConnect);
            return;
        }
        // Refused or timed out: idle and ready to be opened again, without a disconnect event.
        Reset();
        int code = WsaFromErrno(err);
        if (RunErrorEvent(eeConnect, &code) && code != 0) throw AsyncSocketError(code);
    });
}

void TClientSocket::OnReadable() {
    if (held_ > 0) return;
    Notified([this] {
        if (state_ != State::Connected) return;
        char probe = 0;
        const ssize_t n = ::recv(fd_.Get(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) {
            if (OnRead) {
                RunEvent(OnRead);
            } else {
                Receive();  // nobody reads: it must not fire again and again
            }
            return;
        }
        if (n == 0) {
            EndConnection();
            return;
        }
        const int err = errno;
        if (WouldBlock(err) || err == EINTR) return;
        // Counted as connected until closed, or until a send or read fails.
        dead_ = true;
        const bool closing = err == ECONNRESET || err == ECONNABORTED || err == ETIMEDOUT;
        int code = WsaFromErrno(err);
        if (RunErrorEvent(closing ? eeDisconnect : eeReceive, &code) && code != 0) {
            throw AsyncSocketError(code);
        }
    });
}

int TClientSocket::Send(std::string_view text) {
    if (state_ != State::Connected) return 0;
    // Behind what waits already, to keep the order.
    const std::size_t waiting = unsent_.size() - unsent_at_;
    unsent_.append(text);
    const std::size_t sent = Flush();
    return static_cast<int>(sent > waiting ? sent - waiting : 0);
}

std::size_t TClientSocket::Flush() {
    std::size_t sent = 0;
    while (unsent_at_ < unsent_.size()) {
        const ssize_t n = ::send(fd_.Get(), unsent_.data() + unsent_at_,
                                 unsent_.size() - unsent_at_, MSG_NOSIGNAL);
        if (n >= 0) {
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
    UpdateNotifiers();
    return sent;
}

std::string TClientSocket::Receive() {
    if (state_ != State::Connected) return {};
    // Every client runs on the interface thread, one event at a time: one buffer serves all.
    static char buffer[TCustomWinSocket::kReceiveLimit];
    for (;;) {
        const ssize_t n = ::recv(fd_.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n >= 0) return std::string(buffer, static_cast<std::size_t>(n));
        if (errno == EINTR) continue;
        if (WouldBlock(errno)) return {};
        CallFailed(eeReceive, errno, "recv");
        return {};
    }
}

}  // namespace net
