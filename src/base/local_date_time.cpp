#include "base/local_date_time.h"

#include <cstdio>

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

std::string Iso8601(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char stamp[32], zone[8];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local);
    const std::string z = zone;  // +0100 -> +01:00
    return std::string(stamp) + z.substr(0, 3) + ":" + z.substr(3);
}

}  // namespace base
