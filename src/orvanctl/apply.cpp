// apply: a plan of many devices, several at once.

#include <iostream>
#include <optional>

#include "base/error.h"
#include "device/csv.h"
#include "device/port.h"
#include "formats/plan.h"
#include "formats/text.h"
#include "orvanctl/cli.h"
#include "orvanctl/progress.h"

namespace orvanctl {

using device::Outcome;

namespace {

struct ApplyOptions {
    std::string plan;
    std::string format;  // "json", "csv", or empty: by the file name
    int parallel = 8;
    bool time = false, verify = false, dryRun = false, csv = false, quiet = false;
};

std::vector<PlanEntry> ReadPlan(const Common& c, const ApplyOptions& o) {
    const bool csv =
        o.format.empty() ? o.plan.size() > 4 && o.plan.ends_with(".csv") : o.format == "csv";
    try {
        const std::string text = ReadAll(o.plan, "plan");
        return csv ? ParseCsvPlan(text, std::uint16_t(c.port))
                   : ParsePlan(text, std::uint16_t(c.port));
    } catch (const base::Error& e) {
        throw CLI::ValidationError(e.what());
    }
}

const device::CsvRow kCsvHeader = {"address",   "result",       "changes",
                                   "command",   "request_sent", "command_sent",
                                   "time_sent", "verified",     "message"};

device::CsvRow CsvOf(const device::Result& r) {
    std::string changes;
    for (const device::Change& c : r.changes) {
        changes += (changes.empty() ? "" : "; ") + std::string(device::Name(c.setting)) + " " +
                   CsvCellOf(c.from) + " -> " + CsvCellOf(c.to);
    }
    const device::Sent& sent = r.sent;
    const auto yes = [](bool b) { return std::string(b ? "yes" : "no"); };
    return {device::FormatDotted(r.address),
            OutcomeWord(r.outcome),
            changes,
            CsvCellOf(r.command),
            yes(sent.request),
            yes(sent.command),
            yes(sent.time),
            yes(Verified(r)),
            CsvCellOf(r.message)};
}

int Apply(const Common& c, const ApplyOptions& o) {
    const std::vector<PlanEntry> entries = ReadPlan(c, o);
    std::vector<device::Task> tasks;
    for (const auto& e : entries) {
        device::Task t;
        t.address = e.address;
        t.wanted = e.wanted;
        t.time = o.time;
        t.verify = o.verify;
        t.dryRun = o.dryRun;
        tasks.push_back(t);
    }
    const auto log = OpenLog(c);
    const auto port = OpenPort(c);
    if (o.csv) std::cout << device::FormatCsvRow(kCsvHeader) << std::flush;
    // Results come in plan order: each is printed once every one before it is done.
    std::vector<std::optional<device::Result>> done(tasks.size());
    std::size_t printed = 0, finished = 0, answered = 0;
    Progress progress("apply", o.quiet);
    const auto print = [&](std::size_t index, const device::Result& r) {
        done[index] = r;
        LogResult(log.get(), *port, r);
        progress.Clear();
        for (; printed < done.size() && done[printed]; ++printed) {
            const device::Result& d = *done[printed];
            if (c.json) {
                std::cout << Dump(ResultJson(d)) << std::endl;
            } else if (o.csv) {
                std::cout << device::FormatCsvRow(CsvOf(d)) << std::flush;
            } else {
                std::string line = ResultLine(d);
                if (d.outcome == Outcome::kDryRun) line += "; command " + Printable(d.command);
                std::cout << line << std::endl;
            }
        }
        answered += r.outcome != Outcome::kNoReply && r.outcome != Outcome::kInterrupted;
        progress.Done(++finished, answered, done.size());
    };
    std::vector<device::Result> results;
    const Stopped stopped = RunToTheEnd(
        [&] { results = device::Run(*port, tasks, std::size_t(o.parallel), TimingOf(c), print); });
    if (stopped.code != kOk)
        for (const auto& d : done) results.push_back(*d);
    progress.Clear();

    std::size_t changed = 0, unchanged = 0;
    std::string failed;
    std::size_t failures = 0;
    bool interrupted = false;
    for (const device::Result& r : results) {
        if (r.outcome == Outcome::kChanged || r.outcome == Outcome::kDryRun) {
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
                          std::to_string(changed) + (o.dryRun ? " would change, " : " changed, ") +
                          std::to_string(unchanged) + " unchanged, " + std::to_string(failures) +
                          " failed";
    if (failures > 0) summary += ": " + failed;
    if (o.dryRun) summary += " (dry run: nothing sent but the requests)";
    if (c.json || o.csv) {
        Message(summary);
    } else {
        std::cout << summary << '\n';
    }
    if (stopped.code != kOk) {
        std::cout.flush();
        Message(stopped.message);
        return stopped.code;
    }
    if (interrupted) return kInterrupted;
    return failures > 0 ? kFailed : kOk;
}

}  // namespace

Subcommand AddApply(CLI::App& parent, Common& common) {
    auto o = std::make_shared<ApplyOptions>();
    CLI::App* apply =
        parent.add_subcommand("apply", "Apply a plan to many devices, several at once");
    apply
        ->add_option("PLAN", o->plan,
                     "JSON array of objects, each with \"address\" and any of the settings "
                     "(names as get --json prints them), or CSV with a header row (a name "
                     "ending in .csv, or --plan-format csv); '-': stdin; at most 16 MiB")
        ->type_name("PLAN")
        ->required();
    apply->add_option("--plan-format", o->format, "json or csv (default: csv for *.csv, else json)")
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"json", "csv"}));
    apply->add_option("--parallel", o->parallel, "devices at once, 1 to 64 (default 8)")
        ->type_name("N")
        ->check(CLI::Range(1, 64).description(""));
    apply->add_flag("--time", o->time, "send the time command after each command");
    apply->add_flag("--verify", o->verify, "read each device again and compare");
    apply->add_flag("--dry-run", o->dryRun,
                    "read every device and print what would change and the command bytes; "
                    "send nothing but the requests");
    apply->add_flag("--quiet", o->quiet, kQuietHelp);
    AddCommon(apply, common, true);
    apply->add_flag("--csv", o->csv, "print the results as CSV with a header row")
        ->excludes("--json");
    apply->footer(
        "The plan is checked whole before anything is sent: it is refused (exit 2, every "
        "offending entry named) when an address comes twice, two entries set one new ip, a new "
        "ip is the address of another listed device that keeps it, or two entries set one mac. "
        "Devices that already match are left alone. Prints one result line per device in plan "
        "order (with --json one JSON object per line, with --csv one row) and a summary line "
        "(on stderr with --json and --csv); exits with 1 when any device failed.\n\n" +
        std::string(kExitCodes));
    return {apply, [&common, o] { return Apply(common, *o); }};
}

}  // namespace orvanctl
