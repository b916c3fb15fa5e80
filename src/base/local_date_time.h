#pragma once

#include <ctime>

namespace base {

// One reading of the local clock; isoWeekday: 1 = Monday .. 7 = Sunday.
struct LocalDateTime {
    int year, month, day, hour, minute, second, isoWeekday;
};

// The instant in the local time zone (TZ as the process sees it).
LocalDateTime LocalDateTimeAt(std::time_t instant);

}  // namespace base
