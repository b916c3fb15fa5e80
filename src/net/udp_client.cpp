#include "net/udp_client.h"

#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include "net/capture_tap.h"
#include "net/ipv4.h"
#include "net/socket_error.h"

namespace net {

TIdUDPClient::TIdUDPClient(QObject* parent) : QObject(parent) {}

bool TIdUDPClient::Active() const {
    return fd_.Valid();
}

void TIdUDPClient::SetActive(bool active) {
    if (active) {
        if (!fd_.Valid()) Open();
    } else {
        fd_.Close();
    }
}

void TIdUDPClient::Open() {
    Descriptor fd = ipv4::OpenDatagramSocket(false);
    const int broadcast = BroadcastEnabled ? 1 : 0;
    if (setsockopt(fd.Get(), SOL_SOCKET, SO_BROADCAST, &broadcast, sizeof broadcast) != 0) {
        throw SocketError(WsaFromErrno(errno));
    }
    fd_ = std::move(fd);
}

void TIdUDPClient::Send(std::string_view bytes) {
    // The destination is resolved first: a failed lookup leaves no socket behind.
    const in_addr to = ipv4::Resolve(Host);
    if (!fd_.Valid()) Open();
    const auto port = static_cast<std::uint16_t>(Port);
    ipv4::SendDatagram(fd_.Get(), bytes, to, port);
    tap::Sent(Capture, fd_.Get(), to, port, bytes);
}

}  // namespace net
