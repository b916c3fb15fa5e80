// What tshark does not check in the capture files: packet blocks as long as the limit check
// foresees, the time stamp's halves, over-long comments cut, and the checksums of the packets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "capture/packet.h"
#include "capture/pcapng.h"

namespace {

using namespace capture;

std::uint32_t Le32(const std::string& b, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
}

std::uint16_t Le16(const std::string& b, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                      static_cast<unsigned char>(b[at + 1]) << 8);
}

std::uint16_t Be16(const std::string& b, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) << 8 |
                                      static_cast<unsigned char>(b[at + 1]));
}

// Every length of data modulo 4, with and without a comment and a direction; a comment longer
// than an option holds is cut, not the block broken.
TEST(CapturePacketTest, BlockLengthIsForeseenAndFramed) {
    const std::uint64_t micros = 0x0006'2F00'1234'5678;  // both halves of the stamp in use
    for (const std::string_view data : {"", "a", "ab", "abc", "abcd"}) {
        for (const std::string& comment :
             {std::string(), std::string("abcde"), std::string(70000, 'c')}) {
            for (const std::uint32_t direction : {0u, pcapng::kOutbound}) {
                SCOPED_TRACE(std::to_string(data.size()) + " bytes, comment of " +
                             std::to_string(comment.size()) + ", direction " +
                             std::to_string(direction));
                std::string block = "prefix";
                pcapng::AppendPacket(block, {micros, data, 9000, direction, comment});
                ASSERT_EQ(block.substr(0, 6), "prefix");
                block.erase(0, 6);
                EXPECT_EQ(pcapng::PacketBlockLength(data.size(), comment.size(), direction != 0),
                          block.size());
                ASSERT_EQ(block.size() % 4, 0u);
                EXPECT_EQ(Le32(block, 4), block.size());
                EXPECT_EQ(Le32(block, block.size() - 4), block.size());
                EXPECT_EQ(Le32(block, 12), 0x0006'2F00u);
                EXPECT_EQ(Le32(block, 16), 0x1234'5678u);
                if (!comment.empty()) {
                    const std::size_t at = 28 + pcapng::Padded(data.size());
                    EXPECT_EQ(Le16(block, at + 2), std::min<std::size_t>(comment.size(), 0xFFFF));
                }
            }
        }
    }
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

// The IPv4 header's sum and the transport's over the pseudo-header; tshark does not check them.
void ExpectSums(const std::string& p, std::uint8_t protocol) {
    ASSERT_GE(p.size(), 20u);
    EXPECT_EQ(Be16(p, 2), p.size());
    EXPECT_EQ(p[9], protocol);
    EXPECT_EQ(OnesSum(p, 0, 20), 0xFFFFu) << "IPv4 header checksum";
    const auto pseudo = OnesSum(p, 12, 20, protocol + static_cast<std::uint32_t>(p.size() - 20));
    EXPECT_EQ(OnesSum(p, 20, p.size(), pseudo), 0xFFFFu) << "transport checksum";
}

const packet::Endpoint kFrom{0x7F000002, 5555}, kTo{0xC0A80D29, 8090};

class CaptureChecksumTest : public ::testing::TestWithParam<std::string> {};

TEST_P(CaptureChecksumTest, Udp) {
    const std::string& payload = GetParam();
    std::string p;
    packet::AppendUdp(p, kFrom, kTo, payload, payload.size());
    ASSERT_EQ(p.size(), 28 + payload.size());
    EXPECT_EQ(Be16(p, 24), 8 + payload.size());
    EXPECT_NE(Be16(p, 26), 0);
    ExpectSums(p, 17);
    EXPECT_EQ(p.substr(28), payload);
}

TEST_P(CaptureChecksumTest, Tcp) {
    const std::string& payload = GetParam();
    std::string p;
    packet::AppendTcp(p, kFrom, kTo, {0x10000001, 0x50000001, packet::tcp::kAck, payload});
    ASSERT_EQ(p.size(), 40 + payload.size());
    ExpectSums(p, 6);
    EXPECT_EQ(p.substr(40), payload);
}

// Even and odd lengths; high bytes that carry.
INSTANTIATE_TEST_SUITE_P(Rows, CaptureChecksumTest,
                         ::testing::Values("abcd", std::string("\xFF\xFF\xFF\x00\x80", 5)),
                         [](const auto& info) { return info.index == 0 ? "even" : "odd_high"; });

TEST(CaptureChecksumTest, DatagramKeptInPartTellsItsWholeLength) {
    std::string p;
    packet::AppendUdp(p, kFrom, kTo, "start", 9000);
    EXPECT_EQ(p.size(), 28u + 5);
    EXPECT_EQ(Be16(p, 2), 28 + 9000);
    EXPECT_EQ(Be16(p, 24), 8 + 9000);
    EXPECT_EQ(Be16(p, 26), 0) << "no checksum over bytes not kept";
}

}  // namespace
