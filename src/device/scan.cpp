#include "device/scan.h"

#include <algorithm>
#include <unordered_set>

#include "config/codec.h"

namespace device {

ScanResult Scan(DevicePort& port, const std::vector<Ipv4>& addresses, double rate,
                std::chrono::milliseconds wait, bool acceptAnySource,
                const std::function<void(const ScanProgress&)>& progress) {
    using std::chrono::duration;
    ScanResult result;
    const std::unordered_set<Ipv4> asked(addresses.begin(), addresses.end());
    const std::string request = config::RequestText();
    const auto interval = std::chrono::duration_cast<Clock::duration>(duration<double>(1.0 / rate));
    const auto start = Clock::now();
    auto nextProgress = start;
    std::vector<Datagram> received;

    const auto take = [&] {
        for (Datagram& d : received) {
            if (!acceptAnySource && !asked.count(d.from)) continue;
            result.replies.emplace(d.from, std::move(d.bytes));
        }
        received.clear();
    };
    const auto report = [&](bool force) {
        if (!progress || (!force && Clock::now() < nextProgress)) return;
        nextProgress = Clock::now() + std::chrono::milliseconds(100);
        progress({result.sent + result.notSent, addresses.size(), result.replies.size()});
    };

    for (std::size_t i = 0; i < addresses.size() && !StopRequested(); ++i) {
        // Paced from the start, so that a slow send does not make the rest faster or slower.
        const auto due = start + interval * i;
        while (Clock::now() < due && !StopRequested()) {
            port.Receive(due, received);
            take();
            report(false);
        }
        if (StopRequested()) break;
        try {
            port.Send(addresses[i], request);
            ++result.sent;
        } catch (const SendFailed& e) {
            if (result.notSent++ == 0) result.firstError = e.what();
        }
        report(false);
    }
    const auto end = Clock::now() + wait;
    while (Clock::now() < end && !StopRequested()) {
        port.Receive(end, received);
        take();
        report(false);
    }
    take();
    report(true);
    result.interrupted = StopRequested();
    return result;
}

}  // namespace device
