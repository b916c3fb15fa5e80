// orvanctl: reads, changes and clock-sets handset-controller devices from the command line,
// one device or many, with the window's own device texts. Results go to stdout, messages to
// stderr.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "base/error.h"
#include "base/version.h"
#include "config/codec.h"
#include "device/port.h"
#include "device/runner.h"
#include "device/scan.h"
#include "orvanctl/plan.h"
#include "orvanctl/text.h"

namespace {

using device::Outcome;
using device::Setting;
using json = nlohmann::ordered_json;

enum Exit {
    kOk = 0,
    kFailed = 1,
    kUsage = 2,
    kNoReply = 3,
    kPartial = 4,
    kPortTaken = 5,
    kVerifyFailed = 6,
    kNoDevice = 7,
    kInterrupted = 130,
};

constexpr const char* kExitCodes =
    "Exit status:\n"
    "  0    done\n"
    "  1    failed: a device failed in apply, a send failed, or another error\n"
    "  2    usage error or an invalid value; nothing was sent\n"
    "  3    no reply from the device after the retries\n"
    "  4    the reply parsed only in part\n"
    "  5    the device port is taken on the local address (another program holds it)\n"
    "  6    verify failed: the device reports other settings, or could not be read again\n"
    "  7    scan: no device answered\n"
    "  130  interrupted (Ctrl+C); what was done so far is printed\n";

// Set by the command line, read by every subcommand.
struct Common {
    int port = 4000;
    double timeout = 1.0;
    int retries = 2;
    bool json = false;
};

void Message(const std::string& text) {
    std::cerr << "orvanctl: " << text << '\n';
}

void OnInterrupt(int) {
    device::RequestStop();
    std::signal(SIGINT, SIG_DFL);  // a second Ctrl+C ends at once
}

device::Timing TimingOf(const Common& c) {
    device::Timing t;
    t.timeout = std::chrono::milliseconds(long(c.timeout * 1000 + 0.5));
    t.retries = c.retries;
    return t;
}

device::Ipv4 AddressArgument(const std::string& text) {
    const auto address = device::ParseDotted(text);
    if (!address) {
        throw CLI::ValidationError("ADDRESS", "'" + text +
                                                  "' is not a dotted IPv4 address (four parts "
                                                  "0 to 255)");
    }
    return *address;
}

// "6024" or "192.168.1.1" as the operator reads it; the MAC in the terminal's UTF-8.
std::string Shown(Setting s, const std::string& value) {
    return s == Setting::kMac ? orvanctl::Utf8FromCp1251(value) : value;
}

std::string ResultLine(const device::Result& r) {
    std::string line = device::FormatDotted(r.address) + " " + orvanctl::OutcomeWord(r.outcome);
    std::string changes;
    for (const device::Change& c : r.changes) {
        changes += (changes.empty() ? " " : ", ") + std::string(device::Name(c.setting)) + " " +
                   Shown(c.setting, c.from) + " -> " + Shown(c.setting, c.to);
    }
    line += changes;
    if (r.timeSent) line += "; time sent";
    if (r.outcome == Outcome::kChanged && r.verifiedAt)
        line += "; verified at " + device::FormatDotted(*r.verifiedAt);
    if (!r.message.empty()) line += "; " + r.message;
    return line;
}

int ExitOf(Outcome o) {
    switch (o) {
        case Outcome::kNoReply:
            return kNoReply;
        case Outcome::kPartial:
            return kPartial;
        case Outcome::kVerifyFailed:
            return kVerifyFailed;
        case Outcome::kFailed:
            return kFailed;
        case Outcome::kInterrupted:
            return kInterrupted;
        default:
            return kOk;
    }
}

// ---- get ------------------------------------------------------------------------------------

int Get(const Common& c, device::Ipv4 address) {
    device::DevicePort port(std::uint16_t(c.port), false);
    device::Task task;
    task.address = address;
    const device::Result r = device::Run(port, {task}, 1, TimingOf(c)).front();
    if (r.outcome == Outcome::kRead || r.outcome == Outcome::kPartial) {
        if (c.json) {
            std::cout << orvanctl::SettingsJson(address, port.Port(), r.before).dump(2) << '\n';
        } else {
            for (Setting s : device::kAllSettings) {
                if (const auto& v = r.before[s]) {
                    std::printf("%-15s %s\n", device::Name(s), Shown(s, *v).c_str());
                }
            }
        }
    }
    if (!r.message.empty()) Message(device::FormatDotted(address) + ": " + r.message);
    return ExitOf(r.outcome);
}

// ---- set ------------------------------------------------------------------------------------

struct SetOptions {
    std::string values[device::kSettingCount];
    CLI::Option* given[device::kSettingCount] = {};
    std::string from;
    bool time = false, verify = false, dryRun = false;
};

std::string ReadAll(const std::string& path) {
    if (path == "-") {
        return std::string(std::istreambuf_iterator<char>(std::cin), {});
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw base::Error("--from: cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Everything the command line and the file ask for, checked before anything is sent.
device::Settings Wanted(const Common& c, const SetOptions& o) {
    device::Settings wanted;
    if (!o.from.empty()) {
        json object;
        try {
            object = json::parse(ReadAll(o.from));
        } catch (const json::parse_error& e) {
            throw CLI::ValidationError("--from", o.from + " is not JSON: " + e.what());
        }
        try {
            wanted = orvanctl::WantedSettings(object, std::uint16_t(c.port), "--from " + o.from);
        } catch (const base::Error& e) {
            throw CLI::ValidationError(e.what());
        }
    }
    for (Setting s : device::kAllSettings) {
        const std::size_t i = std::size_t(s);
        if (!o.given[i] || o.given[i]->count() == 0) continue;
        std::string text = o.values[i];
        if (s == Setting::kMac) {
            const auto bytes = orvanctl::Cp1251FromUtf8(text);
            if (!bytes) throw CLI::ValidationError("--mac", "a character code page 1251 lacks");
            text = *bytes;
        }
        const device::Checked checked = device::Check(s, text);
        if (!checked.error.empty())
            throw CLI::ValidationError(o.given[i]->get_name(), checked.error);
        wanted[s] = checked.value;
    }
    bool any = false;
    for (const auto& v : wanted.values) any = any || v.has_value();
    if (!any) throw CLI::ValidationError("set", "no setting to change (see --help)");
    return wanted;
}

int Set(const Common& c, device::Ipv4 address, const SetOptions& o) {
    device::Task task;
    task.address = address;
    task.wanted = Wanted(c, o);
    task.time = o.time;
    task.verify = o.verify;
    task.dryRun = o.dryRun;
    device::DevicePort port(std::uint16_t(c.port), false);
    const device::Result r = device::Run(port, {task}, 1, TimingOf(c)).front();
    if (c.json) {
        json out = orvanctl::ResultJson(r);
        if (o.dryRun) out["command"] = orvanctl::Utf8FromCp1251(r.command);
        std::cout << out.dump() << '\n';
    } else {
        std::cout << ResultLine(r) << '\n';
        if (r.outcome == Outcome::kDryRun) std::cout << "command " << r.command << '\n';
    }
    if (r.outcome != Outcome::kChanged && r.outcome != Outcome::kUnchanged &&
        r.outcome != Outcome::kDryRun && !r.message.empty()) {
        Message(device::FormatDotted(address) + ": " + r.message);
    }
    return ExitOf(r.outcome);
}

// ---- time -----------------------------------------------------------------------------------

int Time(const Common& c, device::Ipv4 address) {
    device::DevicePort port(std::uint16_t(c.port), false);
    device::SendTime(port, address);
    std::cout << device::FormatDotted(address) << " time sent\n";
    return kOk;
}

// ---- scan -----------------------------------------------------------------------------------

struct ScanOptions {
    std::string range;
    double rate = 200, wait = 1.0;
    bool broadcast = false;
};

int Scan(const Common& c, const ScanOptions& o) {
    std::vector<device::Ipv4> addresses;
    try {
        addresses = device::ParseRange(o.range, o.broadcast);
    } catch (const base::Error& e) {
        throw CLI::ValidationError("RANGE", e.what());
    }
    device::DevicePort port(std::uint16_t(c.port), o.broadcast);
    const bool terminal = isatty(STDERR_FILENO) != 0;
    const auto progress = [&](const device::ScanProgress& p) {
        if (!terminal) return;
        std::fprintf(stderr, "\rscan: %zu of %zu asked, %zu answered ", p.sent, p.total,
                     p.answered);
        std::fflush(stderr);
    };
    const auto start = device::Clock::now();
    const device::ScanResult result =
        device::Scan(port, addresses, o.rate, std::chrono::milliseconds(long(o.wait * 1000)),
                     o.broadcast, progress);
    const double seconds = std::chrono::duration<double>(device::Clock::now() - start).count();
    if (terminal) std::fputs("\r\033[K", stderr);

    for (const auto& [address, reply] : result.replies) {
        const device::Settings s = device::FromReply(config::ParseConfigReply(reply));
        if (c.json) {
            std::cout << orvanctl::SettingsJson(address, port.Port(), s).dump() << '\n';
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

// ---- apply ----------------------------------------------------------------------------------

struct ApplyOptions {
    std::string plan;
    int parallel = 8;
    bool time = false, verify = false;
};

int Apply(const Common& c, const ApplyOptions& o) {
    std::vector<orvanctl::PlanEntry> entries;
    try {
        std::string text;
        try {
            text = ReadAll(o.plan);
        } catch (const base::Error&) {
            throw base::Error("cannot read the plan " + o.plan);
        }
        entries = orvanctl::ParsePlan(text, std::uint16_t(c.port));
    } catch (const base::Error& e) {
        throw CLI::ValidationError(e.what());
    }
    std::vector<device::Task> tasks;
    for (const auto& e : entries) {
        device::Task t;
        t.address = e.address;
        t.wanted = e.wanted;
        t.time = o.time;
        t.verify = o.verify;
        tasks.push_back(t);
    }
    // Results come in plan order: each is printed once every one before it is done.
    std::vector<std::optional<device::Result>> done(tasks.size());
    std::size_t printed = 0;
    const auto print = [&](std::size_t index, const device::Result& r) {
        done[index] = r;
        for (; printed < done.size() && done[printed]; ++printed) {
            if (c.json) {
                std::cout << orvanctl::ResultJson(*done[printed]).dump() << std::endl;
            } else {
                std::cout << ResultLine(*done[printed]) << std::endl;
            }
        }
    };
    device::DevicePort port(std::uint16_t(c.port), false);
    const std::vector<device::Result> results =
        device::Run(port, tasks, std::size_t(o.parallel), TimingOf(c), print);

    std::size_t changed = 0, unchanged = 0;
    std::string failed;
    std::size_t failures = 0;
    bool interrupted = false;
    for (const device::Result& r : results) {
        if (r.outcome == Outcome::kChanged) {
            ++changed;
        } else if (r.outcome == Outcome::kUnchanged) {
            ++unchanged;
        } else {
            interrupted = interrupted || r.outcome == Outcome::kInterrupted;
            ++failures;
            failed += (failed.empty() ? "" : " ") + device::FormatDotted(r.address);
        }
    }
    std::string summary = "summary: " + std::to_string(results.size()) + " devices, " +
                          std::to_string(changed) + " changed, " + std::to_string(unchanged) +
                          " unchanged, " + std::to_string(failures) + " failed";
    if (failures > 0) summary += ": " + failed;
    if (c.json) {
        Message(summary);
    } else {
        std::cout << summary << '\n';
    }
    if (interrupted) return kInterrupted;
    return failures > 0 ? kFailed : kOk;
}

// ---- command line ---------------------------------------------------------------------------

void AddCommon(CLI::App* app, Common& c, bool withJson) {
    app->add_option("--port", c.port,
                    "device UDP port, 1 to 65535; bound locally too (default 4000)")
        ->type_name("P")
        ->check(CLI::Range(1, 65535).description(""));
    app->add_option("--timeout", c.timeout,
                    "seconds to wait for each reply, 0.01 to 60 (default 1)")
        ->type_name("SEC")
        ->check(CLI::Range(0.01, 60.0).description(""));
    app->add_option("--retries", c.retries,
                    "requests sent again after a timeout, 0 to 10 (default 2)")
        ->type_name("N")
        ->check(CLI::Range(0, 10).description(""));
    if (withJson) app->add_flag("--json", c.json, "print JSON instead of text");
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);  // no SA_RESTART: a wait returns at once

    CLI::App app{
        "Reads, changes and clock-sets handset-controller devices over UDP: one device, a\n"
        "range of addresses, or a plan of many. Addresses are dotted IPv4. The device answers\n"
        "at the requester's address and its own port, so that port is bound on the local\n"
        "address that routes to the device.",
        "orvanctl"};
    app.set_version_flag("--version", std::string("orvanctl ") + ORVAN_VERSION);
    app.require_subcommand(1);
    app.footer(kExitCodes);

    Common common;
    std::string address;

    CLI::App* get = app.add_subcommand("get", "Read the seven settings of one device");
    get->add_option("ADDRESS", address, "device address (dotted IPv4)")
        ->type_name("A.B.C.D")
        ->required();
    AddCommon(get, common, true);
    get->footer(
        "Prints one \"name value\" line per setting, or with --json one JSON object (see the "
        "README, \"Scripting and many devices\"). A reply that parses only in part prints what "
        "parsed and exits with 4.\n\n" +
        std::string(kExitCodes));

    SetOptions set_options;
    CLI::App* set = app.add_subcommand("set", "Read a device, change the settings named, write");
    set->add_option("ADDRESS", address, "device address (dotted IPv4)")
        ->type_name("A.B.C.D")
        ->required();
    const std::pair<Setting, const char*> set_flags[] = {
        {Setting::kTelemetryPort, "--telemetry-port"},
        {Setting::kH323Port, "--h323-port"},
        {Setting::kGateway, "--gateway"},
        {Setting::kIp, "--ip"},
        {Setting::kController, "--controller"},
        {Setting::kMask, "--mask"},
        {Setting::kMac, "--mac"}};
    for (const auto& [setting, flag] : set_flags) {
        const std::size_t i = std::size_t(setting);
        const bool port = i < 2, mac = setting == Setting::kMac;
        set_options.given[i] = set->add_option(flag, set_options.values[i],
                                               std::string("new ") + device::Name(setting) +
                                                   (port  ? ", 1 to 65535"
                                                    : mac ? " text, without '>'"
                                                          : ""))
                                   ->type_name(port  ? "N"
                                               : mac ? "TEXT"
                                                     : "A.B.C.D");
    }
    set->add_option("--from", set_options.from,
                    "take the settings from FILE ('-': stdin), the JSON that get --json prints; "
                    "options given beside it win")
        ->type_name("FILE");
    set->add_flag("--time", set_options.time, "send the time command 500 ms after the command");
    set->add_flag("--verify", set_options.verify,
                  "read the device again (at its new address when --ip changes it) and fail "
                  "unless every setting matches");
    set->add_flag("--dry-run", set_options.dryRun,
                  "print the command bytes; send nothing but the request");
    AddCommon(set, common, true);
    set->footer(
        "Every value is checked before anything is sent. Prints one result line: the address, "
        "the result (changed, unchanged, dry-run, no-reply, partial, verify-failed, failed) "
        "and each change as old -> new; with --json one JSON object.\n\n" +
        std::string(kExitCodes));

    CLI::App* time = app.add_subcommand("time", "Set a device's clock to this host's local time");
    time->add_option("ADDRESS", address, "device address (dotted IPv4)")
        ->type_name("A.B.C.D")
        ->required();
    time->add_option("--port", common.port, "device UDP port, 1 to 65535 (default 4000)")
        ->type_name("P")
        ->check(CLI::Range(1, 65535).description(""));
    time->footer(std::string("Sends \"USTTIME<yy*mm*dd*0w*hh*mm*ss>\" from the device port and "
                             "waits for nothing.\n\n") +
                 kExitCodes);

    ScanOptions scan_options;
    CLI::App* scan = app.add_subcommand("scan", "Find the devices in a range of addresses");
    scan->add_option("RANGE", scan_options.range, "A.B.C.D/NN (NN 16 to 32) or FIRST-LAST")
        ->type_name("RANGE")
        ->required();
    scan->add_option("--rate", scan_options.rate, "requests per second, 1 to 10000 (default 200)")
        ->type_name("N")
        ->check(CLI::Range(1.0, 10000.0).description(""));
    scan->add_option("--wait", scan_options.wait,
                     "seconds to wait for replies after the last request, 0 to 60 (default 1)")
        ->type_name("SEC")
        ->check(CLI::Range(0.0, 60.0).description(""));
    scan->add_flag("--broadcast", scan_options.broadcast,
                   "allow broadcast addresses, and ask a network's broadcast address too");
    AddCommon(scan, common, true);
    scan->footer(
        "Prints one line per device that answered, sorted by address: the address, then "
        "mac=, ip=, telemetry_port=, h323_port=; with --json one JSON object per line. A "
        "progress line goes to stderr while it runs when stderr is a terminal. Takes at most "
        "addresses / rate + wait seconds.\n\n" +
        std::string(kExitCodes));

    ApplyOptions apply_options;
    CLI::App* apply = app.add_subcommand("apply", "Apply a plan to many devices, several at once");
    apply
        ->add_option("PLAN", apply_options.plan,
                     "JSON array of objects, each with \"address\" and any of the settings "
                     "(names as get --json prints them); '-': stdin")
        ->type_name("PLAN.json")
        ->required();
    apply->add_option("--parallel", apply_options.parallel, "devices at once, 1 to 64 (default 8)")
        ->type_name("N")
        ->check(CLI::Range(1, 64).description(""));
    apply->add_flag("--time", apply_options.time, "send the time command after each command");
    apply->add_flag("--verify", apply_options.verify, "read each device again and compare");
    AddCommon(apply, common, true);
    apply->footer(
        "Devices that already match are left alone. Prints one result line per device in plan "
        "order (with --json one JSON object per line) and a summary line (on stderr with "
        "--json); exits with 1 when any device failed.\n\n" +
        std::string(kExitCodes));

    try {
        app.parse(argc, argv);
        if (get->parsed()) return Get(common, AddressArgument(address));
        if (set->parsed()) return Set(common, AddressArgument(address), set_options);
        if (time->parsed()) return Time(common, AddressArgument(address));
        if (scan->parsed()) return Scan(common, scan_options);
        if (apply->parsed()) return Apply(common, apply_options);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::Error& e) {
        Message(e.what());
        return kUsage;
    } catch (const device::PortTaken& e) {
        Message(e.what());
        return kPortTaken;
    } catch (const std::exception& e) {
        Message(e.what());
        return kFailed;
    }
    return kUsage;
}
