#include "net/udp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QEvent>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>

#include "net/capture_tap.h"
#include "net/datagram_sender.h"
#include "net/ipv4.h"
#include "net/socket_error.h"

namespace net {

namespace {

// Datagrams taken from a socket per system call: enough to empty the queue of a busy peer in
// one call, few enough that the window shows them in small steps.
constexpr std::size_t kMaxBatch = 64;
constexpr std::size_t kMaxBatchBytes = std::size_t{1} << 20;
// Room for the destination address of a datagram, which tells a capture where it came to.
constexpr std::size_t kControlSize = CMSG_SPACE(sizeof(in_pktinfo));
// The listener's thread looks at its stop flag at least this often, whatever wakes it.
constexpr int kPollMs = 1000;
// While datagrams keep coming the window takes them this often, rather than being woken for
// each: a flood then costs a wake-up per tick instead of one per datagram.
constexpr int kDrainMs = 2;

QEvent::Type DeliverEvent() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

bool Truncated(const mmsghdr& m, std::size_t slot) {
    // With MSG_TRUNC the length is the whole datagram's, so a longer one is seen and dropped.
    return (m.msg_hdr.msg_flags & MSG_TRUNC) != 0 || m.msg_len > slot;
}

void Aim(mmsghdr& m, iovec& iov, std::string& bytes, sockaddr_in& to) {
    iov.iov_base = bytes.data();
    iov.iov_len = bytes.size();
    m.msg_hdr = msghdr{};
    m.msg_hdr.msg_name = &to;
    m.msg_hdr.msg_namelen = sizeof(sockaddr_in);
    m.msg_hdr.msg_iov = &iov;
    m.msg_hdr.msg_iovlen = 1;
}

}  // namespace

bool TIdSocketHandle::Bound() const {
    return socket_.Valid();
}

std::uint16_t TIdSocketHandle::LocalPort() const {
    return socket_.Valid() ? local_port_ : 0;
}

void TIdSocketHandle::SendTo(std::string_view bytes, const std::string& ip, std::uint16_t port,
                             bool wait) {
    if (!socket_.Valid()) throw SocketError(WsaFromErrno(ENOTSOCK));
    // Answers queued before go first, so that everything leaves in the order given.
    if (delivering_ != nullptr) delivering_->SendReplies(*delivering_->session_);
    const in_addr to = ipv4::Resolve(ip);
    ipv4::SendDatagram(socket_.Get(), bytes, to, port, wait ? ipv4::kSendWaitMs : 0);
    tap::Sent(capture_, socket_.Get(), to, port, bytes);
}

void TIdSocketHandle::ReplyToSender(std::string bytes) {
    if (delivering_ != nullptr) {
        delivering_->QueueReply(*this, std::move(bytes));
        return;
    }
    try {
        SendTo(bytes, PeerIP, PeerPort, false);
    } catch (const base::Error&) {
        // Dropped, as a queued answer that fails is.
    }
}

// Up to a system call's worth of datagrams from one socket, with their answers: the
// listener's thread's own.
struct TIdUDPServer::Batch {
    Batch(std::size_t slot, std::size_t size, bool capture)
        // Not value-initialised: only the bytes that datagrams fill are ever touched.
        : buffers(new char[std::max<std::size_t>(slot * size, 1)]),
          iov(size),
          from(size),
          msgs(size),
          control(capture ? size * kControlSize : 0),
          local(capture ? size : 0),
          answers(size),
          answer_iov(size),
          answer_msgs(size),
          answered(size) {
        for (std::size_t i = 0; i < size; ++i) {
            iov[i].iov_base = buffers.get() + i * slot;
            iov[i].iov_len = slot;
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_name = &from[i];
            if (capture) msgs[i].msg_hdr.msg_control = control.data() + i * kControlSize;
        }
    }

    std::string_view Data(std::size_t i, std::size_t slot) const {
        return {static_cast<const char*>(iov[i].iov_base),
                std::min<std::size_t>(msgs[i].msg_len, slot)};
    }

    std::size_t socket = 0;  // which of the session's sockets it came from
    std::size_t count = 0;
    std::unique_ptr<char[]> buffers;
    std::vector<iovec> iov;
    std::vector<sockaddr_in> from;
    std::vector<mmsghdr> msgs;
    std::vector<char> control;             // only while capturing
    std::vector<capture::Endpoint> local;  // the same: where each datagram came to
    std::vector<std::string> answers;      // kept for their capacity
    std::vector<iovec> answer_iov;
    std::vector<mmsghdr> answer_msgs;
    std::vector<std::size_t> answered;  // the datagram each answer is for
};

// Datagrams received and answered, waiting for the interface thread, in order. Two of them
// take turns: the thread fills one while the window delivers from the other.
struct TIdUDPServer::Inbox {
    struct Entry {
        std::size_t offset;
        std::size_t length;
        sockaddr_in from;
        std::size_t socket;
        capture::Endpoint local;  // only while capturing
    };
    std::string bytes;
    std::vector<Entry> entries;

    std::string_view Data(const Entry& e) const { return {bytes.data() + e.offset, e.length}; }
};

// The state of one activation. The interface thread's part (delivery, the answers its
// handlers hold) and the listener's thread's part meet only in `inbox`, under `mutex`.
struct TIdUDPServer::Session {
    Session(int buffer_size, capture::Recorder* to)
        : recorder(to),
          slot(static_cast<std::size_t>(std::max(buffer_size, 0))),
          batch(std::clamp<std::size_t>(kMaxBatchBytes / std::max<std::size_t>(slot, 1), 1,
                                        kMaxBatch)),
          replies(batch),
          reply_to(batch),
          reply_iov(batch),
          reply_msgs(batch),
          reply_local(recorder != nullptr ? batch : 0),
          reply_sender(batch) {}

    capture::Recorder* const recorder;
    const std::size_t slot;  // BufferSize at activation
    const std::size_t batch;

    // Fixed before the thread starts.
    struct Socket {
        int fd = -1;
        capture::Endpoint local;  // the bound address (0: every interface) and port
        bool dotted = false;      // bound to an address given as digits, `bound`
        in_addr bound{};
    };
    std::vector<Socket> sockets;

    std::mutex mutex;
    std::condition_variable room;  // the window took the inbox, or stop
    Inbox inbox;
    // The window looks again without being told: a delivery event is on its way, or a
    // flood is being taken once per tick.
    bool posted = false;
    bool stop = false;
    std::atomic<bool> stopping{false};  // the same, for the thread between its waits
    std::atomic<bool> busy{false};      // the thread holds datagrams not yet queued
    std::thread thread;

    // The interface thread's alone.
    Inbox taken;                             // the inbox being delivered
    std::vector<TIdSocketHandle*> bindings;  // parallel to sockets
    bool stopped = false;
    bool waiting = false;  // a delivery waits for the owner's turn to end
    in_addr peer{};        // the last sender's address, and as text
    std::string peer_text;
    // Answers given by handlers while datagrams of one binding are delivered, sent together
    // when the last of them has been handled. At most `batch` are held; a handler that
    // answers more sends the ones held first.
    sockaddr_in current_from{};  // the sender of the datagram being delivered
    capture::Endpoint current_local;
    TIdSocketHandle* replying = nullptr;  // the binding whose answers are held
    std::size_t reply_count = 0;
    std::vector<std::string> replies;
    std::vector<sockaddr_in> reply_to;
    std::vector<iovec> reply_iov;
    std::vector<mmsghdr> reply_msgs;
    std::vector<capture::Endpoint> reply_local;
    DatagramSender reply_sender;
    in_addr source_peer{};  // the address answers leave from towards it, as the system picks it
    std::uint32_t source = 0;
};

namespace {

// The address a socket bound to every interface answers from: the one the system picks for
// the last peer asked about (a flood comes from one peer).
struct SourceCache {
    std::uint32_t For(int fd, in_addr peer) {
        if (address == 0 || cached.s_addr != peer.s_addr) {
            cached = peer;
            address = tap::Local(fd, peer).address;
        }
        return address;
    }
    in_addr cached{};
    std::uint32_t address = 0;
};

}  // namespace

// The listener's thread: waits for the sockets, receives a batch, answers it and queues it
// for the interface thread. It receives no more while the queue is full.
class TIdUDPServer::Receiver {
    struct BusyEnd {
        explicit BusyEnd(std::atomic<bool>& busy) : busy_(busy) {}
        ~BusyEnd() { busy_.store(false); }
        std::atomic<bool>& busy_;
    };

public:
    Receiver(Session& s, TIdUDPServer& owner)
        : s_(s), owner_(owner), b_(s.slot, s.batch, s.recorder != nullptr), sender_(s.batch) {}

    void Run() {
        std::vector<pollfd> polls;
        for (const auto& socket : s_.sockets) polls.push_back({socket.fd, POLLIN, 0});
        while (!s_.stopping.load()) {
            if (poll(polls.data(), polls.size(), kPollMs) <= 0) continue;
            s_.busy.store(true);
            const BusyEnd end(s_.busy);
            for (std::size_t i = 0; i < polls.size(); ++i) {
                if (polls[i].revents == 0) continue;
                const std::size_t room = Room();
                if (room == 0) return;
                if (!Receive(i, room)) continue;
                if (s_.recorder != nullptr) Record();
                Answer();
                Queue();
            }
        }
    }

private:
    // How many datagrams the queue can take now; waits while none; 0 at stop. The bytes'
    // bound is looked at before a batch, which may pass it by one batch.
    std::size_t Room() {
        const auto room = [this] {
            const Inbox& in = s_.inbox;
            return in.bytes.size() >= kMaxQueuedBytes
                       ? 0
                       : std::min(s_.batch, kMaxQueued - in.entries.size());
        };
        std::unique_lock lock(s_.mutex);
        s_.room.wait(lock, [&] { return s_.stop || room() > 0; });
        return s_.stop ? 0 : room();
    }

    bool Receive(std::size_t socket, std::size_t room) {
        // The kernel shortens both lengths to what it filled in.
        const std::size_t controllen = s_.recorder != nullptr ? kControlSize : 0;
        for (std::size_t i = 0; i < room; ++i) {
            b_.msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
            b_.msgs[i].msg_hdr.msg_controllen = controllen;
        }
        const int count = recvmmsg(s_.sockets[socket].fd, b_.msgs.data(),
                                   static_cast<unsigned>(room), MSG_DONTWAIT | MSG_TRUNC, nullptr);
        if (count <= 0) return false;  // receive failures are dropped
        b_.socket = socket;
        b_.count = static_cast<std::size_t>(count);
        return true;
    }

    // Every datagram of a batch as it came, before it is answered.
    void Record() {
        const auto now = capture::Clock::now();
        for (std::size_t i = 0; i < b_.count; ++i) {
            mmsghdr& m = b_.msgs[i];
            capture::Endpoint& local = b_.local[i];
            local = s_.sockets[b_.socket].local;
            for (cmsghdr* c = CMSG_FIRSTHDR(&m.msg_hdr); c != nullptr && local.address == 0;
                 c = CMSG_NXTHDR(&m.msg_hdr, c)) {
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                    in_pktinfo info{};
                    std::memcpy(&info, CMSG_DATA(c), sizeof info);
                    local.address = ntohl(info.ipi_addr.s_addr);
                }
            }
            s_.recorder->Udp(false, local, tap::Endpoint(b_.from[i]), b_.Data(i, s_.slot), now,
                             Truncated(m, s_.slot)
                                 ? "longer than the listener's buffer of " +
                                       std::to_string(s_.slot) + " bytes: dropped, not delivered"
                                 : std::string(),
                             m.msg_len);
        }
    }

    bool FromOwnSocket(const sockaddr_in& from) const {
        const std::uint16_t port = ntohs(from.sin_port);
        for (const auto& socket : s_.sockets) {
            if (socket.local.port != port) continue;
            if (socket.dotted ? socket.bound.s_addr == from.sin_addr.s_addr
                              : ipv4::IsLocalAddress(from.sin_addr)) {
                return true;
            }
        }
        return false;
    }

    void Answer() {
        std::shared_ptr<const TIdUDPServer::Answer> answer;
        {
            const std::lock_guard lock(owner_.answerMutex_);
            answer = owner_.answer_;
        }
        if (!answer || !*answer) return;
        std::size_t n = 0;
        for (std::size_t i = 0; i < b_.count; ++i) {
            if (Truncated(b_.msgs[i], s_.slot)) continue;
            try {
                if (!(*answer)(b_.Data(i, s_.slot), FromOwnSocket(b_.from[i]), b_.answers[n])) {
                    continue;
                }
            } catch (...) {
                continue;  // that answer is dropped, as one the socket refuses is
            }
            Aim(b_.answer_msgs[n], b_.answer_iov[n], b_.answers[n], b_.from[i]);
            b_.answered[n] = i;
            ++n;
        }
        const Session::Socket& socket = s_.sockets[b_.socket];
        sender_.Send(
            socket.fd, b_.answer_msgs.data(), n, [&](std::size_t first, std::size_t count) {
                if (s_.recorder == nullptr) return;
                const auto now = capture::Clock::now();
                for (std::size_t k = first; k < first + count; ++k) {
                    const std::size_t i = b_.answered[k];
                    capture::Endpoint from = b_.local[i];
                    if (socket.local.address == 0) {
                        from.address = source_.For(socket.fd, b_.from[i].sin_addr);
                    }
                    s_.recorder->Udp(true, from, tap::Endpoint(b_.from[i]), b_.answers[k], now);
                }
            });
    }

    void Queue() {
        const std::lock_guard lock(s_.mutex);
        Inbox& in = s_.inbox;
        for (std::size_t i = 0; i < b_.count; ++i) {
            if (Truncated(b_.msgs[i], s_.slot)) continue;  // dropped unseen
            const std::string_view data = b_.Data(i, s_.slot);
            in.entries.push_back({in.bytes.size(), data.size(), b_.from[i], b_.socket,
                                  s_.recorder != nullptr ? b_.local[i] : capture::Endpoint{}});
            in.bytes.append(data);
        }
        if (s_.posted || in.entries.empty()) return;
        s_.posted = true;
        // Posted under the lock that the interface thread takes before it looks, so that what
        // this thread wrote is seen there.
        QCoreApplication::postEvent(&owner_, new QEvent(DeliverEvent()));
    }

    Session& s_;
    TIdUDPServer& owner_;
    Batch b_;
    DatagramSender sender_;
    SourceCache source_;
};

TIdUDPServer::TIdUDPServer(QObject* parent) : QObject(parent) {
    drainTimer_.setSingleShot(true);
    drainTimer_.setInterval(kDrainMs);
    connect(&drainTimer_, &QTimer::timeout, this, &TIdUDPServer::Deliver);
    turn_.OnResume = [this] {
        // A delivery that came while a handler ran goes on now.
        if (!session_ || !session_->waiting) return;
        session_->waiting = false;
        Deliver();
    };
}

TIdUDPServer::~TIdUDPServer() {
    if (session_) Deactivate();
}

void TIdUDPServer::SetAnswer(Answer answer) {
    auto shared = std::make_shared<const Answer>(std::move(answer));
    const std::lock_guard lock(answerMutex_);
    answer_ = std::move(shared);
}

TIdSocketHandle& TIdUDPServer::AddBinding(const std::string& ip, std::int32_t port) {
    const auto low = static_cast<std::uint16_t>(port);
    for (auto& b : bindings_) {
        if (b->IP == ip && static_cast<std::uint16_t>(b->Port) == low) return *b;
    }
    auto& b = bindings_.emplace_back(new TIdSocketHandle());
    b->IP = ip;
    b->Port = port;
    return *b;
}

std::size_t TIdUDPServer::BindingCount() const {
    return bindings_.size();
}

TIdSocketHandle& TIdUDPServer::Binding(std::size_t i) {
    return *bindings_.at(i);
}

bool TIdUDPServer::Active() const {
    return session_ != nullptr;
}

void TIdUDPServer::SetActive(bool active) {
    if (active == Active()) return;
    if (active) {
        Activate();
    } else {
        Deactivate();
    }
}

bool TIdUDPServer::IsOwnAddress(const std::string& ip, std::uint16_t port) const {
    in_addr from{};
    if (!ipv4::ParseDotted(ip, &from)) return false;
    for (const auto& b : bindings_) {
        if (b->LocalPort() != port) continue;
        in_addr bound{};
        if (!b->IP.empty() && ipv4::ParseDotted(b->IP, &bound)) {
            if (bound.s_addr == from.s_addr) return true;
        } else if (ipv4::IsLocalAddress(from)) {
            return true;
        }
    }
    return false;
}

void TIdUDPServer::Activate() {
    // Nothing stays bound behind a listener that counts as inactive: a failure closes them all.
    std::vector<Descriptor> sockets = BindAll();
    auto session = std::make_shared<Session>(BufferSize, Capture);
    for (std::size_t i = 0; i < bindings_.size(); ++i) {
        TIdSocketHandle* b = bindings_[i].get();
        Session::Socket socket;
        socket.fd = sockets[i].Get();
        socket.local = {b->local_address_, b->local_port_};
        socket.dotted = !b->IP.empty() && ipv4::ParseDotted(b->IP, &socket.bound);
        session->sockets.push_back(socket);
        session->bindings.push_back(b);
    }
    try {
        session->thread = std::thread([s = session.get(), this] {
            pthread_setname_np(pthread_self(), "orvan-listener");
            Receiver(*s, *this).Run();
        });
    } catch (const std::system_error& e) {
        throw base::Error(std::string("Cannot start the listener's thread: ") + e.what());
    }
    for (std::size_t i = 0; i < bindings_.size(); ++i) {
        bindings_[i]->capture_ = Capture;
        bindings_[i]->socket_ = std::move(sockets[i]);
    }
    session_ = std::move(session);
}

std::vector<Descriptor> TIdUDPServer::BindAll() const {
    std::vector<Descriptor> sockets;
    for (const auto& b : bindings_) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(static_cast<std::uint16_t>(b->Port));
        if (b->IP.empty()) {
            local.sin_addr.s_addr = htonl(INADDR_ANY);
        } else {
            local.sin_addr = ipv4::Resolve(b->IP);
        }
        Descriptor fd = ipv4::OpenDatagramSocket(true);
        const int on = 1;
        if (Capture != nullptr) setsockopt(fd.Get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        if (bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            if (errno == EADDRINUSE) throw base::Error(kAddressInUse);
            throw SocketError(WsaFromErrno(errno));
        }
        socklen_t len = sizeof local;
        getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&local), &len);
        b->local_port_ = ntohs(local.sin_port);
        b->local_address_ = ntohl(local.sin_addr.s_addr);
        sockets.push_back(std::move(fd));
    }
    return sockets;
}

void TIdUDPServer::Deactivate() {
    Session& s = *session_;
    s.stopped = true;
    // Answers to datagrams already delivered still go out.
    SendReplies(s);
    {
        const std::lock_guard lock(s.mutex);
        s.stop = true;
    }
    s.stopping.store(true);
    s.room.notify_all();
    // Wakes the thread's wait for the sockets (an unconnected datagram socket still says
    // ENOTCONN, but its waiters wake), before anything closes under it.
    for (const auto& socket : s.sockets) shutdown(socket.fd, SHUT_RD);
    s.thread.join();
    drainTimer_.stop();
    for (auto& b : bindings_) {
        b->delivering_ = nullptr;
        b->capture_ = nullptr;
    }
    // What was received and not yet delivered goes with the session.
    session_.reset();
    for (auto& b : bindings_) b->socket_.Close();
}

void TIdUDPServer::Settle() {
    if (!session_ || turn_.Running()) return;
    const Session& s = *session_;
    std::vector<pollfd> polls;
    for (const auto& socket : s.sockets) polls.push_back({socket.fd, POLLIN, 0});
    // Taken in once the thread is idle and no socket holds a datagram; a full queue never
    // empties by waiting, hence the bound.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSettleMs);
    while (std::chrono::steady_clock::now() < until) {
        if (!s.busy.load() && poll(polls.data(), polls.size(), 0) == 0 && !s.busy.load()) break;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    Deliver();
}

// The only event of its own it is sent is the thread's word that datagrams wait.
void TIdUDPServer::customEvent(QEvent*) {
    Deliver();
}

// Runs as the listener's turn: while a handler runs, a nested event loop included, nothing
// else of the listener is delivered, so datagrams are handled one at a time.
void TIdUDPServer::Deliver() {
    if (!session_) return;
    const std::shared_ptr<Session> keep = session_;  // a handler may end the session
    Session& s = *keep;
    if (turn_.Running()) {
        s.waiting = true;
        return;
    }
    {
        const std::lock_guard lock(s.mutex);
        std::swap(s.inbox, s.taken);
        // Nothing came since the last look: the thread tells of the next datagram itself.
        if (s.taken.entries.empty()) {
            s.posted = false;
            return;
        }
    }
    s.room.notify_one();
    bool goOn = false;
    turn_.Run([&] { goOn = DeliverAll(s, s.taken); });
    // Emptied, with its capacity kept for the thread's next turn with it.
    s.taken.bytes.clear();
    s.taken.entries.clear();
    // Deactivated (perhaps destroyed) by a handler: nothing else may be touched.
    if (!goOn) return;
    drainTimer_.start();
}

bool TIdUDPServer::DeliverAll(Session& s, Inbox& in) {
    // A handler that replaces OnUDPRead must not destroy the one that is running.
    const auto handler = OnUDPRead;
    const auto failed = OnUDPReadFailed;
    TIdSocketHandle* binding = nullptr;
    for (const Inbox::Entry& e : in.entries) {
        TIdSocketHandle* to = s.bindings[e.socket];
        if (to != binding) {
            EndRun(s, binding);
            binding = to;
            binding->delivering_ = this;
        }
        const sockaddr_in& peer = e.from;
        // Formatting costs more than the rest of the bookkeeping; a flood comes from one peer.
        if (s.peer_text.empty() || peer.sin_addr.s_addr != s.peer.s_addr) {
            s.peer = peer.sin_addr;
            s.peer_text = ipv4::Format(peer.sin_addr);
        }
        binding->PeerIP = s.peer_text;
        binding->PeerPort = ntohs(peer.sin_port);
        if (!handler) continue;
        s.current_from = peer;
        s.current_local = e.local;
        try {
            handler(*this, in.Data(e), *binding);
        } catch (...) {
            if (failed) failed(std::current_exception());
        }
        if (s.stopped) return false;
    }
    EndRun(s, binding);
    return true;
}

// The datagrams of one binding have been handled: the answers their handlers gave leave.
void TIdUDPServer::EndRun(Session& s, TIdSocketHandle* binding) {
    if (binding == nullptr) return;
    binding->delivering_ = nullptr;
    SendReplies(s);
}

void TIdUDPServer::QueueReply(TIdSocketHandle& binding, std::string bytes) {
    Session& s = *session_;
    if (s.reply_count == s.batch || (s.reply_count > 0 && s.replying != &binding)) {
        SendReplies(s);
    }
    s.replies[s.reply_count] = std::move(bytes);
    s.reply_to[s.reply_count] = s.current_from;
    if (s.recorder != nullptr) {
        capture::Endpoint& from = s.reply_local[s.reply_count];
        from = s.current_local;
        if (binding.local_address_ == 0) {
            // A socket on every interface answers from the address the system picks.
            const in_addr peer = s.current_from.sin_addr;
            if (s.source == 0 || s.source_peer.s_addr != peer.s_addr) {
                s.source_peer = peer;
                s.source = tap::Local(binding.socket_.Get(), peer).address;
            }
            from.address = s.source;
        }
    }
    s.replying = &binding;
    ++s.reply_count;
}

void TIdUDPServer::SendReplies(Session& s) {
    const std::size_t count = s.reply_count;
    s.reply_count = 0;
    if (count == 0 || !s.replying->socket_.Valid()) return;
    for (std::size_t i = 0; i < count; ++i) {
        Aim(s.reply_msgs[i], s.reply_iov[i], s.replies[i], s.reply_to[i]);
    }
    s.reply_sender.Send(s.replying->socket_.Get(), s.reply_msgs.data(), count,
                        [&](std::size_t first, std::size_t n) {
                            if (s.recorder != nullptr) RecordReplies(s, first, n);
                        });
}

void TIdUDPServer::RecordReplies(Session& s, std::size_t first, std::size_t count) {
    const auto now = capture::Clock::now();
    for (std::size_t i = first; i < first + count; ++i) {
        s.recorder->Udp(true, s.reply_local[i], tap::Endpoint(s.reply_to[i]), s.replies[i], now);
    }
}

}  // namespace net
