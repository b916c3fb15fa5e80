#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "exporter/desired.h"
#include "exporter/prober.h"
#include "exporter/text_format.h"

// What a probe and the exporter itself answer, as metric families.
namespace exporter {

// One probe: up, duration, the reason of a failure, the settings read, and with a desired
// entry, whether each setting it names is in place and whether the unit is the one it names.
std::vector<Family> ProbeFamilies(const ProbeResult& r, double seconds, const Desired* desired);

// A probe's whole answer: the families, and the failure's message as a comment for people.
std::string ProbeText(const ProbeResult& r, double seconds, const Desired* desired);

// Results a probe request can come to besides the prober's own.
enum class Refusal { kRefused, kOverloaded };

// The exporter's own counters; every member may be touched from any thread.
class SelfMetrics {
public:
    void Count(Failure f) { probes_[std::size_t(f)]++; }
    void Count(Refusal r) { refusals_[std::size_t(r)]++; }
    std::atomic<long> inFlight{0};

    std::string Text(const std::string& version, const ProberStats& stats,
                     std::size_t desiredDevices) const;

private:
    std::array<std::atomic<unsigned long>, std::size(kAllFailures)> probes_{};
    std::array<std::atomic<unsigned long>, 2> refusals_{};
};

}  // namespace exporter
