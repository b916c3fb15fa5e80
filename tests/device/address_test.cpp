// Dotted addresses and the ranges a scan asks: one table each, good and bad rows together.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "device/address.h"

namespace {

// Names each table row after its label in failure texts.
template <typename Case>
requires requires(const Case& c) {
    c.label;
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.label;
}

using device::Ipv4;

struct DottedCase {
    const char* label;
    const char* text;
    std::optional<Ipv4> address;
};

class DottedTest : public ::testing::TestWithParam<DottedCase> {};

TEST_P(DottedTest, ParsesFourDecimalParts) {
    const DottedCase& c = GetParam();
    EXPECT_EQ(device::ParseDotted(c.text), c.address);
    if (c.address) {
        EXPECT_EQ(device::ParseDotted(device::FormatDotted(*c.address)), c.address);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Address, DottedTest,
    ::testing::Values(DottedCase{"plain", "192.168.119.141", 0xC0A8778D},
                      DottedCase{"zero", "0.0.0.0", 0},
                      DottedCase{"all_ones", "255.255.255.255", 0xFFFFFFFF},
                      DottedCase{"leading_zero_stays_decimal", "010.0.0.1", 0x0A000001},
                      DottedCase{"part_above_255", "10.0.0.256", std::nullopt},
                      DottedCase{"three_parts", "10.0.0", std::nullopt},
                      DottedCase{"five_parts", "10.0.0.1.5", std::nullopt},
                      DottedCase{"empty_part", "10..0.1", std::nullopt},
                      DottedCase{"trailing_dot", "10.0.0.1.", std::nullopt},
                      DottedCase{"sign", "10.0.0.+1", std::nullopt},
                      DottedCase{"blank", "10.0.0.1 ", std::nullopt},
                      DottedCase{"hex_part", "10.0.0.0x1", std::nullopt},
                      DottedCase{"overlong_part", "10.0.0.000001", std::nullopt},
                      DottedCase{"empty", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

struct RangeCase {
    const char* label;
    const char* text;
    bool broadcast;
    std::size_t count;        // addresses asked; 0: an error
    std::string first, last;  // the first and last asked
    std::string error = {};   // part of the message when refused
};

class RangeTest : public ::testing::TestWithParam<RangeCase> {};

TEST_P(RangeTest, GivesTheHostAddressesInOrder) {
    const RangeCase& c = GetParam();
    if (c.count == 0) {
        try {
            device::ParseRange(c.text, c.broadcast);
            ADD_FAILURE() << "no error";
        } catch (const base::Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
        return;
    }
    const std::vector<Ipv4> hosts = device::ParseRange(c.text, c.broadcast);
    ASSERT_EQ(hosts.size(), c.count);
    EXPECT_EQ(device::FormatDotted(hosts.front()), c.first);
    EXPECT_EQ(device::FormatDotted(hosts.back()), c.last);
    const std::size_t ascending = c.broadcast ? hosts.size() - 1 : hosts.size();
    for (std::size_t i = 1; i < ascending; ++i) ASSERT_EQ(hosts[i], hosts[i - 1] + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Address, RangeTest,
    ::testing::Values(
        RangeCase{"slash24_without_network_and_broadcast", "10.1.2.0/24", false, 254, "10.1.2.1",
                  "10.1.2.254"},
        RangeCase{"slash24_host_bits_ignored", "10.1.2.77/24", false, 254, "10.1.2.1",
                  "10.1.2.254"},
        RangeCase{"slash24_broadcast_last", "10.1.2.0/24", true, 255, "10.1.2.1", "10.1.2.255"},
        RangeCase{"slash16_is_the_most", "10.1.0.0/16", false, 65534, "10.1.0.1", "10.1.255.254"},
        RangeCase{"slash30", "10.1.2.4/30", false, 2, "10.1.2.5", "10.1.2.6"},
        RangeCase{"slash31_both", "10.1.2.4/31", true, 2, "10.1.2.4", "10.1.2.5"},
        RangeCase{"slash32_one", "10.1.2.4/32", false, 1, "10.1.2.4", "10.1.2.4"},
        RangeCase{"first_last", "10.1.2.250-10.1.3.5", false, 12, "10.1.2.250", "10.1.3.5"},
        RangeCase{"first_last_one", "10.1.2.9-10.1.2.9", false, 1, "10.1.2.9", "10.1.2.9"},
        RangeCase{"first_last_a_slash16s_worth", "10.1.0.0-10.1.255.255", false, 65536, "10.1.0.0",
                  "10.1.255.255"},
        RangeCase{"slash15_too_wide", "10.0.0.0/15", false, 0, "", "", "prefix length"},
        RangeCase{"slash33", "10.0.0.0/33", false, 0, "", "", "prefix length"},
        RangeCase{"slash_empty", "10.0.0.0/", false, 0, "", "", "prefix length"},
        RangeCase{"first_last_too_wide", "10.1.0.0-10.2.0.0", false, 0, "", "", "more than 65536"},
        RangeCase{"last_before_first", "10.1.2.9-10.1.2.1", false, 0, "", "", "comes before"},
        RangeCase{"bad_address", "10.1.2.300/24", false, 0, "", "", "'10.1.2.300'"},
        RangeCase{"bad_last", "10.1.2.1-10.1.2", false, 0, "", "", "'10.1.2'"},
        RangeCase{"single_address", "10.1.2.1", false, 0, "", "", "A.B.C.D/NN or FIRST-LAST"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
