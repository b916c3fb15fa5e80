#pragma once

#include <QObject>

#include <cstdint>
#include <string>
#include <string_view>

#include "net/descriptor.h"

namespace capture {
class Recorder;
}

namespace net {

// Sends single datagrams to one destination. Its socket is never bound: the system gives it a
// local port at the first send, and a new socket may get another one.
class TIdUDPClient : public QObject {
    Q_OBJECT

public:
    explicit TIdUDPClient(QObject* parent = nullptr);

    std::string Host;       // destination host name or dotted address
    std::int32_t Port = 0;  // low 16 bits on the wire
    static constexpr int kBufferSize = 8192;

    int BufferSize = kBufferSize;   // kept for display; sending does not use it
    bool BroadcastEnabled = false;  // applied when the socket is created
    // Where each datagram sent is recorded; null: nowhere. Must outlive the client.
    capture::Recorder* Capture = nullptr;

    bool Active() const;
    // true: create the socket (never bound); false: close it.
    void SetActive(bool active);
    // Resolves Host, creates the socket if needed and sends the bytes as one datagram to
    // Host and the low 16 bits of Port. Throws base::Error.
    void Send(std::string_view bytes);

private:
    void Open();

    Descriptor fd_;
};

}  // namespace net
