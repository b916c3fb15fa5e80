#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Texts the simulator reads and writes, kept apart from the program's own helpers on purpose.
namespace devsim {

using Quad = std::array<std::uint8_t, 4>;  // an IPv4 address, most significant byte first

std::string Hex(unsigned value);     // upper case, no leading zeros
std::string Dotted(const Quad& q);   // "192.168.1.1"
std::string HexQuad(const Quad& q);  // "C0.A8.1.1"
std::string Address(const in_addr& a);
std::string Endpoint(const sockaddr_in& a);

// Received bytes in quotes, escaped so that one datagram stays on one line whatever it holds.
std::string Escaped(std::string_view bytes);
// The same, for at most the first kilobyte; the rest is counted.
std::string Shown(std::string_view bytes);

std::vector<std::string_view> Split(std::string_view text, char sep);

// Digits only: no sign, blank or prefix. Saturates, so an overlong number is merely too large.
std::optional<unsigned> Number(std::string_view text, unsigned base);

bool HasControlByte(std::string_view text);

std::optional<Quad> ParseDotted(std::string_view text);
std::optional<unsigned> ParseDecimalPort(std::string_view text, unsigned min);

}  // namespace devsim
