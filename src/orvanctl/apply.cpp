// apply: a plan of many devices, several at once.

#include <iostream>
#include <optional>

#include "base/error.h"
#include "device/port.h"
#include "orvanctl/cli.h"
#include "orvanctl/plan.h"

namespace orvanctl {

using device::Outcome;

namespace {

struct ApplyOptions {
    std::string plan;
    int parallel = 8;
    bool time = false, verify = false;
};

int Apply(const Common& c, const ApplyOptions& o) {
    std::vector<PlanEntry> entries;
    try {
        std::string text;
        try {
            text = ReadAll(o.plan, "plan");
        } catch (const base::Error&) {
            throw base::Error("cannot read the plan " + o.plan);
        }
        entries = ParsePlan(text, std::uint16_t(c.port));
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
                std::cout << ResultJson(*done[printed]).dump() << std::endl;
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

}  // namespace

Subcommand AddApply(CLI::App& parent, Common& common) {
    auto o = std::make_shared<ApplyOptions>();
    CLI::App* apply =
        parent.add_subcommand("apply", "Apply a plan to many devices, several at once");
    apply
        ->add_option("PLAN", o->plan,
                     "JSON array of objects, each with \"address\" and any of the settings "
                     "(names as get --json prints them); '-': stdin")
        ->type_name("PLAN.json")
        ->required();
    apply->add_option("--parallel", o->parallel, "devices at once, 1 to 64 (default 8)")
        ->type_name("N")
        ->check(CLI::Range(1, 64).description(""));
    apply->add_flag("--time", o->time, "send the time command after each command");
    apply->add_flag("--verify", o->verify, "read each device again and compare");
    AddCommon(apply, common, true);
    apply->footer(
        "Devices that already match are left alone. Prints one result line per device in plan "
        "order (with --json one JSON object per line) and a summary line (on stderr with "
        "--json); exits with 1 when any device failed.\n\n" +
        std::string(kExitCodes));
    return {apply, [&common, o] { return Apply(common, *o); }};
}

}  // namespace orvanctl
