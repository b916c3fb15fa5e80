#include "devsim/clock.h"

#include <cstdio>
#include <ctime>

#include "devsim/text.h"

namespace devsim {

std::chrono::sys_seconds HostLocalNow() {
    using namespace std::chrono;
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    const year_month_day date{year{tm.tm_year + 1900}, month{unsigned(tm.tm_mon + 1)},
                              day{unsigned(tm.tm_mday)}};
    return sys_days{date} + hours{tm.tm_hour} + minutes{tm.tm_min} + seconds{tm.tm_sec};
}

std::string FormatClock(std::chrono::sys_seconds t) {
    using namespace std::chrono;
    static constexpr const char* kDays[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                            "Friday", "Saturday", "Sunday"};
    const auto days = floor<std::chrono::days>(t);
    const year_month_day date{days};
    const hh_mm_ss time{t - days};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02ld:%02ld:%02ld %s", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), long(time.hours().count()),
                  long(time.minutes().count()), long(time.seconds().count()),
                  kDays[weekday{days}.iso_encoding() - 1]);
    return buf;
}

std::optional<std::chrono::sys_seconds> ParseTimeCommand(std::string_view text, std::string& why) {
    using namespace std::chrono;
    if (text.size() != 29) {
        why = "length " + std::to_string(text.size()) + ", not 29";
        return std::nullopt;
    }
    if (text.substr(0, 8) != "USTTIME<" || text[28] != '>') {
        why = "not framed as USTTIME<...>";
        return std::nullopt;
    }
    static constexpr const char* kNames[] = {"year", "month",   "day",    "weekday",
                                             "hour", "minutes", "seconds"};
    unsigned v[7];
    for (std::size_t i = 0; i < 7; ++i) {
        const std::size_t at = 8 + 3 * i;
        if (i < 6 && text[at + 2] != '*') {
            why = "'*' expected after the " + std::string(kNames[i]);
            return std::nullopt;
        }
        const auto n = Number(text.substr(at, 2), 10);
        if (!n) {
            why = std::string(kNames[i]) + " " + Escaped(text.substr(at, 2)) +
                  " is not two decimal digits";
            return std::nullopt;
        }
        v[i] = *n;
    }
    const year_month_day date{year{2000 + int(v[0])}, month{v[1]}, day{v[2]}};
    if (!date.month().ok()) {
        why = "month " + std::to_string(v[1]) + " out of range";
        return std::nullopt;
    }
    if (!date.ok()) {
        why = "day " + std::to_string(v[2]) + " out of range for " + std::to_string(v[1]) + "/" +
              std::to_string(2000 + v[0]);
        return std::nullopt;
    }
    if (v[3] < 1 || v[3] > 7) {
        why = "weekday " + std::to_string(v[3]) + " out of range (1 to 7)";
        return std::nullopt;
    }
    const unsigned actual = weekday{sys_days{date}}.iso_encoding();
    if (v[3] != actual) {
        why = "weekday " + std::to_string(v[3]) + " disagrees with the date, whose weekday is " +
              std::to_string(actual);
        return std::nullopt;
    }
    if (v[4] > 23 || v[5] > 59 || v[6] > 59) {
        why = "time of day out of range";
        return std::nullopt;
    }
    return sys_days{date} + hours{v[4]} + minutes{v[5]} + seconds{v[6]};
}

}  // namespace devsim
