#include "device/wire_trace.h"

#include <cstdio>
#include <ctime>

namespace device {

std::string EscapeBytes(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += char(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string FormatWireLine(const WireEvent& e) {
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<milliseconds>(e.when.time_since_epoch()).count();
    // Floor division keeps the milliseconds right for times before 1970 too.
    long long seconds = sinceEpoch / 1000, millis = sinceEpoch % 1000;
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    const std::time_t t = std::time_t(seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03lld", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  millis);
    return std::string(stamp) + (e.sent ? " sent " : " received ") + FormatDotted(e.peer) + ":" +
           std::to_string(e.peerPort) + " " + std::to_string(e.bytes.size()) +
           (e.bytes.size() == 1 ? " byte" : " bytes") +
           (e.bytes.empty() ? "" : " " + EscapeBytes(e.bytes));
}

}  // namespace device
