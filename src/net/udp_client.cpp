#include "net/udp_client.h"

#include <sys/socket.h>

#include <cerrno>

#include "net/ipv4.h"
#include "net/socket_error.h"

namespace net {

TIdUDPClient::TIdUDPClient(QObject* parent) : QObject(parent) {}

TIdUDPClient::~TIdUDPClient() {
    ipv4::CloseSocket(fd_);
}

bool TIdUDPClient::Active() const {
    return fd_ >= 0;
}

void TIdUDPClient::SetActive(bool active) {
    if (active) {
        if (fd_ < 0) Open();
    } else {
        ipv4::CloseSocket(fd_);
    }
}

void TIdUDPClient::Open() {
    int fd = ipv4::OpenDatagramSocket(false);
    const int broadcast = BroadcastEnabled ? 1 : 0;
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &broadcast, sizeof broadcast) != 0) {
        const int err = errno;
        ipv4::CloseSocket(fd);
        throw SocketError(WsaFromErrno(err));
    }
    fd_ = fd;
}

void TIdUDPClient::Send(std::string_view bytes) {
    // The destination is resolved first: a failed lookup leaves no socket behind.
    const in_addr to = ipv4::Resolve(Host);
    if (fd_ < 0) Open();
    ipv4::SendDatagram(fd_, bytes, to, static_cast<std::uint16_t>(Port));
}

}  // namespace net
