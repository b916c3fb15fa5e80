#include "capture/pcapng.h"

#include <algorithm>

namespace capture::pcapng {

namespace {

void Put16(std::string& out, std::uint16_t v) {
    const char b[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
    out.append(b, 2);
}

void Store32(char* at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

void Put32(std::string& out, std::uint32_t v) {
    out.append(4, '\0');
    Store32(out.data() + out.size() - 4, v);
}

void PutPadded(std::string& out, std::string_view bytes) {
    out.append(bytes);
    out.append(Padded(bytes.size()) - bytes.size(), '\0');
}

void PutOption(std::string& out, std::uint16_t code, std::string_view value) {
    if (value.empty()) return;
    Put16(out, code);
    Put16(out, static_cast<std::uint16_t>(value.size()));
    PutPadded(out, value);
}

// Options hold at most 65535 bytes; a longer text is cut, never the block broken.
std::string_view Fit(std::string_view value) {
    return value.substr(0, 0xFFFF);
}

// Starts a block; Finish fills in its length at both ends.
std::size_t Begin(std::string& out, std::uint32_t type) {
    const std::size_t start = out.size();
    Put32(out, type);
    Put32(out, 0);
    return start;
}

void Finish(std::string& out, std::size_t start) {
    const auto length = static_cast<std::uint32_t>(out.size() - start + 4);
    Put32(out, length);
    Store32(out.data() + start + 4, length);
}

}  // namespace

void AppendSectionHeader(std::string& out, const Section& section) {
    const std::size_t start = Begin(out, kSectionHeader);
    Put32(out, kByteOrderMagic);
    Put16(out, 1);  // version 1.0
    Put16(out, 0);
    Put32(out, 0xFFFFFFFF);  // section length not given
    Put32(out, 0xFFFFFFFF);
    PutOption(out, kComment, Fit(section.comment));
    PutOption(out, kShbHardware, Fit(section.hardware));
    PutOption(out, kShbOs, Fit(section.os));
    PutOption(out, kShbUserAppl, Fit(section.application));
    Put32(out, kEndOfOptions);
    Finish(out, start);
}

void AppendInterface(std::string& out, std::string_view name) {
    const std::size_t start = Begin(out, kInterfaceDescription);
    Put16(out, kLinkTypeRaw);
    Put16(out, 0);
    Put32(out, 0);  // no snapshot limit
    PutOption(out, kIfName, Fit(name));
    PutOption(out, kIfTsresol, std::string_view("\x06", 1));
    Put32(out, kEndOfOptions);
    Finish(out, start);
}

std::size_t PacketBlockLength(std::size_t data_length, std::size_t comment_length, bool direction) {
    const std::size_t comment = std::min<std::size_t>(comment_length, 0xFFFF);
    return 28 + Padded(data_length) + (comment > 0 ? 4 + Padded(comment) : 0) +
           (direction ? 8 : 0) + 4 + 4;
}

void AppendPacket(std::string& out, const Packet& packet) {
    out.reserve(out.size() + PacketBlockLength(packet.data.size(), packet.comment.size(),
                                               packet.direction != 0));
    const std::size_t start = Begin(out, kEnhancedPacket);
    Put32(out, 0);  // the one interface
    Put32(out, static_cast<std::uint32_t>(packet.micros >> 32));
    Put32(out, static_cast<std::uint32_t>(packet.micros & 0xFFFFFFFF));
    const auto captured = static_cast<std::uint32_t>(packet.data.size());
    Put32(out, captured);
    Put32(out, packet.original_length != 0 ? packet.original_length : captured);
    PutPadded(out, packet.data);
    PutOption(out, kComment, Fit(packet.comment));
    if (packet.direction != 0) {
        Put16(out, kEpbFlags);
        Put16(out, 4);
        Put32(out, packet.direction);
    }
    Put32(out, kEndOfOptions);
    Finish(out, start);
}

void AppendFiller(std::string& out, std::size_t length) {
    const std::size_t start = Begin(out, kFiller);
    out.append(length - kSmallestBlock, '\0');
    Finish(out, start);
}

std::size_t BlockLengthAt(std::string_view blocks, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(blocks[at + 4 + i]);
    return v;
}

}  // namespace capture::pcapng
