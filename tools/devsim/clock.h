#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

// The device clock has no time zone: it runs at a fixed offset from the host's local time.
namespace devsim {

std::chrono::sys_seconds HostLocalNow();

// "2026-12-08 07:25:00 Tuesday"
std::string FormatClock(std::chrono::sys_seconds t);

// Parses "USTTIME<YY*MM*DD*0W*hh*mm*ss>" into the device time it sets; on failure `why` names
// the first fault.
std::optional<std::chrono::sys_seconds> ParseTimeCommand(std::string_view text, std::string& why);

}  // namespace devsim
