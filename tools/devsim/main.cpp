// orvan-devsim: plays the handset-controller device on one UDP address and port, and hears the
// broadcasts of its link, so that the program can be tried without the hardware. It parses and
// formats the device texts itself, as an independent peer, so that a fault in the program's codec
// shows up instead of cancelling out.

#include <sys/select.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "devsim/log.h"
#include "devsim/options.h"
#include "devsim/simulator.h"
#include "devsim/sockets.h"
#include "devsim/text.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace devsim;
    const Options options = ParseArguments(argc, argv);
    Log log(options.millis, options.log_rate);

    // Signals stay blocked except inside pselect, so a stop request cannot slip in between the
    // check of the flag and the wait.
    sigset_t stop_signals, wait_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::optional<DeviceSockets> sockets;
    try {
        sockets.emplace(options.address, options.port, log);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvan-devsim: %s\n", e.what());
        return 1;
    }

    Simulator sim(sockets->own(), options, log);
    if (!sim.SaveState()) return 1;
    log.Print("listening on " + Endpoint(sockets->local()) +
              "; replies go to the requester's address, port " + std::to_string(options.port));
    if (const auto heard = sockets->BroadcastsHeard(); !heard.empty())
        log.Say("hears the broadcasts of its link too: " + heard);
    log.Say("settings: " + Describe(options.settings));

    while (!g_stop) {
        fd_set readable;
        FD_ZERO(&readable);
        const int top = sockets->AddTo(readable);
        timespec timeout{};
        const auto due = sim.NextDue();
        if (due) {
            timeout.tv_sec = due->count() / 1000;
            timeout.tv_nsec = long(due->count() % 1000) * 1000000;
        }
        const int ready =
            pselect(top + 1, &readable, nullptr, nullptr, due ? &timeout : nullptr, &wait_mask);
        if (ready < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "orvan-devsim: pselect: %s\n", std::strerror(errno));
            return 1;
        }
        sim.SendDue();
        if (ready == 0) continue;
        sockets->Receive(readable,
                         [&](const Datagram& d) { sim.Handle(d.data, d.from, d.broadcast); });
    }
    sim.SaveState();
    log.FlushLeftOut();
    log.Print("stopped by a signal");
    return 0;
}
