#include "app/error_box.h"

#include <gtest/gtest.h>

#include "app/text.h"
#include "base/error.h"
#include "support/fake_env.h"

namespace {

struct TextCase {
    const char* label;
    std::string message;
    std::string shown;
};

class ErrorBoxTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(ErrorBoxTextTest, AddsAFullStopOnlyAfterBytesAboveTheFullStop) {
    EXPECT_EQ(app::ErrorBoxText(GetParam().message), GetParam().shown);
}

// The full stop (0x2E) is the boundary; bytes above 127 count as above it.
const TextCase kTexts[] = {
    {"closing_parenthesis", "List index out of bounds (1)", "List index out of bounds (1)"},
    {"full_stop", "Connection refused.", "Connection refused."},
    {"exclamation", "Stop!", "Stop!"},
    {"quote", "'abc' is not a valid integer value'", "'abc' is not a valid integer value'"},
    {"trailing_space", "Operation would block. ", "Operation would block. "},
    {"line_break", "Socket Error # 11004\r\n", "Socket Error # 11004\r\n"},
    {"latin_letter", "'abc' is not a valid integer value", "'abc' is not a valid integer value."},
    {"digit_is_above_full_stop", "code 7", "code 7."},
    {"slash_is_above_full_stop", "a/", "a/."},
    {"comma_is_below_full_stop", "a,", "a,"},
    {"cyrillic_letter", app::Cp1251("Ошибка"), app::Cp1251("Ошибка.")},
    {"byte_above_127", "\xFF", "\xFF."},
    {"empty", "", ""},
};

INSTANTIATE_TEST_SUITE_P(Table, ErrorBoxTextTest, ::testing::ValuesIn(kTexts),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(Guarded, ShowsTheEscapedErrorCaptionedWithTheTitleAndGoesOn) {
    testing_support::FakeEnv env;
    bool after = false;
    app::Guarded(env, [] { throw base::Error("Directory not empty"); });
    app::Guarded(env, [&] { after = true; });
    ASSERT_EQ(env.boxes.size(), 1u);
    EXPECT_EQ(env.boxes[0].kind, app::BoxKind::Error);
    EXPECT_EQ(env.boxes[0].caption, app::Cp1251("Настройка Velmar Orvan"));
    EXPECT_EQ(env.boxes[0].text, "Directory not empty.");
    EXPECT_TRUE(after);
}

TEST(FatalBoxText, FollowsTheApplicationErrorFormat) {
    const int here = 0;
    const std::string text = app::FatalBoxText("base::Error", "orvan", &here, "Disk full");
    EXPECT_EQ(text.rfind("Exception base::Error in module orvan at ", 0), 0u) << text;
    EXPECT_NE(text.find(".\r\nDisk full.\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    // A message that already ends in a full stop gets no second one.
    const std::string done = app::FatalBoxText("E", "orvan", &here, "Done.");
    EXPECT_EQ(done.substr(done.size() - 9), "\r\nDone.\r\n");
}

}  // namespace
