#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <string>

#include "device/address.h"
#include "device/audit_log.h"
#include "device/csv.h"
#include "device/port.h"
#include "device/runner.h"
#include "orvanctl/capture_option.h"

// What every orvanctl subcommand shares: the common options, exit codes and messages.
namespace formats {}

namespace orvanctl {

// The fleet's file forms are this program's own vocabulary.
using namespace formats;

enum Exit {
    kOk = 0,
    kFailed = 1,
    kUsage = 2,
    kNoReply = 3,
    kPartial = 4,
    kPortTaken = 5,
    kVerifyFailed = 6,
    kNoDevice = 7,
    kNotThatDevice = 8,
    kLogFailed = 9,
    kInterrupted = 130,
};

extern const char* const kExitCodes;

// Set by the command line, read by every subcommand.
struct Common {
    int port = 4000;
    double timeout = 1.0;
    int retries = 2;
    bool json = false;
    std::string source;    // empty: the local address that routes to each device
    double portWait = 30;  // seconds to wait for another orvanctl run on the port
    bool verbose = false;  // every datagram on stderr
    std::string log;       // the audit log, or empty
    CaptureOptions capture;
    capture::Recorder* recorder = nullptr;  // opened after parsing, when --capture is given
    // The run's audit log and device port once opened (OpenLog, OpenPort), for the line that
    // goes before each command.
    mutable device::AuditLog* audit = nullptr;
    mutable device::DevicePort* devicePort = nullptr;
};

// The audit line of a command could not be written: the command was not sent, the run ends.
class LogFailed : public base::Error {
public:
    using base::Error::Error;
};

// Why a run of several devices ended before its last device, and its exit code: a failed audit
// line or a stop. Every device is reported all the same, the message last.
struct Stopped {
    std::string message;
    int code = kOk;
};
Stopped RunToTheEnd(const std::function<void()>& run);

// One subcommand: its parsed options live in the closure of `run`.
struct Subcommand {
    CLI::App* app = nullptr;
    std::function<int()> run;
};

void Message(const std::string& text);

// The timing the options ask for, with the audit log's line before each command.
device::Timing TimingOf(const Common& c);

device::Ipv4 AddressArgument(const std::string& text);

// A device value as the operator reads it: UTF-8, control bytes as \xNN.
std::string Shown(device::Setting s, const std::string& value);

std::string ResultLine(const device::Result& r);

int ExitOf(device::Outcome o);
// The same, and 5 for a device the run could not reach because its port was taken there.
int ExitOf(const device::Result& r);

// The whole of a file, or of stdin for "-". Throws base::Error.
std::string ReadAll(const std::string& path, const std::string& what);

// Refuses NaN and infinity, which pass every range check.
CLI::Validator Finite();

// The options every subcommand has; --json where the output is tabular, --log where something
// is sent.
void AddCommon(CLI::App* app, Common& c, bool withJson, bool withLog = true);

// The device port as the common options ask: the source address, the port wait, the wire
// trace with -v. Throws CLI::ValidationError for a source that is no address.
std::unique_ptr<device::DevicePort> OpenPort(const Common& c, bool broadcast = false);

// The audit log of --log, opened before anything is sent, or nothing. Throws
// CLI::ValidationError when it cannot be opened.
std::unique_ptr<device::AuditLog> OpenLog(const Common& c);

// With --log, TimingOf's runs write a line in the audit log before each device's first
// command goes out, its "result" "changed"; a line that cannot be written throws LogFailed
// and the command is not sent. LogResult, once the result is known, adds a second line for
// a device so announced whose result is not "changed". A log that cannot be written then is
// said once on stderr; the run goes on.
void LogResult(device::AuditLog* log, device::DevicePort& port, const device::Result& r);

// The CSV of get and scan: "address", "port", then the seven settings as get --json names
// them; an empty cell where a setting did not convert.
device::CsvRow CsvHeader();
device::CsvRow CsvRowOf(device::Ipv4 address, std::uint16_t port, const device::Settings& s);

Subcommand AddGet(CLI::App& parent, Common& common);
Subcommand AddSet(CLI::App& parent, Common& common);
Subcommand AddTime(CLI::App& parent, Common& common);
Subcommand AddScan(CLI::App& parent, Common& common);
Subcommand AddApply(CLI::App& parent, Common& common);
Subcommand AddBackup(CLI::App& parent, Common& common);
Subcommand AddRestore(CLI::App& parent, Common& common);

}  // namespace orvanctl
