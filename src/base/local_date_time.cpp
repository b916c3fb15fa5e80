#include "base/local_date_time.h"

namespace base {

LocalDateTime LocalDateTimeAt(std::time_t instant) {
    std::tm t{};
    localtime_r(&instant, &t);
    return {t.tm_year + 1900,
            t.tm_mon + 1,
            t.tm_mday,
            t.tm_hour,
            t.tm_min,
            t.tm_sec,
            t.tm_wday == 0 ? 7 : t.tm_wday};  // tm counts from Sunday = 0
}

}  // namespace base
