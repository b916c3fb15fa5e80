#include "devsim/log.h"

#include <cstdio>
#include <ctime>

namespace devsim {

void Log::Print(const std::string& line) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
    if (millis_) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
            1000;
        std::printf("%s.%03d %s\n", stamp, int(ms), line.c_str());
    } else {
        std::printf("%s %s\n", stamp, line.c_str());
    }
    std::fflush(stdout);
}

void Log::Say(const std::string& line) {
    if (rate_ == 0) {
        Print(line);
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - window_ >= std::chrono::seconds(1)) NextSecond(now);
    if (window_lines_ >= rate_) {
        ++left_out_;
        return;
    }
    ++window_lines_;
    Print(line);
}

std::optional<std::chrono::steady_clock::time_point> Log::NextDue() const {
    if (left_out_ == 0) return std::nullopt;
    return window_ + std::chrono::seconds(1);
}

void Log::SendDue(std::chrono::steady_clock::time_point now) {
    if (left_out_ > 0 && now - window_ >= std::chrono::seconds(1)) NextSecond(now);
}

void Log::FlushLeftOut() {
    if (left_out_ == 0) return;
    Print(std::to_string(left_out_) + (left_out_ == 1 ? " line" : " lines") +
          " left out (more than " + std::to_string(rate_) + " a second, --log-rate)");
    left_out_ = 0;
}

// A new second of the log: the lines left out of the last one are told first.
void Log::NextSecond(std::chrono::steady_clock::time_point now) {
    window_ = now;
    window_lines_ = 0;
    FlushLeftOut();
}

}  // namespace devsim
