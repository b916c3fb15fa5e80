// scan: the devices that answer in a range of addresses.

#include <cstdio>
#include <iostream>

#include "base/error.h"
#include "device/csv.h"
#include "device/port.h"
#include "device/scan.h"
#include "formats/plan.h"
#include "orvanctl/cli.h"
#include "orvanctl/progress.h"

namespace orvanctl {

using device::Setting;

namespace {

struct ScanOptions {
    std::string range;
    double rate = 200, wait = 1.0;
    bool broadcast = false, csv = false, quiet = false;
    const CLI::Option* waitGiven = nullptr;
    const CLI::Option* retriesGiven = nullptr;
};

int Scan(const Common& c, const ScanOptions& o) {
    std::vector<device::Ipv4> addresses;
    try {
        addresses = device::ParseRange(o.range, o.broadcast);
    } catch (const base::Error& e) {
        throw CLI::ValidationError("RANGE", e.what());
    }
    const auto port = OpenPort(c, o.broadcast);
    Progress progress("scan", o.quiet);
    device::ScanOptions options;
    options.rate = o.rate;
    // The wait after the last request is --timeout unless --wait says otherwise; the rounds
    // of retries only when asked (each costs the addresses that did not answer at the rate).
    const double wait = o.waitGiven->count() > 0 ? o.wait : c.timeout;
    options.wait = std::chrono::milliseconds(long(wait * 1000 + 0.5));
    options.retries = o.retriesGiven->count() > 0 ? c.retries : 0;
    options.acceptAnySource = o.broadcast;
    const auto start = device::Clock::now();
    const device::ScanResult result =
        device::Scan(*port, addresses, options,
                     [&](const device::ScanProgress& p) { progress.Scan(p, options); });
    const double seconds = std::chrono::duration<double>(device::Clock::now() - start).count();
    progress.Clear();

    if (o.csv) std::cout << device::FormatCsvRow(CsvHeader());
    std::vector<std::string> partial;  // said on stderr once the results are out
    for (const auto& [address, reply] : result.replies) {
        const device::ParsedReply parsed = device::ParseReply(reply);
        const device::Settings& s = parsed.settings;
        if (parsed.Partial())
            partial.push_back(device::FormatDotted(address) + ": " + parsed.Why());
        if (c.json) {
            std::cout << Dump(SettingsJson(address, port->Port(), s, parsed.outOfRange)) << '\n';
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
    for (const std::string& why : partial) Message(why);
    if (result.notSent > 0) {
        std::string reasons;
        for (const auto& [reason, count] : result.notAsked)
            reasons += (reasons.empty() ? "" : ", ") + reason + ": " + std::to_string(count);
        Message("scan: not asked: " + std::to_string(result.notSent) + " (" + reasons +
                "); the first: " + result.firstError);
    }
    if (result.refusedForNow > 0) {
        char paused[160];
        std::snprintf(paused, sizeof paused,
                      "scan: the kernel refused %zu sends for a moment (a full neighbour table); "
                      "they went out after %.1f s of pauses",
                      result.refusedForNow, std::chrono::duration<double>(result.paused).count());
        Message(paused);
    }
    char summary[160];
    // Each device on a segment answers a broadcast: the replies are not a share of the asked.
    std::snprintf(summary, sizeof summary,
                  o.broadcast ? "scan: %zu devices answered %zu addresses asked in %.1f s%s"
                              : "scan: %zu of %zu addresses answered in %.1f s%s",
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
    o->waitGiven =
        scan->add_option(
                "--wait", o->wait,
                "seconds to wait for replies after the last request of each round, 0 to 60 "
                "(default: --timeout)")
            ->type_name("SEC")
            ->check(Finite())
            ->check(CLI::Range(0.0, 60.0).description(""));
    scan->add_flag("--broadcast", o->broadcast,
                   "allow broadcast addresses, and ask a network's broadcast address too");
    AddCommon(scan, common, true, false);
    o->retriesGiven = scan->get_option("--retries");
    scan->get_option("--retries")
        ->description(
            "rounds more for the addresses that did not answer, paced like the "
            "first, 0 to 10 (default 0 for scan)");
    scan->add_flag("--quiet", o->quiet, kQuietHelp);
    scan->add_flag("--csv", o->csv, "print CSV: a header row, then one row per device")
        ->excludes("--json");
    scan->footer(
        "Prints one line per device that answered, sorted by address: the address, then "
        "mac=, ip=, telemetry_port=, h323_port=; with --json one JSON object per line. A "
        "reply that parsed only in part shows ? (JSON: null) where a value did not convert or "
        "was out of range, and is named on stderr with the reason. A "
        "progress line goes to stderr while it runs: live on a terminal, else every 10 s once "
        "it has run that long (not with --quiet). Takes at most "
        "(retries + 1) x (addresses / rate + wait) seconds, plus the pauses the kernel asks "
        "for on one link when its neighbour table is full (about 3 s per table's worth of "
        "addresses that do not answer; said on stderr). Addresses that cannot be asked are "
        "counted by reason.\n\n" +
        std::string(kExitCodes));
    return {scan, [&common, o] { return Scan(common, *o); }};
}

}  // namespace orvanctl
