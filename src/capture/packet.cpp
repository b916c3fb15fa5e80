#include "capture/packet.h"

#include <cstring>

namespace capture::packet {

namespace {

constexpr std::uint8_t kProtocolTcp = 6;
constexpr std::uint8_t kProtocolUdp = 17;

// The ones' complement sum of big-endian 16-bit words, not yet folded or inverted.
std::uint64_t Sum(std::string_view bytes, std::uint64_t sum = 0) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    for (; n >= 2; p += 2, n -= 2) sum += static_cast<std::uint32_t>(p[0] << 8 | p[1]);
    if (n == 1) sum += static_cast<std::uint32_t>(p[0] << 8);
    return sum;
}

std::uint16_t Fold(std::uint64_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

void Put16(char* at, std::uint16_t v) {
    at[0] = static_cast<char>(v >> 8);
    at[1] = static_cast<char>(v & 0xFF);
}

void Put32(char* at, std::uint32_t v) {
    Put16(at, static_cast<std::uint16_t>(v >> 16));
    Put16(at + 2, static_cast<std::uint16_t>(v & 0xFFFF));
}

// The IPv4 header at `at`, for a packet of `total` bytes.
void PutIp(char* at, Endpoint from, Endpoint to, std::uint8_t protocol, std::size_t total) {
    std::memset(at, 0, kIpHeader);
    at[0] = 0x45;  // version 4, five words
    Put16(at + 2, static_cast<std::uint16_t>(total));
    Put16(at + 6, 0x4000);  // don't fragment
    at[8] = 64;
    at[9] = static_cast<char>(protocol);
    Put32(at + 12, from.address);
    Put32(at + 16, to.address);
    Put16(at + 10, Fold(Sum(std::string_view(at, kIpHeader))));
}

std::uint64_t PseudoHeader(Endpoint from, Endpoint to, std::uint8_t protocol, std::size_t length) {
    return std::uint64_t{from.address >> 16} + (from.address & 0xFFFF) + (to.address >> 16) +
           (to.address & 0xFFFF) + protocol + length;
}

}  // namespace

void AppendUdp(std::string& out, Endpoint from, Endpoint to, std::string_view payload,
               std::size_t length) {
    const std::size_t start = out.size();
    out.resize(start + kIpHeader + kUdpHeader);
    char* ip = out.data() + start;
    const std::size_t udp_length = kUdpHeader + length;
    PutIp(ip, from, to, kProtocolUdp, kIpHeader + udp_length);
    char* udp = ip + kIpHeader;
    Put16(udp, from.port);
    Put16(udp + 2, to.port);
    Put16(udp + 4, static_cast<std::uint16_t>(udp_length));
    Put16(udp + 6, 0);
    if (payload.size() == length) {
        std::uint16_t sum =
            Fold(Sum(payload, Sum(std::string_view(udp, kUdpHeader),
                                  PseudoHeader(from, to, kProtocolUdp, udp_length))));
        Put16(udp + 6, sum == 0 ? 0xFFFF : sum);
    }  // else: a datagram kept only in part has no checksum (0), which is allowed for UDP
    out.append(payload);
}

void AppendTcp(std::string& out, Endpoint from, Endpoint to, const TcpSegment& segment) {
    const std::size_t start = out.size();
    out.resize(start + kIpHeader + kTcpHeader);
    char* ip = out.data() + start;
    const std::size_t tcp_length = kTcpHeader + segment.payload.size();
    PutIp(ip, from, to, kProtocolTcp, kIpHeader + tcp_length);
    char* tcp = ip + kIpHeader;
    Put16(tcp, from.port);
    Put16(tcp + 2, to.port);
    Put32(tcp + 4, segment.seq);
    Put32(tcp + 8, segment.ack);
    tcp[12] = 0x50;  // five words, no options
    tcp[13] = static_cast<char>(segment.flags);
    Put16(tcp + 14, 0xFFFF);  // window
    Put16(tcp + 16, 0);
    Put16(tcp + 18, 0);
    Put16(tcp + 16,
          Fold(Sum(segment.payload, Sum(std::string_view(tcp, kTcpHeader),
                                        PseudoHeader(from, to, kProtocolTcp, tcp_length)))));
    out.append(segment.payload);
}

}  // namespace capture::packet
