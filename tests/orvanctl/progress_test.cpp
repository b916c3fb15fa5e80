// The progress line of long runs: when it comes where no terminal watches, and what it says.
#include "orvanctl/progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using orvanctl::Clock;

TEST(Progress, ComesEveryTenSecondsOnceTheRunHasTakenThatLongUnlessOnATerminal) {
    struct Row {
        const char* label;
        bool terminal;
        Clock::duration sinceStart;
        std::optional<Clock::duration> sinceLast;
        bool due;
    };
    for (const Row& r : std::vector<Row>{
             {"a terminal: every time", true, 0s, 1ms, true},
             {"before ten seconds: nothing", false, 9999ms, std::nullopt, false},
             {"at ten seconds: the first", false, 10s, std::nullopt, true},
             {"soon after a line: nothing", false, 25s, 9s, false},
             {"ten seconds after a line", false, 25s, 10s, true},
         }) {
        EXPECT_EQ(r.due, orvanctl::ProgressDue(r.terminal, r.sinceStart, r.sinceLast, 10s))
            << r.label;
    }
}

TEST(Progress, SaysAskedAnsweredLeftAndTheTimeLeft) {
    device::ScanOptions o;  // 200 a second, 1 s of wait
    const device::LinkHold hold{256, 3000ms};
    const auto scan = [&](device::ScanProgress p) { return orvanctl::ScanTimeLeft(p, o, hold); };
    device::ScanOptions retry = o;
    retry.retries = 1;
    struct Row {
        const char* label;
        orvanctl::ProgressCount count;
        orvanctl::TimeLeft left;
        std::string text;
    };
    for (const Row& r : std::vector<Row>{
             {"a /16 on one link: the kernel's bound above the rate's",
              {0, 0, 65534},
              scan({0, 65534, 0, 0}),
              "scan: 0 of 65534 asked, 0 answered, 65534 left; about 5 min 29 s left, at most 13 "
              "min 12 s on one link (neighbour resolution)"},
             {"half asked",
              {32767, 12, 65534},
              scan({32767, 65534, 12, 0}),
              "scan: 32767 of 65534 asked, 12 answered, 32767 left; about 2 min 45 s left, at "
              "most 6 min 35 s on one link (neighbour resolution)"},
             {"a round of retries after the first for those that did not answer",
              {254, 4, 254},
              orvanctl::ScanTimeLeft({254, 254, 4, 0}, retry, hold),
              "scan: 254 of 254 asked, 4 answered, 0 left; about 4 s left"},
             {"a retry round counts past the total",
              {300, 4, 254},
              orvanctl::ScanTimeLeft({300, 254, 4, 1}, retry, hold),
              "scan: 254 of 254 asked, 4 answered, 0 left; about 1 s left"},
             {"a run at its pace",
              {10, 9, 40},
              orvanctl::PaceTimeLeft(20s, 10, 30),
              "apply: 10 of 40 asked, 9 answered, 30 left; about 1 min 0 s left"},
             {"nothing done: no time",
              {0, 0, 40},
              orvanctl::PaceTimeLeft(20s, 0, 40),
              "apply: 0 of 40 asked, 0 answered, 40 left"},
             {"over an hour",
              {1, 1, 2},
              {3725s, std::nullopt},
              "backup: 1 of 2 asked, 1 answered, 1 left; about 1 h 2 min left"},
             {"a part of a second rounds up",
              {1, 1, 2},
              {1200ms, 1100ms},
              "backup: 1 of 2 asked, 1 answered, 1 left; about 2 s left"},
         }) {
        const std::string what = r.text.substr(0, r.text.find(':'));
        EXPECT_EQ(r.text, orvanctl::ProgressText(what, r.count, r.left)) << r.label;
    }
}

// Lines written to a memory stream by a Progress fed at given times after its start.
std::string Written(bool quiet, bool terminal, const std::vector<Clock::duration>& times) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    {
        orvanctl::Progress progress("scan", quiet, terminal, out);
        const auto start = Clock::now();
        for (Clock::duration t : times) progress.Update({1, 0, 2}, {}, start + t);
    }
    std::fclose(out);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

TEST(Progress, WritesALineWhereNoTerminalWatchesAndALiveOneOnATerminal) {
    const std::string line = "scan: 1 of 2 asked, 0 answered, 1 left";
    EXPECT_EQ("orvanctl: " + line + "\norvanctl: " + line + "\n",
              Written(false, false, {1s, 10s, 11s, 19s, 21s}));
    EXPECT_EQ("\r" + line + "\033[K\r" + line + "\033[K\r\033[K", Written(false, true, {1s, 2s}));
    EXPECT_EQ("", Written(true, false, {10s, 30s}));
    EXPECT_EQ("", Written(true, true, {1s}));
}

}  // namespace
