#pragma once

#include <string>
#include <string_view>

namespace app {

// The listener answers every datagram with an echo reply, except where answering could go on
// without end: an echo reply (a peer's, however it was altered on the way) and a datagram from
// one of the listener's own sockets (one forged sender address is enough for that).

// Whether a datagram is an echo reply: it begins with "Replied from ", whatever follows.
bool IsEchoReply(std::string_view datagram);

// Whether the listener answers the datagram; `fromOwnSocket` says that its sender is one of
// the listener's own sockets.
bool AnswersDatagram(std::string_view datagram, bool fromOwnSocket);

// "Replied from <host name> to "<datagram>"", byte for byte, without a terminator.
std::string EchoReply(std::string_view hostName, std::string_view datagram);
// The same into `reply`, replacing what it held and keeping its capacity: a flood answered
// this way allocates nothing per datagram.
void EchoReplyInto(std::string& reply, std::string_view hostName, std::string_view datagram);

}  // namespace app
