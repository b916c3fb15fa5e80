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
    int round = 0;  // 0: the first request to each address; then the retries
};

struct ScanOptions {
    double rate = 200;                     // requests per second
    std::chrono::milliseconds wait{1000};  // for replies after the last request of each round
    int retries = 0;                       // rounds more for the addresses that did not answer
    bool acceptAnySource = false;          // replies from outside the range count (broadcast)
    // The kernel refusing every send for this long (a neighbour table that never empties):
    // the addresses left are not asked.
    std::chrono::milliseconds giveUp{10000};
};

struct ScanResult {
    std::map<Ipv4, std::string> replies;          // first reply of each device, by address; whole
    std::size_t sent = 0;                         // requests that went out, all rounds
    std::size_t notSent = 0;                      // addresses never asked
    std::map<std::string, std::size_t> notAsked;  // why (SendFailed::Reason()) -> how many
    std::string firstError;                       // the first of them in full
    std::size_t refusedForNow = 0;  // sends the kernel refused for a moment, then tried again
    Clock::duration paused{};       // time spent waiting for the kernel to take sends
    int rounds = 0;
    bool interrupted = false;
};

// How long a scan of `addresses` takes at most when the kernel takes every request at once:
// each round asks its addresses at the rate, then waits. The time the kernel makes it wait
// (ScanResult::paused) comes on top; on one link that is the neighbour table emptying, about
// three seconds per table's worth of addresses that do not answer.
Clock::duration ScanBound(std::size_t addresses, const ScanOptions& options);

// What the kernel lets a scan of silent addresses on a directly attached network have out at
// once: a request waits there, holding about 832 bytes of the socket's send buffer and an entry
// of the neighbour table, until the kernel gives up resolving its address (3 s by default).
struct LinkHold {
    std::size_t inFlight = 256;  // min(send buffer / 832, neighbour table)
    std::chrono::milliseconds hold{3000};
};
// From this host's settings (the kernel's defaults where they cannot be read).
LinkHold ReadLinkHold();

// The bound of a scan whose addresses are on one link and mostly silent: ScanBound, or the
// time the kernel takes to let every request out (each batch in flight held, plus the scan's
// longest pause of 100 ms), whichever is longer.
Clock::duration ScanBoundOnOneLink(std::size_t addresses, const ScanOptions& options,
                                   const LinkHold& hold);

// "GO" to every address in turn at the rate, then waits for late replies; with retries, asks
// the addresses that did not answer again, paced alike. Only replies from the device port
// count, and only from the addresses asked unless acceptAnySource. A send the kernel refuses
// for now is tried again after a pause that grows while it keeps refusing (the pace slows
// with it); an address that can never be asked (no route, a broadcast address without
// permission) is counted by reason. `progress` is called now and then. Ends at a stop request.
ScanResult Scan(DevicePort& port, const std::vector<Ipv4>& addresses, const ScanOptions& options,
                const std::function<void(const ScanProgress&)>& progress = {});

// One round, no retries.
ScanResult Scan(DevicePort& port, const std::vector<Ipv4>& addresses, double rate,
                std::chrono::milliseconds wait, bool acceptAnySource,
                const std::function<void(const ScanProgress&)>& progress = {});

}  // namespace device
