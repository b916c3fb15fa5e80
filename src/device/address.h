#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// IPv4 addresses as host-order numbers, the way the ranges count them.
namespace device {

using Ipv4 = std::uint32_t;

// Exactly four decimal parts, 0 to 255, digits only ("010" is ten).
std::optional<Ipv4> ParseDotted(std::string_view text);

std::string FormatDotted(Ipv4 address);

// The addresses a scan asks, in order. "A.B.C.D/NN" (NN from 16 to 32) gives the host
// addresses of that network: without its network and broadcast addresses below /31, and with
// the broadcast address last when `withBroadcast`. "FIRST-LAST" gives every address between,
// both included, at most a /16's worth. Throws base::Error saying what is wrong.
std::vector<Ipv4> ParseRange(std::string_view text, bool withBroadcast);

}  // namespace device
