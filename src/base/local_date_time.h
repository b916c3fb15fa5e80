#pragma once

namespace base {

// One reading of the local clock; isoWeekday: 1 = Monday .. 7 = Sunday.
struct LocalDateTime {
    int year, month, day, hour, minute, second, isoWeekday;
};

}  // namespace base
