// The block layout of the capture files, byte for byte, and the checksums of the packets.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "capture/packet.h"
#include "capture/pcapng.h"

namespace {

using namespace capture;

std::uint32_t Le32(const std::string& b, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

std::uint16_t Le16(const std::string& b, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                      static_cast<unsigned char>(b[at + 1]) << 8);
}

struct Option {
    std::uint16_t code;
    std::string value;
};

// The options from `at` to the block's trailing length; fails the test on a malformed list.
std::vector<Option> Options(const std::string& block, std::size_t at) {
    std::vector<Option> options;
    const std::size_t end = block.size() - 4;
    while (at < end) {
        const std::uint16_t code = Le16(block, at);
        const std::uint16_t length = Le16(block, at + 2);
        if (code == pcapng::kEndOfOptions) {
            EXPECT_EQ(length, 0);
            EXPECT_EQ(at + 4, end) << "bytes after the end of the options";
            return options;
        }
        const std::size_t padded = (length + 3u) & ~3u;
        EXPECT_LE(at + 4 + padded, end);
        if (at + 4 + padded > end) return options;
        options.push_back({code, block.substr(at + 4, length)});
        for (std::size_t i = at + 4 + length; i < at + 4 + padded; ++i) {
            EXPECT_EQ(block[i], '\0') << "padding at " << i;
        }
        at += 4 + padded;
    }
    ADD_FAILURE() << "no end of options";
    return options;
}

void ExpectFramed(const std::string& block, std::uint32_t type) {
    ASSERT_GE(block.size(), 12u);
    EXPECT_EQ(block.size() % 4, 0u);
    EXPECT_EQ(Le32(block, 0), type);
    EXPECT_EQ(Le32(block, 4), block.size());
    EXPECT_EQ(Le32(block, block.size() - 4), block.size());
}

struct SectionRow {
    const char* name;
    pcapng::Section section;
    std::size_t length;
    std::vector<Option> options;
};

const SectionRow kSections[] = {
    {"none", {}, 32, {}},
    {"each_length_mod_4",
     {"x86_64", "Linux", "orvan 1.9.1", "on host"},
     // 28 + (4+8) + (4+8) + (4+8) + (4+12) + 4 end
     28 + 12 + 12 + 12 + 16 + 4,
     {{1, "on host"}, {2, "x86_64"}, {3, "Linux"}, {4, "orvan 1.9.1"}}},
    {"aligned_values", {"abcd", "", "", ""}, 28 + 8 + 4, {{2, "abcd"}}},
};

void PrintTo(const SectionRow& row, std::ostream* os) {
    *os << row.name;
}

class CaptureSectionTest : public ::testing::TestWithParam<SectionRow> {};

TEST_P(CaptureSectionTest, Layout) {
    const SectionRow& row = GetParam();
    std::string out = "prefix";  // appended after what is there
    pcapng::AppendSectionHeader(out, row.section);
    ASSERT_EQ(out.substr(0, 6), "prefix");
    const std::string block = out.substr(6);
    ExpectFramed(block, pcapng::kSectionHeader);
    EXPECT_EQ(block.size(), row.length);
    EXPECT_EQ(Le32(block, 8), pcapng::kByteOrderMagic);
    EXPECT_EQ(Le16(block, 12), 1);
    EXPECT_EQ(Le16(block, 14), 0);
    EXPECT_EQ(block.substr(16, 8), std::string(8, '\xFF'));  // length not given
    if (row.options.empty()) {
        EXPECT_EQ(block.size(), 32u);  // the end marker alone
        return;
    }
    const auto options = Options(block, 24);
    ASSERT_EQ(options.size(), row.options.size());
    for (std::size_t i = 0; i < options.size(); ++i) {
        EXPECT_EQ(options[i].code, row.options[i].code) << i;
        EXPECT_EQ(options[i].value, row.options[i].value) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, CaptureSectionTest, ::testing::ValuesIn(kSections),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CaptureInterfaceTest, RawIpWithMicroseconds) {
    std::string block;
    pcapng::AppendInterface(block, "orvan");
    ExpectFramed(block, pcapng::kInterfaceDescription);
    EXPECT_EQ(Le16(block, 8), 101);  // LINKTYPE_RAW
    EXPECT_EQ(Le16(block, 10), 0);
    EXPECT_EQ(Le32(block, 12), 0u);  // no snapshot limit
    const auto options = Options(block, 16);
    ASSERT_EQ(options.size(), 2u);
    EXPECT_EQ(options[0].code, pcapng::kIfName);
    EXPECT_EQ(options[0].value, "orvan");
    EXPECT_EQ(options[1].code, pcapng::kIfTsresol);
    EXPECT_EQ(options[1].value, std::string(1, '\x06'));
    EXPECT_EQ(block.size(), 16u + 12 + 8 + 4 + 4);
}

struct PacketRow {
    const char* name;
    std::string data;
    std::uint32_t original;
    std::uint32_t direction;
    std::string comment;
    std::size_t length;
};

const PacketRow kPackets[] = {
    {"empty", "", 0, 0, "", 28 + 4 + 4},
    {"one_byte", "a", 0, 0, "", 28 + 4 + 8},
    {"three", "abc", 0, pcapng::kInbound, "", 28 + 4 + 8 + 8},
    {"four", "abcd", 0, pcapng::kOutbound, "", 28 + 4 + 8 + 8},
    {"five_with_comment", "abcde", 0, pcapng::kOutbound, "refused", 28 + 8 + 12 + 8 + 8},
    {"truncated", "headers", 9000, pcapng::kInbound, "too long", 28 + 8 + 12 + 8 + 8},
    {"binary", std::string("\0\xFF\x80", 3), 0, pcapng::kInbound, "", 28 + 4 + 8 + 8},
};

void PrintTo(const PacketRow& row, std::ostream* os) {
    *os << row.name;
}

class CapturePacketTest : public ::testing::TestWithParam<PacketRow> {};

TEST_P(CapturePacketTest, Layout) {
    const PacketRow& row = GetParam();
    const std::uint64_t micros = 0x0006'2F00'1234'5678;  // both halves of the stamp in use
    std::string block;
    pcapng::AppendPacket(block, {micros, row.data, row.original, row.direction, row.comment});
    ExpectFramed(block, pcapng::kEnhancedPacket);
    EXPECT_EQ(block.size(), row.length);
    EXPECT_EQ(pcapng::PacketBlockLength(row.data.size(), row.comment.size(), row.direction != 0),
              row.length);
    EXPECT_EQ(Le32(block, 8), 0u);  // interface
    EXPECT_EQ(Le32(block, 12), 0x0006'2F00u);
    EXPECT_EQ(Le32(block, 16), 0x1234'5678u);
    EXPECT_EQ(Le32(block, 20), row.data.size());
    EXPECT_EQ(Le32(block, 24), row.original != 0 ? row.original : row.data.size());
    EXPECT_EQ(block.substr(28, row.data.size()), row.data);
    const std::size_t padded = pcapng::Padded(row.data.size());
    EXPECT_EQ(block.substr(28 + row.data.size(), padded - row.data.size()),
              std::string(padded - row.data.size(), '\0'));
    const auto options = Options(block, 28 + padded);
    std::size_t i = 0;
    if (!row.comment.empty()) {
        ASSERT_GT(options.size(), i);
        EXPECT_EQ(options[i].code, pcapng::kComment);
        EXPECT_EQ(options[i].value, row.comment);
        ++i;
    }
    if (row.direction != 0) {
        ASSERT_GT(options.size(), i);
        EXPECT_EQ(options[i].code, pcapng::kEpbFlags);
        ASSERT_EQ(options[i].value.size(), 4u);
        EXPECT_EQ(Le32(options[i].value, 0), row.direction);
        ++i;
    }
    EXPECT_EQ(options.size(), i);
}

INSTANTIATE_TEST_SUITE_P(Rows, CapturePacketTest, ::testing::ValuesIn(kPackets),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CapturePacketTest, CommentLongerThanAnOptionIsCutNotBroken) {
    std::string block;
    const std::string comment(70000, 'c');
    pcapng::AppendPacket(block, {1, "x", 0, 0, comment});
    ExpectFramed(block, pcapng::kEnhancedPacket);
    const auto options = Options(block, 32);
    ASSERT_EQ(options.size(), 1u);
    EXPECT_EQ(options[0].value.size(), 0xFFFFu);
    EXPECT_EQ(pcapng::PacketBlockLength(1, comment.size(), false), block.size());
}

// Big-endian 16-bit words summed with the carries folded in: 0xFFFF for a correct checksum.
std::uint32_t OnesSum(const std::string& bytes, std::size_t from, std::size_t to,
                      std::uint32_t sum = 0) {
    for (std::size_t i = from; i < to; i += 2) {
        const unsigned hi = static_cast<unsigned char>(bytes[i]);
        const unsigned lo = i + 1 < to ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        sum += hi << 8 | lo;
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return sum;
}

std::uint16_t Be16(const std::string& b, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) << 8 |
                                      static_cast<unsigned char>(b[at + 1]));
}

std::uint32_t Pseudo(const std::string& p, std::uint8_t protocol, std::size_t length) {
    return OnesSum(p, 12, 20, protocol + static_cast<std::uint32_t>(length));
}

struct SegmentRow {
    const char* name;
    std::string payload;
};

const SegmentRow kPayloads[] = {
    {"empty", ""},
    {"odd", "abc"},
    {"even", "abcd"},
    {"high_bytes", std::string("\xFF\xFF\xFF\x00\x80", 5)},
};

void PrintTo(const SegmentRow& row, std::ostream* os) {
    *os << row.name;
}

class CaptureChecksumTest : public ::testing::TestWithParam<SegmentRow> {};

const packet::Endpoint kFrom{0x7F000002, 5555}, kTo{0xC0A80D29, 8090};

TEST_P(CaptureChecksumTest, UdpHeadersAndSums) {
    const std::string& payload = GetParam().payload;
    std::string p;
    packet::AppendUdp(p, kFrom, kTo, payload, payload.size());
    ASSERT_EQ(p.size(), 28 + payload.size());
    EXPECT_EQ(p[0], '\x45');
    EXPECT_EQ(Be16(p, 2), p.size());
    EXPECT_EQ(p[9], 17);
    EXPECT_EQ(p.substr(12, 8), std::string("\x7F\x00\x00\x02\xC0\xA8\x0D\x29", 8));
    EXPECT_EQ(OnesSum(p, 0, 20), 0xFFFFu) << "IPv4 header checksum";
    EXPECT_EQ(Be16(p, 20), 5555);
    EXPECT_EQ(Be16(p, 22), 8090);
    EXPECT_EQ(Be16(p, 24), 8 + payload.size());
    EXPECT_NE(Be16(p, 26), 0);
    EXPECT_EQ(OnesSum(p, 20, p.size(), Pseudo(p, 17, p.size() - 20)), 0xFFFFu) << "UDP checksum";
    EXPECT_EQ(p.substr(28), payload);
}

TEST_P(CaptureChecksumTest, TcpHeadersAndSums) {
    const std::string& payload = GetParam().payload;
    std::string p;
    packet::AppendTcp(p, kFrom, kTo, {0x10000001, 0x50000001, packet::tcp::kAck, payload});
    ASSERT_EQ(p.size(), 40 + payload.size());
    EXPECT_EQ(Be16(p, 2), p.size());
    EXPECT_EQ(p[9], 6);
    EXPECT_EQ(OnesSum(p, 0, 20), 0xFFFFu) << "IPv4 header checksum";
    EXPECT_EQ(p.substr(24, 8), std::string("\x10\x00\x00\x01\x50\x00\x00\x01", 8));
    EXPECT_EQ(p[32], '\x50');
    EXPECT_EQ(p[33], '\x10');
    EXPECT_EQ(OnesSum(p, 20, p.size(), Pseudo(p, 6, p.size() - 20)), 0xFFFFu) << "TCP checksum";
    EXPECT_EQ(p.substr(40), payload);
}

INSTANTIATE_TEST_SUITE_P(Rows, CaptureChecksumTest, ::testing::ValuesIn(kPayloads),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CaptureChecksumTest, DatagramKeptInPartTellsItsWholeLength) {
    std::string p;
    packet::AppendUdp(p, kFrom, kTo, "start", 9000);
    EXPECT_EQ(p.size(), 28u + 5);
    EXPECT_EQ(Be16(p, 2), 28 + 9000);
    EXPECT_EQ(Be16(p, 24), 8 + 9000);
    EXPECT_EQ(Be16(p, 26), 0) << "no checksum over bytes not kept";
}

}  // namespace
