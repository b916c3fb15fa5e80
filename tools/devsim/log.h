#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace devsim {

// One line per event on stdout, stamped with the local time and flushed at once so that a
// reader of a pipe sees it without delay. A flood must not fill the disk: at most `rate` lines
// a second (0: no limit), then one line that says how many were left out.
class Log {
public:
    Log(bool millis, unsigned rate) : millis_(millis), rate_(rate) {}

    void Print(const std::string& line);  // always, whatever the rate
    void Say(const std::string& line);    // within the rate

    // When the line about lines left out is due; nothing when none were.
    std::optional<std::chrono::steady_clock::time_point> NextDue() const;
    void SendDue(std::chrono::steady_clock::time_point now);
    void FlushLeftOut();

private:
    void NextSecond(std::chrono::steady_clock::time_point now);

    bool millis_;
    unsigned rate_;
    std::chrono::steady_clock::time_point window_{};
    unsigned window_lines_ = 0;
    unsigned long left_out_ = 0;
};

}  // namespace devsim
