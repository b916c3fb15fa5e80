#include "net/udp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "net/capture_tap.h"
#include "net/ipv4.h"
#include "net/socket_error.h"

namespace net {

namespace {

// Datagrams taken from a socket per wake-up: enough to empty the queue of a busy peer in
// one system call, few enough that painting and other sockets get their turn.
constexpr std::size_t kMaxBatch = 64;
constexpr std::size_t kMaxBatchBytes = std::size_t{1} << 20;
// Room for the destination address of a datagram, which tells a capture where it came to.
constexpr std::size_t kControlSize = CMSG_SPACE(sizeof(in_pktinfo));

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

// The receive state of one activation. The sockets' callbacks and a running Drain share it,
// so a handler that deactivates (or destroys) the listener leaves them something valid.
struct TIdUDPServer::Session {
    Session(int buffer_size, capture::Recorder* to)
        : recorder(to),
          slot(static_cast<std::size_t>(std::max(buffer_size, 0))),
          batch(std::clamp<std::size_t>(kMaxBatchBytes / std::max<std::size_t>(slot, 1), 1,
                                        kMaxBatch)),
          buffers(std::max<std::size_t>(slot * batch, 1)),
          iov(batch),
          from(batch),
          msgs(batch),
          replies(batch),
          reply_to(batch),
          reply_iov(batch),
          reply_msgs(batch),
          control(recorder != nullptr ? batch * kControlSize : 0),
          local(recorder != nullptr ? batch : 0),
          reply_local(recorder != nullptr ? batch : 0) {
        for (std::size_t i = 0; i < batch; ++i) {
            iov[i].iov_base = buffers.data() + i * slot;
            iov[i].iov_len = slot;
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_name = &from[i];
            if (recorder != nullptr)
                msgs[i].msg_hdr.msg_control = control.data() + i * kControlSize;
        }
    }

    bool stopped = false;
    capture::Recorder* const recorder;

    const std::size_t slot;  // BufferSize at activation
    const std::size_t batch;
    std::vector<char> buffers;
    std::vector<iovec> iov;
    std::vector<sockaddr_in> from;
    std::vector<mmsghdr> msgs;
    in_addr peer{};  // the last sender's address, and as text
    std::string peer_text;

    // Answers given while a batch is delivered, sent together when its last handler returns:
    // one system call instead of one per datagram. At most one per datagram of a batch is
    // held; a handler that answers more sends the ones held first.
    std::size_t current = 0;              // the datagram being delivered
    TIdSocketHandle* replying = nullptr;  // the binding whose answers are held
    std::size_t reply_count = 0;
    std::vector<std::string> replies;
    std::vector<sockaddr_in> reply_to;
    std::vector<iovec> reply_iov;
    std::vector<mmsghdr> reply_msgs;

    // Only while capturing: the destination of each datagram received, the source of each
    // answer held.
    std::vector<char> control;
    std::vector<capture::Endpoint> local;
    std::vector<capture::Endpoint> reply_local;
    // The address an answer leaves from, as the system chooses it for the last peer asked
    // about: a flood comes from one peer.
    in_addr source_peer{};
    std::uint32_t source = 0;
};

TIdUDPServer::TIdUDPServer(QObject* parent) : QObject(parent) {}

TIdUDPServer::~TIdUDPServer() {
    if (session_) Deactivate();
}

TIdSocketHandle& TIdUDPServer::AddBinding(const std::string& ip, std::int32_t port) {
    const auto low = static_cast<std::uint16_t>(port);
    for (auto& b : bindings_) {
        if (b->IP == ip && static_cast<std::uint16_t>(b->Port) == low) return *b;
    }
    auto& b = bindings_.emplace_back(new TIdSocketHandle(turn_, this));
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
        b->capture_ = Capture;
        b->socket_.Watch(std::move(sockets[i]), [session, b, this] { Drain(*session, b); }, {});
        b->socket_.Want(true, false);
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
    session_->stopped = true;
    // Answers to datagrams already delivered still go out.
    SendReplies(*session_);
    for (auto& b : bindings_) {
        b->delivering_ = nullptr;
        b->capture_ = nullptr;
    }
    session_.reset();
    for (auto& b : bindings_) b->socket_.Close();
}

// Runs as the listener's turn: while a handler runs, a nested event loop included, no socket
// of the listener delivers, so datagrams are handled one at a time.
void TIdUDPServer::Drain(Session& s, TIdSocketHandle* binding) {
    if (s.stopped) return;
    // The kernel shortens both lengths to what it filled in.
    const std::size_t controllen = s.recorder != nullptr ? kControlSize : 0;
    for (std::size_t i = 0; i < s.batch; ++i) {
        s.msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        s.msgs[i].msg_hdr.msg_controllen = controllen;
    }
    const int count = recvmmsg(binding->socket_.Get(), s.msgs.data(),
                               static_cast<unsigned>(s.batch), MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (count <= 0) return;  // receive failures are dropped; the socket stays watched
    if (s.recorder != nullptr) Record(s, *binding, static_cast<std::size_t>(count));

    // A handler that replaces OnUDPRead must not destroy the one that is running.
    const auto handler = OnUDPRead;
    const auto failed = OnUDPReadFailed;
    binding->delivering_ = this;
    for (int i = 0; i < count; ++i) {
        const mmsghdr& m = s.msgs[static_cast<std::size_t>(i)];
        // With MSG_TRUNC the length is the whole datagram's, so a longer one is seen and dropped.
        if ((m.msg_hdr.msg_flags & MSG_TRUNC) != 0 || m.msg_len > s.slot) continue;
        const sockaddr_in& peer = s.from[static_cast<std::size_t>(i)];
        // Formatting costs more than the rest of the bookkeeping; a flood comes from one peer.
        if (s.peer_text.empty() || peer.sin_addr.s_addr != s.peer.s_addr) {
            s.peer = peer.sin_addr;
            s.peer_text = ipv4::Format(peer.sin_addr);
        }
        binding->PeerIP = s.peer_text;
        binding->PeerPort = ntohs(peer.sin_port);
        if (!handler) continue;
        s.current = static_cast<std::size_t>(i);
        try {
            handler(
                *this,
                std::string_view(static_cast<const char*>(m.msg_hdr.msg_iov->iov_base), m.msg_len),
                *binding);
        } catch (...) {
            if (failed) failed(std::current_exception());
        }
        // Deactivated (perhaps destroyed) by the handler: nothing else may be touched.
        if (s.stopped) return;
    }
    binding->delivering_ = nullptr;
    SendReplies(s);
}

// Every datagram of a batch as it came, before any handler answers it.
void TIdUDPServer::Record(Session& s, const TIdSocketHandle& binding, std::size_t count) {
    const auto now = capture::Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        mmsghdr& m = s.msgs[i];
        capture::Endpoint& local = s.local[i];
        local = {binding.local_address_, binding.local_port_};
        for (cmsghdr* c = CMSG_FIRSTHDR(&m.msg_hdr); c != nullptr && local.address == 0;
             c = CMSG_NXTHDR(&m.msg_hdr, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                local.address = ntohl(info.ipi_addr.s_addr);
            }
        }
        const std::string_view data(static_cast<const char*>(m.msg_hdr.msg_iov->iov_base),
                                    std::min<std::size_t>(m.msg_len, s.slot));
        const bool cut = (m.msg_hdr.msg_flags & MSG_TRUNC) != 0 || m.msg_len > s.slot;
        s.recorder->Udp(false, local, tap::Endpoint(s.from[i]), data, now,
                        cut ? "longer than the listener's buffer of " + std::to_string(s.slot) +
                                  " bytes: dropped, not delivered"
                            : std::string(),
                        m.msg_len);
    }
}

void TIdUDPServer::QueueReply(TIdSocketHandle& binding, std::string bytes) {
    Session& s = *session_;
    if (s.reply_count == s.batch || (s.reply_count > 0 && s.replying != &binding)) {
        SendReplies(s);
    }
    s.replies[s.reply_count] = std::move(bytes);
    s.reply_to[s.reply_count] = s.from[s.current];
    if (s.recorder != nullptr) {
        capture::Endpoint& from = s.reply_local[s.reply_count];
        from = s.local[s.current];
        if (binding.local_address_ == 0) {
            // A socket on every interface answers from the address the system picks.
            const in_addr peer = s.from[s.current].sin_addr;
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
        s.reply_iov[i].iov_base = s.replies[i].data();
        s.reply_iov[i].iov_len = s.replies[i].size();
        msghdr& h = s.reply_msgs[i].msg_hdr;
        h = msghdr{};
        h.msg_name = &s.reply_to[i];
        h.msg_namelen = sizeof(sockaddr_in);
        h.msg_iov = &s.reply_iov[i];
        h.msg_iovlen = 1;
    }
    // Each answer is tried once, in order; one the socket refuses is dropped and the rest
    // still go.
    std::size_t done = 0;
    while (done < count) {
        const int sent = sendmmsg(s.replying->socket_.Get(), &s.reply_msgs[done],
                                  static_cast<unsigned>(count - done), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            if (s.recorder != nullptr) RecordReplies(s, done, static_cast<std::size_t>(sent));
            done += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else {
            ++done;
        }
    }
}

void TIdUDPServer::RecordReplies(Session& s, std::size_t first, std::size_t count) {
    const auto now = capture::Clock::now();
    for (std::size_t i = first; i < first + count; ++i) {
        s.recorder->Udp(true, s.reply_local[i], tap::Endpoint(s.reply_to[i]), s.replies[i], now);
    }
}

}  // namespace net
