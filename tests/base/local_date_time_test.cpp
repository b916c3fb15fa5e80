#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <string>

#include "base/local_date_time.h"

namespace {

struct Case {
    const char* label;
    const char* tz;  // POSIX rules, so that no zone database is needed
    std::time_t instant;
    base::LocalDateTime want;
};

const Case kCases[] = {
    {"new_years_eve_sunday", "UTC0", 1704067199, {2023, 12, 31, 23, 59, 59, 7}},
    {"same_instant_three_hours_east_is_monday", "EAST-3", 1704067199, {2024, 1, 1, 2, 59, 59, 1}},
    {"same_instant_five_hours_west", "WEST5", 1704067199, {2023, 12, 31, 18, 59, 59, 7}},
    {"year_2000_saturday", "UTC0", 946684800, {2000, 1, 1, 0, 0, 0, 6}},
    {"leap_day_thursday", "UTC0", 1709208000, {2024, 2, 29, 12, 0, 0, 4}},
    {"monday_morning", "UTC0", 1796634245, {2026, 12, 7, 9, 4, 5, 1}},
};

std::array<int, 7> Fields(const base::LocalDateTime& t) {
    return {t.year, t.month, t.day, t.hour, t.minute, t.second, t.isoWeekday};
}

// Every case sets TZ, so none depends on what an earlier one left.
class LocalDateTimeTest : public ::testing::TestWithParam<Case> {};

TEST_P(LocalDateTimeTest, ReadsTheInstantInTheLocalZone) {
    setenv("TZ", GetParam().tz, 1);
    tzset();
    EXPECT_EQ(Fields(base::LocalDateTimeAt(GetParam().instant)), Fields(GetParam().want));
}

INSTANTIATE_TEST_SUITE_P(Table, LocalDateTimeTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
