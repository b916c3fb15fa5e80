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

class QSocketNotifier;

namespace net {

enum TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };
enum TClientType { ctNonBlocking };

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

using HostResolver = std::function<LookupResult(const std::string& host)>;

// Lookups of clients opened from now on go through `resolver`, on a worker thread; an empty
// one brings back the system's.
void SetHostResolver(HostResolver resolver);

// A non-blocking TCP client. Its lookup runs on a worker thread; everything else, every event
// included, runs on the thread that owns it, one notification at a time. While an event of
// this client runs (a message box's loop included), its further notifications wait.
class TClientSocket : public QObject {
    Q_OBJECT

public:
    explicit TClientSocket(QObject* owner = nullptr);
    // Ends the connection and abandons a lookup or connect in progress; runs no event.
    ~TClientSocket() override;

    std::string Host;       // a host name or a dotted address
    std::int32_t Port = 0;  // low 16 bits on the wire
    TClientType ClientType = ctNonBlocking;

    TSocketNotifyEvent OnConnect, OnDisconnect, OnRead;
    TSocketErrorEvent OnError;
    // Gets what an event raised during a notification, and the failures no error event
    // declared handled; the owner decides how they are shown. Must not throw.
    std::function<void(std::exception_ptr failure)> OnEventFailed;

    // From the connect event to the disconnect event.
    bool Active() const { return active_; }
    // Starts looking up Host and connecting; returns at once. An attempt in progress is
    // abandoned for the new one; a connected client stays as it is. Throws when no socket can
    // be had or the system refuses a connect at once (the disconnect event has run then).
    void Open();
    // Ends a connection: the disconnect event runs while the peer is still known, then the
    // socket closes. Does nothing unless connected.
    void Close();
    TCustomWinSocket& Socket() { return socket_; }
    const TCustomWinSocket& Socket() const { return socket_; }

private:
    friend class TCustomWinSocket;
    enum class State { Idle, LookingUp, Connecting, Connected };
    struct Lookup;

    void StartConnect(in_addr address);
    void LookupDone(const std::shared_ptr<Lookup>& lookup, const LookupResult& result);
    void OnReadable();
    void OnWritable();
    int Send(std::string_view text);
    std::string Receive();
    std::size_t Flush();  // sends what waits, as far as the socket takes it; returns the bytes sent
    template <class F>
    void Notified(F&& step);
    void UpdateNotifiers();
    bool RunEvent(const TSocketNotifyEvent& event);
    bool RunErrorEvent(TErrorEvent kind, int* code);
    bool EndConnection();
    void CallFailed(TErrorEvent kind, int err, const char* api);
    void Reset();
    void AbandonLookup();

    TCustomWinSocket socket_{*this};
    State state_ = State::Idle;
    bool active_ = false;
    bool ending_ = false;  // the disconnect event of an ending connection runs
    bool dead_ = false;    // a reset was reported: no more read notifications
    int held_ = 0;         // notifications wait while an event of this client runs
    Descriptor fd_;
    QSocketNotifier* read_ = nullptr;  // children; disabled before fd_ closes
    QSocketNotifier* write_ = nullptr;
    sockaddr_in peer_{};
    std::string remote_;
    std::string unsent_;  // from unsent_at_ on
    std::size_t unsent_at_ = 0;
    std::shared_ptr<Lookup> lookup_;
    std::shared_ptr<const LookupResult> deferred_;  // came while notifications waited
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace net
