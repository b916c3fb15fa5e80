#include "orvanctl/cli.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>

#include "base/error.h"
#include "base/local_date_time.h"
#include "device/backup.h"
#include "device/wire_trace.h"
#include "formats/plan.h"
#include "formats/text.h"

namespace orvanctl {

using device::Outcome;
using device::Setting;

const char* const kExitCodes =
    "Exit status:\n"
    "  0    done\n"
    "  1    failed: a device failed in apply, a send failed, or another error\n"
    "  2    usage error or an invalid value; nothing was sent\n"
    "  3    no reply from the device after the retries\n"
    "  4    the reply parsed only in part, or held values out of range (named)\n"
    "  5    the device port is taken on the local address (another program holds it)\n"
    "  6    verify failed: the device reports other settings, or could not be read again\n"
    "  7    scan, backup: no device answered\n"
    "  8    restore, set --from its own file: the device is not the one the file names (its\n"
    "       MAC text differs); nothing sent\n"
    "  9    --log: a command's line could not be written to the audit log, or another program\n"
    "       held its lock past --port-wait; that command and everything after it was not sent\n"
    "  10   restore: some files could not be used (each named, skipped); the others restored\n"
    "  130  interrupted (Ctrl+C or SIGTERM); what was done so far is printed\n"
    "\n"
    "JSON output is one object per line, always (get too); text from devices is converted\n"
    "from code page 1251 to UTF-8.\n";

void Message(const std::string& text) {
    std::cerr << "orvanctl: " << Escaped(text) << '\n';
}

namespace {

// The devices with a line in the audit log ahead of their command.
std::set<device::Ipv4> g_announced;

Json LogLine(device::DevicePort& port, const device::Result& r, bool command, bool time,
             const char* result) {
    Json line = Json::object();
    line["time"] = base::Iso8601(std::chrono::system_clock::now());
    try {
        line["local"] = device::FormatDotted(port.LocalAddressFor(r.address));
    } catch (const device::SendFailed&) {
        line["local"] = nullptr;
    }
    line["address"] = device::FormatDotted(r.address);
    line["mac"] = r.before[Setting::kMac] ? TextJson(*r.before[Setting::kMac]) : Json(nullptr);
    line["before"] = ValuesJson(r.before);
    device::Settings after = r.before;
    for (const device::Change& change : r.changes) after[change.setting] = change.to;
    line["after"] = ValuesJson(after);
    line["command"] = command && !r.command.empty() ? TextJson(r.command) : Json(nullptr);
    line["time_command"] = time;
    line["result"] = result;
    return line;
}

void LogAhead(const Common& c, const device::Task& task, const device::Result& r) {
    if (!c.audit || !c.devicePort) return;
    try {
        c.audit->Append(Dump(LogLine(*c.devicePort, r, !r.command.empty(), task.time, "changed")));
    } catch (const device::Interrupted& e) {
        throw device::Interrupted(std::string(e.what()) + "; nothing sent to " +
                                  device::FormatDotted(r.address) + " or after it");
    } catch (const base::Error& e) {
        throw LogFailed(std::string(e.what()) + "; nothing sent to " +
                        device::FormatDotted(r.address) + " or after it");
    }
    g_announced.insert(r.address);
}

}  // namespace

device::Timing TimingOf(const Common& c) {
    device::Timing t;
    t.timeout = std::chrono::milliseconds(long(c.timeout * 1000 + 0.5));
    t.retries = c.retries;
    if (c.audit) {
        t.beforeCommand = [&c](const device::Task& task, const device::Result& r) {
            LogAhead(c, task, r);
        };
    }
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

std::string Shown(Setting, const std::string& value) {
    return Quoted(value);
}

std::string ResultLine(const device::Result& r) {
    std::string line = device::FormatDotted(r.address) + " " + OutcomeWord(r.outcome);
    std::string changes;
    for (const device::Change& c : r.changes) {
        changes += (changes.empty() ? " " : ", ") + std::string(device::Name(c.setting)) + " " +
                   Shown(c.setting, c.from) + " -> " + Shown(c.setting, c.to);
    }
    line += changes;
    if (r.timeSent) line += "; time sent";
    if (Verified(r)) line += "; verified at " + device::FormatDotted(*r.verifiedAt);
    if (r.outcome == Outcome::kInterrupted && r.message.empty()) {
        if (r.sent.command) line += "; the command went out";
        if (r.sent.time)
            line += (r.sent.command ? ", and the time command" : "; the time command went out");
    }
    if (!r.message.empty()) line += "; " + Printable(r.message);
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

int ExitOf(const device::Result& r) {
    return r.portTaken ? kPortTaken : ExitOf(r.outcome);
}

std::string ReadAll(const std::string& path, const std::string& what) {
    std::ifstream file;
    if (path != "-") {
        file.open(path, std::ios::binary);
        if (!file) throw base::Error(what + ": cannot read " + path);
    }
    std::istream& in = path == "-" ? std::cin : file;
    // Read no further than one byte past the bound: /dev/zero ends here too.
    std::string text;
    char chunk[65536];
    while (text.size() <= kMostPlanBytes && in.read(chunk, sizeof chunk).gcount() > 0)
        text.append(chunk, std::size_t(in.gcount()));
    if (in.bad() || (file.is_open() && !in.eof() && text.size() <= kMostPlanBytes))
        throw base::Error(what + ": cannot read " + path);
    if (text.size() > kMostPlanBytes) {
        throw base::Error(what + ": " + path + " is larger than " +
                          std::to_string(kMostPlanBytes >> 20) + " MiB");
    }
    return text;
}

CLI::Validator Finite() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !std::isfinite(value))
                return "'" + text + "' is not a finite number";
            return {};
        },
        "");
}

void AddCommon(CLI::App* app, Common& c, bool withJson, bool withLog) {
    app->add_option("--port", c.port,
                    "device UDP port, 1 to 65535; bound locally too (default 4000)")
        ->type_name("P")
        ->check(CLI::Range(1, 65535).description(""));
    app->add_option("--timeout", c.timeout,
                    "seconds to wait for each reply, 0.01 to 60 (default 1)")
        ->type_name("SEC")
        ->check(Finite())
        ->check(CLI::Range(0.01, 60.0).description(""));
    app->add_option("--retries", c.retries,
                    "requests sent again after a timeout, 0 to 10 (default 2)")
        ->type_name("N")
        ->check(CLI::Range(0, 10).description(""));
    app->add_option("--source", c.source,
                    "bind the device port on this local address only, and send from it")
        ->type_name("A.B.C.D");
    app->add_option("--port-wait", c.portWait,
                    "seconds to wait while another orvanctl run holds the device port, 0 to "
                    "3600 (default 30); another program holding it is exit 5 at once. With "
                    "--log, also the longest wait for a turn on the audit log's lock (exit 9)")
        ->type_name("SEC")
        ->check(Finite())
        ->check(CLI::Range(0.0, 3600.0).description(""));
    app->add_flag("-v,--verbose", c.verbose,
                  "print every datagram sent and received on stderr, one line each");
    if (withLog) {
        app->add_option("--log", c.log,
                        "append one JSON line per device to FILE before its command is sent "
                        "(never truncated, never through a link); a line that cannot be written "
                        "stops the run before that command (exit 9)")
            ->type_name("FILE");
    }
    AddCaptureOptions(app, c.capture);
    if (withJson) app->add_flag("--json", c.json, "print JSON instead of text, one object a line");
}

device::CsvRow CsvHeader() {
    device::CsvRow row = {"address", "port"};
    for (Setting s : device::kAllSettings) row.push_back(device::Name(s));
    return row;
}

device::CsvRow CsvRowOf(device::Ipv4 address, std::uint16_t port, const device::Settings& s) {
    device::CsvRow row = {device::FormatDotted(address), std::to_string(port)};
    for (Setting setting : device::kAllSettings)
        row.push_back(s[setting] ? CsvCellOf(*s[setting]) : std::string());
    return row;
}

std::unique_ptr<device::DevicePort> OpenPort(const Common& c, bool broadcast) {
    device::PortOptions options;
    options.broadcast = broadcast;
    if (!c.source.empty()) {
        const auto source = device::ParseDotted(c.source);
        if (!source) {
            throw CLI::ValidationError("--source", "'" + c.source +
                                                       "' is not a dotted IPv4 address (four "
                                                       "parts 0 to 255)");
        }
        options.source = *source;
    }
    options.portWait = std::chrono::milliseconds(long(c.portWait * 1000 + 0.5));
    // Tests that run at once in separate network namespaces keep their turns apart.
    if (const char* dir = std::getenv("ORVANCTL_LOCK_DIR")) options.lockDir = dir;
    auto port = std::make_unique<device::DevicePort>(std::uint16_t(c.port), options);
    c.devicePort = port.get();
    // Every tap the options ask for, composed into the port's one.
    std::vector<device::WireTap> taps;
    if (c.verbose) {
        taps.push_back(
            [](const device::WireEvent& e) { std::cerr << device::FormatWireLine(e) << '\n'; });
    }
    if (c.recorder != nullptr) taps.push_back(CaptureTap(*c.recorder));
    if (!taps.empty()) {
        port->SetTap([taps](const device::WireEvent& e) {
            for (const auto& tap : taps) tap(e);
        });
    }
    return port;
}

std::unique_ptr<device::AuditLog> OpenLog(const Common& c) {
    if (c.log.empty()) return nullptr;
    std::unique_ptr<device::AuditLog> log;
    try {
        log = std::make_unique<device::AuditLog>(
            c.log, std::chrono::milliseconds(long(c.portWait * 1000 + 0.5)));
    } catch (const base::Error& e) {
        throw CLI::ValidationError(e.what());
    }
    // Before the device port is taken: a run waiting here holds nothing another one needs.
    try {
        log->WaitForTurn();
    } catch (const device::Interrupted& e) {
        throw device::Interrupted(std::string(e.what()) + "; nothing sent");
    } catch (const base::Error& e) {
        throw LogFailed(std::string(e.what()) + "; nothing sent");
    }
    c.audit = log.get();
    return log;
}

void LogResult(device::AuditLog* log, device::DevicePort& port, const device::Result& r) {
    const device::Sent& sent = r.sent;
    if (!log) return;
    const bool announced = g_announced.erase(r.address) > 0;
    // The line ahead said it all when the command went out and the result is that change.
    if (announced ? r.outcome == Outcome::kChanged : !(sent.command || sent.time)) return;
    static bool said = false;
    const Json line = LogLine(port, r, sent.command, sent.time, OutcomeWord(r.outcome));
    try {
        log->Append(Dump(line));
    } catch (const base::Error& e) {
        if (!said) Message(e.what());
        said = true;
    }
}

Stopped RunToTheEnd(const std::function<void()>& run) {
    try {
        run();
    } catch (const LogFailed& e) {
        return {e.what(), kLogFailed};
    } catch (const device::Interrupted& e) {
        return {e.what(), kInterrupted};
    }
    return {};
}

}  // namespace orvanctl
