#pragma once

#include <chrono>
#include <ctime>
#include <string>

namespace base {

// One reading of the local clock; isoWeekday: 1 = Monday .. 7 = Sunday.
struct LocalDateTime {
    int year, month, day, hour, minute, second, isoWeekday;
};

// The instant in the local time zone (TZ as the process sees it).
LocalDateTime LocalDateTimeAt(std::time_t instant);

// "2026-12-07T20:35:01+01:00": local time with its offset from UTC.
std::string Iso8601(std::chrono::system_clock::time_point when);

}  // namespace base
