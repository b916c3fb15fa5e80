// scan: the devices that answer in a range of addresses.

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "base/error.h"
#include "config/codec.h"
#include "device/csv.h"
#include "device/port.h"
#include "device/scan.h"
#include "orvanctl/cli.h"
#include "orvanctl/plan.h"

namespace orvanctl {

using device::Setting;

namespace {

struct ScanOptions {
    std::string range;
    double rate = 200, wait = 1.0;
    bool broadcast = false, csv = false;
};

int Scan(const Common& c, const ScanOptions& o) {
    std::vector<device::Ipv4> addresses;
    try {
        addresses = device::ParseRange(o.range, o.broadcast);
    } catch (const base::Error& e) {
        throw CLI::ValidationError("RANGE", e.what());
    }
    const auto port = OpenPort(c, o.broadcast);
    const bool terminal = isatty(STDERR_FILENO) != 0;
    const auto progress = [&](const device::ScanProgress& p) {
        if (!terminal) return;
        std::fprintf(stderr, "\rscan: %zu of %zu asked, %zu answered ", p.sent, p.total,
                     p.answered);
        std::fflush(stderr);
    };
    const auto start = device::Clock::now();
    const device::ScanResult result =
        device::Scan(*port, addresses, o.rate, std::chrono::milliseconds(long(o.wait * 1000)),
                     o.broadcast, progress);
    const double seconds = std::chrono::duration<double>(device::Clock::now() - start).count();
    if (terminal) std::fputs("\r\033[K", stderr);

    if (o.csv) std::cout << device::FormatCsvRow(CsvHeader());
    for (const auto& [address, reply] : result.replies) {
        const device::Settings s = device::FromReply(config::ParseConfigReply(reply));
        if (c.json) {
            std::cout << Dump(SettingsJson(address, port->Port(), s)) << '\n';
            continue;
        }
        if (o.csv) {
            std::cout << device::FormatCsvRow(CsvRowOf(address, port->Port(), s));
            continue;
        }
        std::string line = device::FormatDotted(address);
        for (Setting k :
             {Setting::kMac, Setting::kIp, Setting::kTelemetryPort, Setting::kH323Port}) {
            line += std::string(" ") + device::Name(k) + "=" + Shown(k, s[k].value_or("?"));
        }
        std::cout << line << '\n';
    }
    std::cout.flush();
    if (result.notSent > 0) {
        Message("scan: not asked: " + std::to_string(result.notSent) +
                "; the first: " + result.firstError);
    }
    char summary[160];
    std::snprintf(summary, sizeof summary, "scan: %zu of %zu addresses answered in %.1f s%s",
                  result.replies.size(), addresses.size(), seconds,
                  result.interrupted ? " (interrupted)" : "");
    Message(summary);
    if (result.interrupted) return kInterrupted;
    return result.replies.empty() ? kNoDevice : kOk;
}

}  // namespace

Subcommand AddScan(CLI::App& parent, Common& common) {
    auto o = std::make_shared<ScanOptions>();
    CLI::App* scan = parent.add_subcommand("scan", "Find the devices in a range of addresses");
    scan->add_option("RANGE", o->range, "A.B.C.D/NN (NN 16 to 32) or FIRST-LAST")
        ->type_name("RANGE")
        ->required();
    scan->add_option("--rate", o->rate, "requests per second, 1 to 10000 (default 200)")
        ->type_name("N")
        ->check(Finite())
        ->check(CLI::Range(1.0, 10000.0).description(""));
    scan->add_option("--wait", o->wait,
                     "seconds to wait for replies after the last request, 0 to 60 (default 1)")
        ->type_name("SEC")
        ->check(Finite())
        ->check(CLI::Range(0.0, 60.0).description(""));
    scan->add_flag("--broadcast", o->broadcast,
                   "allow broadcast addresses, and ask a network's broadcast address too");
    AddCommon(scan, common, true, false);
    scan->add_flag("--csv", o->csv, "print CSV: a header row, then one row per device")
        ->excludes("--json");
    scan->footer(
        "Prints one line per device that answered, sorted by address: the address, then "
        "mac=, ip=, telemetry_port=, h323_port=; with --json one JSON object per line. A "
        "progress line goes to stderr while it runs when stderr is a terminal. Takes at most "
        "addresses / rate + wait seconds.\n\n" +
        std::string(kExitCodes));
    return {scan, [&common, o] { return Scan(common, *o); }};
}

}  // namespace orvanctl
