#pragma once

#include <QObject>

#include <netinet/in.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/async_lookup.h"
#include "net/descriptor.h"
#include "net/watched_socket.h"

namespace capture {
class Recorder;
class TcpStream;
}  // namespace capture

namespace net {

enum TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };

class TClientSocket;

// The connection of a client, as its event handlers see it.
class TCustomWinSocket {
public:
    bool Connected() const;
    // The peer's dotted address while connected, "" otherwise.
    std::string RemoteAddress() const;
    // Sends the bytes when connected and returns how many the system took at once; the rest is
    // kept and sent in order as the socket can take it. Not connected: sends nothing, reports
    // nothing. A failing send runs the error event (eeSend) and ends the connection; throws
    // "Windows socket error ... 'send'" unless the handler cleared the code.
    int SendText(std::string_view text);
    // What has arrived, at most kReceiveLimit bytes; the rest comes with the next read event.
    // A failing receive is handled like a failing send (eeReceive, 'recv') and gives "".
    std::string ReceiveText();

    static constexpr std::size_t kReceiveLimit = 64 * 1024;

private:
    friend class TClientSocket;
    explicit TCustomWinSocket(TClientSocket& client) : client_(client) {}
    TClientSocket& client_;
};

using TSocketNotifyEvent = std::function<void(TClientSocket& sender, TCustomWinSocket& socket)>;
// Setting errorCode to 0 declares the failure handled.
using TSocketErrorEvent = std::function<void(TClientSocket& sender, TCustomWinSocket& socket,
                                             TErrorEvent errorEvent, int& errorCode)>;

// A non-blocking TCP client. Its lookup runs through the AsyncLookup it was given, which must
// outlive it; everything else, every event included, runs on the thread that owns it, one
// notification at a time. While an event of this client runs (a message box's loop included),
// its further notifications wait.
class TClientSocket : public QObject {
    Q_OBJECT

public:
    TClientSocket(AsyncLookup& lookup, QObject* owner = nullptr);
    // Ends the connection and abandons a lookup or connect in progress; runs no event.
    ~TClientSocket() override;

    std::string Host;       // a host name or a dotted address
    std::int32_t Port = 0;  // low 16 bits on the wire

    TSocketNotifyEvent OnConnect, OnDisconnect, OnRead;
    TSocketErrorEvent OnError;
    // Gets what an event raised during a notification, and the failures no error event
    // declared handled; the owner decides how they are shown. Must not throw.
    std::function<void(std::exception_ptr failure)> OnEventFailed;
    // Where each connection is recorded, from its handshake to its end, with every payload
    // each way; null: nowhere. Applies from the next connection; must outlive the client.
    capture::Recorder* Capture = nullptr;

    // Bytes a client keeps beyond what the system holds; a send that would pass it is refused.
    static constexpr std::size_t kMaxUnsent = std::size_t{16} << 20;

    // From the connect event to the disconnect event.
    bool Active() const { return state_ == State::Connected || state_ == State::Broken; }
    // Starts looking up Host and connecting; returns at once, and the outcome comes as events.
    // An attempt in progress is abandoned for the new one; a connected client stays as it is.
    // Throws "Can't create new socket" when the system gives no socket. A socket that would
    // take one of the descriptors kept in reserve (10024), and a connect the system refuses at
    // once, fail later as a failed lookup does: the error event, then the disconnect event.
    void Open();
    // Ends a connection: the disconnect event runs while the peer is still known, then the
    // socket closes. Does nothing unless connected.
    void Close();
    TCustomWinSocket& Socket() { return socket_; }
    const TCustomWinSocket& Socket() const { return socket_; }

private:
    friend class TCustomWinSocket;
    enum class State {
        Idle,
        Opening,  // looking up, or about to report a failure found at once
        Connecting,
        Connected,
        Broken,   // connected, a reset reported: no more reads until closed
        Ending,   // the disconnect event of a connection runs; the peer is still known
        Failing,  // the disconnect event after an attempt that never connected runs
    };

    void Enter(State next);  // every change of state_ goes through here
    void UpdateWants();
    void StartConnect(in_addr address);
    void Deliver(std::function<void()> step);
    void PostFailure(TErrorEvent kind, int code, const char* api);
    void Failed(TErrorEvent kind, int code, const char* api);
    void LookupDone(const LookupResult& result);
    void OnReadable();
    void OnWritable();
    int Send(std::string_view text);
    std::string Receive();
    std::size_t Flush();  // sends what waits, as far as the socket takes it; returns the bytes sent
    void Notified(const std::function<void()>& step);  // a step straight from the event loop
    bool RunEvent(const TSocketNotifyEvent& event);
    bool RunErrorEvent(TErrorEvent kind, int* code);
    bool EndConnection();
    void CallFailed(TErrorEvent kind, int err, const char* api);
    void EndStream(bool by_peer, bool reset);

    TCustomWinSocket socket_{*this};
    State state_ = State::Idle;
    HandlerTurn turn_;
    WatchedSocket conn_{turn_, this};
    sockaddr_in peer_{};
    std::string remote_;
    std::string unsent_;  // from unsent_at_ on
    std::size_t unsent_at_ = 0;
    AsyncLookup& lookups_;
    LookupTicket lookup_;
    unsigned attempt_ = 0;            // a result posted for an earlier attempt finds it changed
    std::function<void()> deferred_;  // came while a turn ran
    std::unique_ptr<capture::TcpStream> stream_;  // the connection's record, while capturing
};

}  // namespace net
