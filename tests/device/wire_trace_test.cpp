// The -v line: what the operator reads for each datagram, byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "device/wire_trace.h"
#include "fake_device.h"

namespace {

using device_test::kLabel;
using device_test::PrintTo;

struct LineCase {
    const char* label;
    const char* tz;
    bool sent;
    device::Ipv4 peer;
    std::uint16_t peerPort;
    std::string bytes;
    long long millisSinceEpoch;
    std::string line;
};

class LineTest : public ::testing::TestWithParam<LineCase> {
protected:
    void TearDown() override {
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
    }
};

TEST_P(LineTest, TimeDirectionPeerLengthBytes) {
    const LineCase& c = GetParam();
    ::setenv("TZ", c.tz, 1);
    ::tzset();
    device::WireEvent e;
    e.sent = c.sent;
    e.local = 0x7F000001;
    e.localPort = 4000;
    e.peer = c.peer;
    e.peerPort = c.peerPort;
    e.bytes = c.bytes;
    e.when = std::chrono::system_clock::time_point(std::chrono::milliseconds(c.millisSinceEpoch));
    EXPECT_EQ(device::FormatWireLine(e), c.line);
}

// 1 700 000 000 s is 2023-11-14 22:13:20 UTC.
constexpr long long kT = 1700000000000LL;

INSTANTIATE_TEST_SUITE_P(
    Wire, LineTest,
    ::testing::Values(
        LineCase{"request_sent", "UTC0", true, 0x0AC80007, 4000, "GO", kT + 42,
                 "22:13:20.042 sent 10.200.0.7:4000 2 bytes GO"},
        // Printable as it is, the rest and the backslash as hex: unambiguous.
        LineCase{"other_port_and_control_bytes", "UTC0", false, 0xC0A80101, 65535,
                 std::string("\x1B 1~\r\n\0\x7F", 8), kT,
                 "22:13:20.000 received 192.168.1.1:65535 8 bytes \\x1B 1~\\x0D\\x0A\\x00\\x7F"},
        LineCase{"backslash_and_code_page_1251", "UTC0", false, 0x7F000002, 4000, "\\x41\xC6\xFF",
                 kT, "22:13:20.000 received 127.0.0.2:4000 6 bytes \\x5Cx41\\xC6\\xFF"},
        LineCase{"one_byte", "UTC0", true, 0x7F000002, 1, "G", kT + 1,
                 "22:13:20.001 sent 127.0.0.2:1 1 byte G"},
        LineCase{"empty_datagram", "UTC0", false, 0x7F000002, 4000, "", kT + 500,
                 "22:13:20.500 received 127.0.0.2:4000 0 bytes"},
        LineCase{"local_time", "MSK-3", true, 0x7F000002, 4000, "GO", kT + 5,
                 "01:13:20.005 sent 127.0.0.2:4000 2 bytes GO"}),
    kLabel);

}  // namespace
