#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The pcapng blocks a capture file is made of, appended to a byte string. Little-endian, as
// the machines this runs on; readers take either order from the section header.
namespace capture::pcapng {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescription = 0x00000001;
constexpr std::uint32_t kEnhancedPacket = 0x00000006;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint16_t kLinkTypeRaw = 101;  // the packet starts with its IPv4 header
// A block type for local use, which readers skip: fills the rest of a page of the file.
constexpr std::uint32_t kFiller = 0x80000001;
constexpr std::size_t kSmallestBlock = 12;  // type and length twice

// Option codes.
constexpr std::uint16_t kEndOfOptions = 0;
constexpr std::uint16_t kComment = 1;
constexpr std::uint16_t kShbHardware = 2;
constexpr std::uint16_t kShbOs = 3;
constexpr std::uint16_t kShbUserAppl = 4;
constexpr std::uint16_t kIfName = 2;
constexpr std::uint16_t kIfTsresol = 9;
constexpr std::uint16_t kEpbFlags = 2;

// Direction in the packet flags option.
constexpr std::uint32_t kInbound = 1;
constexpr std::uint32_t kOutbound = 2;

// Room taken by a value padded to 32 bits.
constexpr std::size_t Padded(std::size_t n) {
    return (n + 3) & ~std::size_t{3};
}

struct Section {
    std::string_view hardware, os, application, comment;  // an empty one is left out
};

void AppendSectionHeader(std::string& out, const Section& section);
// One interface: raw IPv4, no snapshot limit, microsecond times.
void AppendInterface(std::string& out, std::string_view name);

struct Packet {
    std::uint64_t micros = 0;           // since 1970-01-01 UTC
    std::string_view data;              // what was captured: all of the packet, or its start
    std::uint32_t original_length = 0;  // the whole packet's length; 0: data's
    std::uint32_t direction = 0;        // kInbound, kOutbound or 0 (not said)
    std::string_view comment;
};

// The length AppendPacket adds, so that a limit can be checked before writing.
std::size_t PacketBlockLength(std::size_t data_length, std::size_t comment_length, bool direction);
void AppendPacket(std::string& out, const Packet& packet);
// A block of `length` bytes (at least kSmallestBlock, a multiple of 4) that says nothing.
void AppendFiller(std::string& out, std::size_t length);
// The length of the block that starts at `at`, as its header gives it.
std::size_t BlockLengthAt(std::string_view blocks, std::size_t at);

}  // namespace capture::pcapng
