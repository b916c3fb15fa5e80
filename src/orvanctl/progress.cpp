#include "orvanctl/progress.h"

#include <unistd.h>

#include <algorithm>

namespace orvanctl {

const char* const kQuietHelp =
    "no progress line on stderr (one comes every 10 s where stderr is not a terminal and the "
    "run takes longer)";

bool ProgressDue(bool terminal, Clock::duration sinceStart,
                 std::optional<Clock::duration> sinceLast, Clock::duration every) {
    if (terminal) return true;
    return sinceStart >= every && (!sinceLast || *sinceLast >= every);
}

std::string FormatDuration(Clock::duration d) {
    const auto ceiled = std::chrono::ceil<std::chrono::seconds>(std::max(d, Clock::duration{}));
    const long long s = ceiled.count();
    if (s < 60) return std::to_string(s) + " s";
    if (s < 3600) return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
    return std::to_string(s / 3600) + " h " + std::to_string(s % 3600 / 60) + " min";
}

std::string ProgressText(const std::string& what, const ProgressCount& c, const TimeLeft& left) {
    const std::size_t asked = std::min(c.asked, c.total);
    std::string text = what + ": " + std::to_string(asked) + " of " + std::to_string(c.total) +
                       " asked, " + std::to_string(c.answered) + " answered, " +
                       std::to_string(c.total - asked) + " left";
    if (left.about) text += "; about " + FormatDuration(*left.about) + " left";
    // The bound only when it says more than the estimate does.
    if (left.bound && (!left.about || *left.bound > *left.about)) {
        text += std::string(left.about ? ", " : "; ") + "at most " + FormatDuration(*left.bound) +
                " on one link (neighbour resolution)";
    }
    return text;
}

TimeLeft ScanTimeLeft(const device::ScanProgress& p, const device::ScanOptions& o,
                      const device::LinkHold& hold) {
    device::ScanOptions round = o;
    round.retries = 0;
    // Past the first round the count of requests runs beyond the total: this round is asked.
    const std::size_t unasked = p.round == 0 && p.sent < p.total ? p.total - p.sent : 0;
    const std::size_t silent = p.total - std::min(p.answered, p.total);
    const int roundsAfter = std::max(0, o.retries - p.round);
    TimeLeft left;
    left.about = device::ScanBound(unasked, round) + device::ScanBound(silent, round) * roundsAfter;
    left.bound = device::ScanBoundOnOneLink(unasked, round, hold) +
                 device::ScanBoundOnOneLink(silent, round, hold) * roundsAfter;
    return left;
}

TimeLeft PaceTimeLeft(Clock::duration elapsed, std::size_t done, std::size_t left) {
    TimeLeft t;
    if (done > 0) t.about = elapsed * left / done;
    return t;
}

Progress::Progress(std::string what, bool quiet, std::optional<bool> terminal, std::FILE* out,
                   Clock::duration every)
    : what_(std::move(what)),
      quiet_(quiet),
      terminal_(terminal.value_or(isatty(fileno(out)) != 0)),
      out_(out),
      every_(every) {}

Progress::~Progress() {
    Clear();
}

void Progress::Update(const ProgressCount& c, const TimeLeft& left, Clock::time_point now) {
    if (quiet_) return;
    const std::optional<Clock::duration> sinceLast =
        last_ ? std::optional<Clock::duration>(now - *last_) : std::nullopt;
    if (!ProgressDue(terminal_, now - start_, sinceLast, every_)) return;
    last_ = now;
    const std::string text = ProgressText(what_, c, left);
    if (terminal_) {
        std::fprintf(out_, "\r%s\033[K", text.c_str());
        shown_ = true;
    } else {
        std::fprintf(out_, "orvanctl: %s\n", text.c_str());
    }
    std::fflush(out_);
}

void Progress::Scan(const device::ScanProgress& p, const device::ScanOptions& o) {
    if (quiet_) return;
    if (!hold_) hold_ = device::ReadLinkHold();
    Update({p.sent, p.answered, p.total}, ScanTimeLeft(p, o, *hold_));
}

void Progress::Done(std::size_t done, std::size_t answered, std::size_t total) {
    const auto now = Clock::now();
    Update({done, answered, total}, PaceTimeLeft(now - start_, done, total - done), now);
}

void Progress::Clear() {
    if (!shown_) return;
    std::fputs("\r\033[K", out_);
    std::fflush(out_);
    shown_ = false;
}

}  // namespace orvanctl
