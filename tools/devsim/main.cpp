// orvan-devsim: plays the handset-controller device on one UDP address and port, so that the
// program can be tried without the hardware. It parses and formats the device texts itself, as
// an independent peer, so that a fault in the program's codec shows up instead of cancelling out.

#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "devsim/log.h"
#include "devsim/options.h"
#include "devsim/simulator.h"
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

    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        std::fprintf(stderr, "orvan-devsim: socket: %s\n", std::strerror(errno));
        return 1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(options.port);
    std::memcpy(&local.sin_addr, options.address.data(), 4);
    if (bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "orvan-devsim: cannot bind %s: %s\n", Endpoint(local).c_str(),
                     std::strerror(errno));
        return 1;
    }

    Simulator sim(sock, options, log);
    if (!sim.SaveState()) return 1;
    log.Print("listening on " + Endpoint(local) + "; replies go to the requester's address, port " +
              std::to_string(options.port));
    log.Say("settings: " + Describe(options.settings));

    std::vector<char> buffer(65536);
    while (!g_stop) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(sock, &readable);
        timespec timeout{};
        const auto due = sim.NextDue();
        if (due) {
            timeout.tv_sec = due->count() / 1000;
            timeout.tv_nsec = long(due->count() % 1000) * 1000000;
        }
        const int ready =
            pselect(sock + 1, &readable, nullptr, nullptr, due ? &timeout : nullptr, &wait_mask);
        if (ready < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "orvan-devsim: pselect: %s\n", std::strerror(errno));
            return 1;
        }
        sim.SendDue();
        if (ready == 0) continue;
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        const ssize_t n = recvfrom(sock, buffer.data(), buffer.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n < 0) {
            // A failed receive loses one datagram; the device goes on listening.
            log.Say(std::string("receive failed: ") + std::strerror(errno));
            continue;
        }
        sim.Handle(std::string_view(buffer.data(), static_cast<std::size_t>(n)), from);
    }
    sim.SaveState();
    log.FlushLeftOut();
    log.Print("stopped by a signal");
    close(sock);
    return 0;
}
