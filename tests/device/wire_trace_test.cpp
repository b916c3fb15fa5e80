// The -v line: what the operator reads for each datagram, byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "device/wire_trace.h"

namespace {

template <typename Case>
requires requires(const Case& c) {
    c.label;
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.label;
}

const auto kLabel = [](const auto& info) { return std::string(info.param.label); };

struct EscapeCase {
    const char* label;
    std::string bytes;
    std::string shown;
};

class EscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTest, PrintableAsItIsTheRestAsHex) {
    EXPECT_EQ(device::EscapeBytes(GetParam().bytes), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Wire, EscapeTest,
    ::testing::Values(EscapeCase{"empty", "", ""}, EscapeCase{"request", "GO", "GO"},
                      EscapeCase{"space_and_tilde", " ~", " ~"},
                      EscapeCase{"control_bytes", std::string("\x1B[2J\r\n\t", 7),
                                 "\\x1B[2J\\x0D\\x0A\\x09"},
                      EscapeCase{"nul", std::string("a\0b", 3), "a\\x00b"},
                      EscapeCase{"del", "\x7F", "\\x7F"},
                      EscapeCase{"backslash_escaped_to_stay_unambiguous", "\\x41", "\\x5Cx41"},
                      EscapeCase{"code_page_1251", "\xC6\xC6-01", "\\xC6\\xC6-01"},
                      EscapeCase{"high_byte", "\xFF", "\\xFF"}),
    kLabel);

struct LineCase {
    const char* label;
    bool sent;
    device::Ipv4 peer;
    std::uint16_t peerPort;
    std::string bytes;
    long long millisSinceEpoch;
    std::string line;
};

class LineTest : public ::testing::TestWithParam<LineCase> {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
    }
};

TEST_P(LineTest, TimeDirectionPeerLengthBytes) {
    const LineCase& c = GetParam();
    std::string bytes = c.bytes;
    device::WireEvent e;
    e.sent = c.sent;
    e.local = 0x7F000001;
    e.localPort = 4000;
    e.peer = c.peer;
    e.peerPort = c.peerPort;
    e.bytes = bytes;
    e.when = std::chrono::system_clock::time_point(std::chrono::milliseconds(c.millisSinceEpoch));
    EXPECT_EQ(device::FormatWireLine(e), c.line);
}

// 1 700 000 000 s is 2023-11-14 22:13:20 UTC.
constexpr long long kT = 1700000000000LL;

INSTANTIATE_TEST_SUITE_P(
    Wire, LineTest,
    ::testing::Values(
        LineCase{"request_sent", true, 0x0AC80007, 4000, "GO", kT + 42,
                 "22:13:20.042 sent 10.200.0.7:4000 2 bytes GO"},
        LineCase{"reply_received", false, 0x7F000002, 4000,
                 "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC>", kT + 999,
                 "22:13:20.999 received 127.0.0.2:4000 63 bytes "
                 "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC>"},
        LineCase{"other_port_and_control_bytes", false, 0xC0A80101, 65535,
                 std::string("\x1B"
                             "1\r\n\0",
                             5),
                 kT, "22:13:20.000 received 192.168.1.1:65535 5 bytes \\x1B1\\x0D\\x0A\\x00"},
        LineCase{"one_byte", true, 0x7F000002, 1, "G", kT + 1,
                 "22:13:20.001 sent 127.0.0.2:1 1 byte G"},
        LineCase{"empty_datagram", false, 0x7F000002, 4000, "", kT + 7 * 3600 * 1000 + 500,
                 "05:13:20.500 received 127.0.0.2:4000 0 bytes"},
        LineCase{"just_before_midnight", true, 0x7F000002, 4000, "GO",
                 kT + ((23 - 22) * 3600 + (59 - 13) * 60 + (59 - 20)) * 1000LL + 999,
                 "23:59:59.999 sent 127.0.0.2:4000 2 bytes GO"}),
    kLabel);

TEST(WireLine, LocalTime) {
    ::setenv("TZ", "MSK-3", 1);
    ::tzset();
    device::WireEvent e;
    e.sent = true;
    e.peer = 0x7F000002;
    e.peerPort = 4000;
    e.bytes = "GO";
    e.when = std::chrono::system_clock::time_point(std::chrono::milliseconds(kT + 5));
    EXPECT_EQ(device::FormatWireLine(e), "01:13:20.005 sent 127.0.0.2:4000 2 bytes GO");
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
}

}  // namespace
