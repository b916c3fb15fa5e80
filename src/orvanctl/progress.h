#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

#include "device/port.h"
#include "device/scan.h"

// How far a long run over many devices is, on stderr: a line rewritten in place on a terminal;
// elsewhere (a pipe, cron, Ansible) a line now and then once the run has taken a while.
namespace orvanctl {

using device::Clock;

// The --quiet flag's help text; scan, backup and apply take it.
extern const char* const kQuietHelp;

// Lines where no terminal watches come at most this often, the first after this long.
inline constexpr Clock::duration kProgressEvery = std::chrono::seconds(10);

struct ProgressCount {
    std::size_t asked = 0, answered = 0, total = 0;
};

// What is left to wait: about this long at the pace kept, and at most `bound` (the kernel's
// neighbour resolution when the addresses are on one link); unknown where empty.
struct TimeLeft {
    std::optional<Clock::duration> about, bound;
};

// Whether a line is due: on a terminal always (the caller paces it); elsewhere once the run has
// taken `every`, and `every` after the last line.
bool ProgressDue(bool terminal, Clock::duration sinceStart,
                 std::optional<Clock::duration> sinceLast, Clock::duration every);

// "scan: 1024 of 65534 asked, 3 answered, 64510 left; about 5 min 28 s left, at most 12 min
// 57 s on one link (neighbour resolution)".
std::string ProgressText(const std::string& what, const ProgressCount& c, const TimeLeft& left);

// "45 s", "5 min 28 s", "1 h 5 min"; whole seconds rounded up.
std::string FormatDuration(Clock::duration d);

// A scan's time left: its rate for the addresses of this round not yet asked, then the rounds
// of retries for every address that has not answered; the bound adds the kernel's hold.
TimeLeft ScanTimeLeft(const device::ScanProgress& p, const device::ScanOptions& o,
                      const device::LinkHold& hold);

// Devices read one after another or several at once: the pace so far for the rest.
TimeLeft PaceTimeLeft(Clock::duration elapsed, std::size_t done, std::size_t left);

class Progress {
public:
    // Says nothing when quiet. `terminal`: whether stderr is one (asked when not given).
    Progress(std::string what, bool quiet, std::optional<bool> terminal = std::nullopt,
             std::FILE* out = stderr, Clock::duration every = kProgressEvery);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Update(const ProgressCount& c, const TimeLeft& left, Clock::time_point now = Clock::now());
    // A scan's callback.
    void Scan(const device::ScanProgress& p, const device::ScanOptions& o);
    // A run's result callback: `done` devices of `total` finished, `answered` of them replied.
    void Done(std::size_t done, std::size_t answered, std::size_t total);
    // Takes the live line off the terminal, before other output there.
    void Clear();

private:
    std::string what_;
    bool quiet_, terminal_, shown_ = false;
    std::FILE* out_;
    Clock::duration every_;
    Clock::time_point start_ = Clock::now();
    std::optional<Clock::time_point> last_;
    std::optional<device::LinkHold> hold_;
};

}  // namespace orvanctl
