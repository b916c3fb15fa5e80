#include "base/int_conv.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "base/error.h"

namespace {

struct Case {
    const char* label;
    std::string text;
    std::optional<std::int32_t> value;  // nullopt: the conversion must fail
};

class StrToIntTest : public ::testing::TestWithParam<Case> {};

static_assert(noexcept(base::TryStrToInt("")), "a hot path must not have to catch");

TEST_P(StrToIntTest, ConvertsOrNamesTheText) {
    const Case& c = GetParam();
    // The non-throwing form gives the same value, or nothing exactly where the error comes.
    EXPECT_EQ(base::TryStrToInt(c.text), c.value);
    if (c.value) {
        EXPECT_EQ(base::StrToInt(c.text), *c.value);
        return;
    }
    try {
        const auto v = base::StrToInt(c.text);
        FAIL() << "accepted with value " << v;
    } catch (const base::Error& e) {
        EXPECT_EQ(std::string(e.what()), "'" + c.text + "' is not a valid integer value");
    }
}

const Case kCases[] = {
    {"plain", "42", 42},
    {"leading_blank", " 42", 42},
    {"many_leading_blanks", "     7", 7},
    {"trailing_blank", "42 ", std::nullopt},
    {"empty", "", std::nullopt},
    {"blanks_only", "   ", std::nullopt},
    {"tab_is_not_a_blank", "\t42", std::nullopt},
    {"zero", "0", 0},
    {"leading_zeros_decimal", "007", 7},
    {"plus", "+7", 7},
    {"minus", "-7", -7},
    {"double_sign", "--7", std::nullopt},
    {"sign_then_blank", "- 7", std::nullopt},
    {"sign_alone", "-", std::nullopt},
    {"leading_blanks_then_sign", "  -12", -12},
    {"int_min", "-2147483648", INT32_MIN},
    {"int_max", "2147483647", INT32_MAX},
    {"above_int_max", "2147483648", std::nullopt},
    {"below_int_min", "-2147483649", std::nullopt},
    {"far_too_long", "99999999999999999999", std::nullopt},
    {"dollar_hex", "$1F", 31},
    {"0x_lower_digits", "0x1f", 31},
    {"x_prefix", "x1F", 31},
    {"X_prefix", "X1f", 31},
    {"0X_prefix", "0X1F", 31},
    {"hex_all_ones", "$FFFFFFFF", -1},
    {"hex_leading_zero_not_significant", "$0FFFFFFFF", -1},
    {"hex_many_leading_zeros", "$0000000000001", 1},
    {"hex_nine_digits", "$100000000", std::nullopt},
    {"hex_sign_bit", "$80000000", INT32_MIN},
    {"negated_hex", "-$10", -16},
    {"negated_hex_min_wraps", "-$80000000", INT32_MIN},
    {"negated_hex_all_ones", "-$FFFFFFFF", 1},
    {"prefix_without_digits", "$", std::nullopt},
    {"0x_without_digits", "0x", std::nullopt},
    {"hex_bad_digit", "$1G", std::nullopt},
    {"hex_trailing_blank", "$1F ", std::nullopt},
    {"sign_after_prefix", "$-5", std::nullopt},
    {"double_prefix", "0x$5", std::nullopt},
    {"decimal_with_hex_letter", "60a", std::nullopt},
    {"zero_then_x_midway", "00x5", std::nullopt},
    {"dotted_address", "192.168.1.1", std::nullopt},
    {"letters", "abc", std::nullopt},
    {"high_bytes", "\xC0\xE1", std::nullopt},
    // Fields of a configuration reply, as its parser converts them.
    {"reply_port_field", "$1788", 0x1788},
    {"reply_field_lower_case", "$c0", 0xC0},
    {"reply_field_nine_significant_digits", "$1FFFFFFFF", std::nullopt},
    {"reply_field_with_closing_bracket", "$1>", std::nullopt},
    {"reply_field_with_high_byte", "$1\xFF", std::nullopt},
    {"reply_field_of_a_dotted_address", "$192.168.1.1", std::nullopt},
    {"reply_field_with_other_prefix", "$0x10", std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Table, StrToIntTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
