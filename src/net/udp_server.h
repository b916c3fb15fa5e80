#pragma once

#include <QObject>
#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "net/descriptor.h"
#include "net/watched_socket.h"

class QEvent;

namespace capture {
class Recorder;
}

namespace net {

class TIdUDPServer;

// One local address and port of a listener, with its socket while the listener is active.
class TIdSocketHandle {
public:
    TIdSocketHandle(const TIdSocketHandle&) = delete;
    TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

    std::string IP;  // "" = all interfaces
    std::int32_t Port = 0;
    std::string PeerIP;  // sender of the last datagram received
    std::uint16_t PeerPort = 0;

    bool Bound() const;  // holds a bound socket
    // The port the socket is bound to, 0 when unbound; tells which port the system chose
    // for a Port of 0.
    std::uint16_t LocalPort() const;
    // Sends one datagram from this binding's socket. Throws base::Error; SocketError(10038)
    // when the binding holds no socket. A full send buffer is waited out briefly, unless
    // `wait` is false: then the datagram fails at once (SocketError(10035)).
    void SendTo(std::string_view bytes, const std::string& ip, std::uint16_t port,
                bool wait = true);
    // Answers the sender of the datagram being delivered (PeerIP, PeerPort). The answers
    // given while a batch of datagrams is delivered leave together, in the order given,
    // when its last handler returns (one system call for the batch); outside a delivery at
    // once. An answer the socket does not take at once is dropped, as is any failure:
    // nothing is thrown.
    void ReplyToSender(std::string bytes);

private:
    friend class TIdUDPServer;
    TIdSocketHandle() = default;
    Descriptor socket_;
    std::uint16_t local_port_ = 0;          // read once at binding: every datagram asks for it
    std::uint32_t local_address_ = 0;       // the same; 0 for every interface
    TIdUDPServer* delivering_ = nullptr;    // set while a batch of this binding is delivered
    capture::Recorder* capture_ = nullptr;  // the listener's, while active
};

// Receives datagrams on its bindings with a thread of its own, which answers each one at once
// (SetAnswer) and hands it to OnUDPRead on the thread that activated it (the interface
// thread), one at a time, in the order received. At most kMaxQueued datagrams wait for the
// interface thread, and no more are taken once kMaxQueuedBytes of them do; meanwhile the
// listener's thread receives nothing, and what comes waits in the system's buffer as it would
// without a thread.
class TIdUDPServer : public QObject {
    Q_OBJECT

public:
    explicit TIdUDPServer(QObject* parent = nullptr);
    ~TIdUDPServer() override;  // deactivates

    static constexpr int kDefaultPort = 8090;
    static constexpr int kBufferSize = 8192;
    static constexpr std::size_t kMaxQueued = 4096;
    static constexpr std::size_t kMaxQueuedBytes = std::size_t{4} << 20;

    int DefaultPort = kDefaultPort;
    int BufferSize = kBufferSize;  // the largest datagram delivered; longer ones are dropped

    // Called on the interface thread once per datagram, one at a time, after its answer has
    // gone. `data` points into the listener's queue and is valid only during the call. The
    // handler may deactivate or destroy the listener or add bindings; a new OnUDPRead set by the
    // handler applies from the window's next turn with the queue.
    std::function<void(TIdUDPServer& sender, std::string_view data, TIdSocketHandle& binding)>
        OnUDPRead;
    // Gets what OnUDPRead raised, at once, before the next datagram is delivered; the owner
    // decides whether it is shown. It must not throw. Unset, the failure is lost.
    std::function<void(std::exception_ptr failure)> OnUDPReadFailed;
    // Where every datagram received and every one sent is recorded; null: nowhere. Applies
    // from the next activation; must outlive the listener.
    capture::Recorder* Capture = nullptr;

    // Runs on the listener's thread for every datagram it receives, in order, before the
    // datagram is delivered: writes the answer for its sender into `answer` (which holds the
    // last one written, for its capacity) and returns true, or returns false for none.
    // `fromOwnSocket`: the sender is one of the listener's own sockets (see IsOwnAddress). It
    // must not touch anything of the interface thread's. The answers of a batch leave together,
    // in order, each tried once; a failure (thrown or in sending) drops that answer.
    using Answer =
        std::function<bool(std::string_view data, bool fromOwnSocket, std::string& answer)>;
    // Hands the answering function to the listener's thread: it answers every datagram
    // received from then on, this activation's included. Called on the interface thread; an
    // empty function answers nothing.
    void SetAnswer(Answer answer);

    // Appends a binding, unless one with the same IP and (low 16 bits of) Port is already
    // listed; returns the listed one. References stay valid for the listener's lifetime.
    TIdSocketHandle& AddBinding(const std::string& ip, std::int32_t port);
    std::size_t BindingCount() const;
    TIdSocketHandle& Binding(std::size_t i);

    // Whether a datagram from this address and port came from one of the listener's own
    // sockets (the same port, on an address of this host that the binding covers).
    bool IsOwnAddress(const std::string& ip, std::uint16_t port) const;

    // Hands to OnUDPRead now, before returning, every datagram that has reached the listener's
    // sockets: waits (at most kSettleMs) for its thread to take in what waits there. Does
    // nothing inside a handler or while inactive.
    static constexpr int kSettleMs = 100;
    void Settle();

    bool Active() const;
    // Activation binds every binding in list order and stops at the first failure, leaving
    // the listener inactive with every socket closed again and no thread (throws base::Error).
    // Deactivation ends the thread and closes every socket; no datagram is delivered after it
    // returns, and those queued and not yet delivered are dropped (their answers have gone).
    // Setting the current value does nothing.
    void SetActive(bool active);

protected:
    void customEvent(QEvent* e) override;

private:
    friend class TIdSocketHandle;
    struct Batch;
    struct Inbox;
    struct Session;
    class Receiver;

    void Activate();
    std::vector<Descriptor> BindAll() const;
    void Deactivate();
    void Deliver();
    bool DeliverAll(Session& s, Inbox& in);
    void EndRun(Session& s, TIdSocketHandle* binding);
    void RecordReplies(Session& s, std::size_t first, std::size_t count);
    void QueueReply(TIdSocketHandle& binding, std::string bytes);
    void SendReplies(Session& s);

    HandlerTurn turn_;
    QTimer drainTimer_;  // during a flood the window takes what came once per tick
    std::vector<std::unique_ptr<TIdSocketHandle>> bindings_;
    std::shared_ptr<Session> session_;  // set while active
    std::mutex answerMutex_;            // guards answer_, which the thread reads per batch
    std::shared_ptr<const Answer> answer_;
};

}  // namespace net
