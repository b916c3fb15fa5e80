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

// Whether a probe that came to `f` put the request to the device: a port held elsewhere, a
// deadline passed before the port was free or an error of the exporter's own says nothing
// about the device.
bool Asked(Failure f);

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
    // The desired file read (at start or on SIGHUP) or refused, at `unixSeconds`.
    void Reloaded(bool ok, double unixSeconds);

    std::string Text(const std::string& version, const ProberStats& stats,
                     std::size_t desiredDevices) const;

private:
    std::array<std::atomic<unsigned long>, std::size(kAllFailures)> probes_{};
    std::array<std::atomic<unsigned long>, 2> refusals_{};
    std::atomic<bool> reloadOk_{true};
    std::atomic<double> lastReadAt_{0};
};

}  // namespace exporter
