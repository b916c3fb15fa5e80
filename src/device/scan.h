#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "device/address.h"
#include "device/port.h"

namespace device {

struct ScanProgress {
    std::size_t sent = 0, total = 0, answered = 0;
};

struct ScanResult {
    std::map<Ipv4, std::string> replies;  // first reply of each device, by address
    std::size_t sent = 0;
    std::size_t notSent = 0;  // addresses a request could not go to
    std::string firstError;   // why the first of them failed
    bool interrupted = false;
};

// "GO" to every address in turn, `rate` per second, then waits `wait` for late replies.
// Replies from addresses outside `addresses` are ignored unless a broadcast was asked for.
// `progress` is called now and then while it runs. Bounded: it ends after
// addresses.size() / rate + wait, or at a stop request.
ScanResult Scan(DevicePort& port, const std::vector<Ipv4>& addresses, double rate,
                std::chrono::milliseconds wait, bool acceptAnySource,
                const std::function<void(const ScanProgress&)>& progress = {});

}  // namespace device
