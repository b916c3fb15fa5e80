#include "devsim/options.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "base/version.h"

namespace devsim {

namespace {

constexpr const char* kUsage =
    "Usage: orvan-devsim [options]\n"
    "Plays the handset-controller device over UDP for the Orvan program.\n"
    "\n"
    "  --address A.B.C.D  local address to listen on (default 192.168.1.1); the broadcasts\n"
    "                     of its link are heard too\n"
    "  --port P           local port; replies go to the requester at this port (default 4000)\n"
    "  --telemetry-port N telemetry port reported by the device (default 6024)\n"
    "                     (also --telemetry)\n"
    "  --h323-port N      H.323 port (default 6025) (also --h323)\n"
    "  --gateway A.B.C.D  gateway address (default 192.168.119.1)\n"
    "  --ip A.B.C.D       the device's own address (default 192.168.119.141)\n"
    "  --controller A.B.C.D\n"
    "                     handset-controller address (default 192.168.119.240)\n"
    "                     (also --handset)\n"
    "  --mask A.B.C.D     network mask (default 255.255.255.0)\n"
    "  --mac TEXT         MAC address text (default 00-AC-6E-24-18-02)\n"
    "  --state FILE       keep the current settings, clock and counts of what was received\n"
    "                     in FILE (key=value lines)\n"
    "  --millis           stamp each line with milliseconds\n"
    "  --log-rate N       print at most N lines a second, and how many were left out\n"
    "                     (default 100; 0: every line)\n"
    "\n"
    "Misbehaving, for trying the program's limits:\n"
    "  --ignore-commands  apply no configuration or time command (still prints them)\n"
    "  --drop-requests N  leave the first N requests unanswered\n"
    "  --delay MS         answer each request MS milliseconds late\n"
    "  --partial N        send the first N bytes of the configuration reply and its '>'\n"
    "  --cut N            send the first N bytes of the configuration reply alone, as a\n"
    "                     reply cut short on the wire\n"
    "  --swap-after N     after N replies another unit answers: the same settings with\n"
    "                     the MAC text of --swap-mac (default 02-00-5E-FF-FF-FF)\n"
    "  --swap-mac TEXT    that unit's MAC text\n"
    "\n"
    "  --help             show this text\n"
    "  --version          show the version\n"
    "\n"
    "Answers \"GO\" with its configuration reply, applies valid configuration and time\n"
    "commands, and prints every datagram and what it did. Stops on SIGINT or SIGTERM.\n";

[[noreturn]] void BadArgument(const std::string& message) {
    std::fprintf(stderr, "orvan-devsim: %s\nTry 'orvan-devsim --help'.\n", message.c_str());
    std::exit(2);
}

}  // namespace

Options ParseArguments(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (name == "--version") {
            std::puts("orvan-devsim " ORVAN_VERSION);
            std::exit(0);
        }
        if (name == "--ignore-commands") {
            o.misbehave.ignore_commands = true;
            continue;
        }
        if (name == "--millis") {
            o.millis = true;
            continue;
        }
        if (name.rfind("--", 0) != 0) BadArgument("unexpected argument '" + name + "'");
        if (const auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            BadArgument("option " + name + " needs a value");
        }

        const auto quad = [&](Quad& out) {
            const auto q = ParseDotted(value);
            if (!q) BadArgument(name + ": '" + value + "' is not a dotted decimal address");
            out = *q;
        };
        const auto port = [&](std::uint16_t& out, unsigned min) {
            const auto p = ParseDecimalPort(value, min);
            if (!p) {
                BadArgument(name + ": '" + value + "' is not a port number (" +
                            std::to_string(min) + " to 65535)");
            }
            out = static_cast<std::uint16_t>(*p);
        };

        if (name == "--address") {
            quad(o.address);
        } else if (name == "--port") {
            port(o.port, 1);  // the reply goes to this port, so it must be a real one
        } else if (name == "--telemetry-port" || name == "--telemetry") {
            port(o.settings.telemetry, 0);
        } else if (name == "--h323-port" || name == "--h323") {
            port(o.settings.h323, 0);
        } else if (name == "--gateway") {
            quad(o.settings.gateway);
        } else if (name == "--ip") {
            quad(o.settings.ip);
        } else if (name == "--controller" || name == "--handset") {
            quad(o.settings.handset);
        } else if (name == "--mask") {
            quad(o.settings.mask);
        } else if (name == "--mac") {
            // The reply ends at ">", and the state file holds one setting per line.
            if (value.find('>') != std::string::npos || HasControlByte(value))
                BadArgument("--mac: the text must not hold '>' or control characters");
            o.settings.mac = value;
        } else if (name == "--swap-mac") {
            if (value.find('>') != std::string::npos || HasControlByte(value))
                BadArgument("--swap-mac: the text must not hold '>' or control characters");
            o.misbehave.swap_mac = value;
        } else if (name == "--drop-requests" || name == "--delay" || name == "--partial" ||
                   name == "--log-rate" || name == "--cut" || name == "--swap-after") {
            const auto n = Number(value, 10);
            if (!n || *n > 600000)
                BadArgument(name + ": '" + value + "' is not a number up to 600000");
            if (name == "--log-rate") o.log_rate = *n;
            if (name == "--drop-requests") o.misbehave.drop_requests = *n;
            if (name == "--delay") o.misbehave.delay_ms = *n;
            if (name == "--partial") o.misbehave.partial = *n;
            if (name == "--cut") o.misbehave.cut = *n;
            if (name == "--swap-after") o.misbehave.swap_after = *n;
        } else if (name == "--state") {
            if (value.empty()) BadArgument("--state: empty file name");
            o.state_file = value;
        } else {
            BadArgument("unknown option " + name);
        }
    }
    return o;
}

}  // namespace devsim
