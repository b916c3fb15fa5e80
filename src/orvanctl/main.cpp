// orvanctl: reads, changes and clock-sets handset-controller devices from the command line,
// one device or many, with the window's own device texts. Results go to stdout, messages to
// stderr. Each subcommand lives in a file of its own; this is their table and what they share.

#include <CLI/CLI.hpp>
#include <csignal>

#include "base/version.h"
#include "device/port.h"
#include "orvanctl/cli.h"

namespace {

using namespace orvanctl;

void OnInterrupt(int signal) {
    device::RequestStop();
    std::signal(signal, SIG_DFL);  // a second one ends at once
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a wait returns at once. SIGTERM (timeout, kill, a service manager) is
    // Ctrl+C too: the results so far and the summary are printed.
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

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
    const Subcommand subcommands[] = {
        AddGet(app, common),  AddSet(app, common),   AddTime(app, common),
        AddScan(app, common), AddApply(app, common),
    };

    try {
        app.parse(argc, argv);
        for (const Subcommand& s : subcommands)
            if (s.app->parsed()) return s.run();
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
