#pragma once

// Helpers shared by the socket classes; not used outside src/net.

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/descriptor.h"

namespace net::ipv4 {

// Four decimal parts, each 0..255, digits only; leading zeros keep the part decimal.
bool ParseDotted(std::string_view text, in_addr* addr);

// Dotted decimal of an address in network order.
std::string Format(in_addr addr);

// Every IPv4 address of a host name, in resolver order, one per address.
// Throws SocketError(11001) for a name that does not exist, SocketError(11004) otherwise.
std::vector<in_addr> Lookup(const std::string& name);
// The same without throwing: 0, or the Windows Sockets number Lookup would throw.
int TryLookup(const std::string& name, std::vector<in_addr>* addresses);

// "LOCALHOST" in any case -> 127.0.0.1, a dotted address as it is, else the first looked-up one.
in_addr Resolve(const std::string& host);

// A datagram socket (close-on-exec); throws "Cannot allocate socket." when none can be had,
// SocketError(10024) when it would take one of the descriptors kept in reserve.
Descriptor OpenDatagramSocket(bool non_blocking);

// How long a send waits out a full send buffer before it fails.
inline constexpr int kSendWaitMs = 1000;

// Sends one datagram; throws the send failures of the endpoints. A full send buffer is waited
// out for up to `writableWaitMs`; with 0 the datagram fails at once (SocketError 10035).
void SendDatagram(int fd, std::string_view bytes, in_addr addr, std::uint16_t port,
                  int writableWaitMs = kSendWaitMs);

// Whether the address is one of this host's own (it can be bound to).
bool IsLocalAddress(in_addr addr);

}  // namespace net::ipv4
