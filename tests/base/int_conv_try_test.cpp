#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "base/error.h"
#include "base/int_conv.h"

namespace {

// The non-throwing conversion follows the same rule as the throwing one: the same value, or
// nothing exactly where the other raises the conversion error.
struct Case {
    const char* label;
    std::string text;
    std::optional<std::int32_t> value;
};

class TryStrToIntTest : public ::testing::TestWithParam<Case> {};

static_assert(noexcept(base::TryStrToInt("")), "a hot path must not have to catch");

TEST_P(TryStrToIntTest, GivesTheValueOrNothingWhereTheErrorWouldBe) {
    const Case& c = GetParam();
    EXPECT_EQ(base::TryStrToInt(c.text), c.value);
    if (c.value) {
        EXPECT_EQ(base::StrToInt(c.text), *c.value);
    } else {
        EXPECT_THROW(
            {
                try {
                    base::StrToInt(c.text);
                } catch (const base::Error& e) {
                    EXPECT_EQ(std::string(e.what()),
                              "'" + c.text + "' is not a valid integer value");
                    throw;
                }
            },
            base::Error);
    }
}

// The parser's fields come as "$" and the field: digits, letters, blanks, signs, nothing.
const Case kCases[] = {
    {"hex_field", "$1788", 0x1788},
    {"hex_field_lower_case", "$c0", 0xC0},
    {"hex_field_leading_zeros", "$0000000000017A1", 0x17A1},
    {"hex_field_all_ones", "$FFFFFFFF", -1},
    {"hex_field_nine_digits", "$1FFFFFFFF", std::nullopt},
    {"empty_field", "$", std::nullopt},
    {"field_with_blank", "$C0 ", std::nullopt},
    {"field_with_sign", "$-1", std::nullopt},
    {"field_with_other_prefix", "$0x10", std::nullopt},
    {"field_with_closing_bracket", "$1>", std::nullopt},
    {"field_of_a_dotted_address", "$192.168.1.1", std::nullopt},
    {"field_with_high_byte", "$1\xFF", std::nullopt},
    {"decimal", " 42", 42},
    {"decimal_trailing_blank", "42 ", std::nullopt},
    {"blanks_only", "   ", std::nullopt},
    {"empty", "", std::nullopt},
    {"lone_zero", "0", 0},
    {"zero_x_without_digits", "0x", std::nullopt},
    {"int_min", "-2147483648", INT32_MIN},
    {"above_int_max", "2147483648", std::nullopt},
    {"negated_hex", "-x10", -16},
};

INSTANTIATE_TEST_SUITE_P(Table, TryStrToIntTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
