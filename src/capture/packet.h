#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// IPv4 packets around payloads the program sent or received, as a capture on the wire would
// show them. Checksums are computed, so that a reader that checks them finds them right.
namespace capture::packet {

struct Endpoint {
    std::uint32_t address = 0;  // host byte order
    std::uint16_t port = 0;
};

constexpr std::size_t kIpHeader = 20;
constexpr std::size_t kUdpHeader = 8;
constexpr std::size_t kTcpHeader = 20;
// The most payload one IPv4 packet with a TCP header carries.
constexpr std::size_t kMaxTcpPayload = 0xFFFF - kIpHeader - kTcpHeader;

namespace tcp {
constexpr std::uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10;
}

// Appends the IPv4 and UDP headers of a datagram of `length` bytes whose first bytes are
// `payload` (all of it, unless the capture keeps only its start); then the payload.
void AppendUdp(std::string& out, Endpoint from, Endpoint to, std::string_view payload,
               std::size_t length);

struct TcpSegment {
    std::uint32_t seq = 0, ack = 0;
    std::uint8_t flags = 0;
    std::string_view payload;  // at most kMaxTcpPayload bytes
};

void AppendTcp(std::string& out, Endpoint from, Endpoint to, const TcpSegment& segment);

}  // namespace capture::packet
