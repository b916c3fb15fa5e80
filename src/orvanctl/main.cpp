// orvanctl: reads, changes and clock-sets handset-controller devices from the command line,
// one device or many, with the window's own device texts. Results go to stdout, messages to
// stderr. Each subcommand lives in a file of its own; this is their table and what they share.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "base/version.h"
#include "device/port.h"
#include "orvanctl/cli.h"

namespace {

using namespace orvanctl;

void OnInterrupt(int signal) {
    device::RequestStop();
    std::signal(signal, SIG_DFL);  // a second one ends at once
}

// Edits to turn one word into the other, a swap of neighbours counting as one.
std::size_t Distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// "; did you mean 'get'? See HELP" when one of `valid` is close enough to be what was meant,
// else "; see HELP".
std::string Suggestion(const std::string& word, const std::vector<std::string>& valid,
                       const std::string& help) {
    std::string best;
    std::size_t bestDistance = std::max<std::size_t>(2, word.size() / 3) + 1;
    for (const std::string& v : valid) {
        const std::size_t d = Distance(word, v);
        if (d < bestDistance) {
            best = v;
            bestDistance = d;
        }
    }
    return best.empty() ? "; see " + help : "; did you mean '" + best + "'? See " + help;
}

// A mistyped subcommand or option, named with the closest valid one, before CLI11 reads the
// line (its own message names neither). Empty when the line has none.
std::string Mistyped(const CLI::App& app, int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') return {};
    const std::string word = argv[1];
    std::vector<std::string> names;
    const CLI::App* sub = nullptr;
    for (const CLI::App* s : app.get_subcommands({})) {
        names.push_back(s->get_name());
        if (s->get_name() == word) sub = s;
    }
    if (!sub) {
        return "unknown subcommand '" + word + "'" + Suggestion(word, names, "orvanctl --help");
    }
    std::vector<std::string> options;
    for (const CLI::Option* o : sub->get_options()) {
        for (const std::string& n : o->get_lnames()) options.push_back("--" + n);
        for (const std::string& n : o->get_snames()) options.push_back("-" + n);
    }
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") break;
        if (arg.size() < 2 || arg[0] != '-' || (arg[1] >= '0' && arg[1] <= '9')) continue;
        arg = arg.substr(0, arg.find('='));
        if (std::find(options.begin(), options.end(), arg) != options.end()) continue;
        // A value that merely looks like an option (--mac --x) follows an option taking one.
        const std::string before = argv[i - 1];
        if (const CLI::Option* o = sub->get_option_no_throw(before.substr(0, before.find('=')));
            o && o->get_type_size() > 0 && before.find('=') == std::string::npos) {
            continue;
        }
        return "unknown option '" + arg + "' for " + word +
               Suggestion(arg, options, "orvanctl " + word + " --help");
    }
    return {};
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
        AddGet(app, common),     AddSet(app, common),   AddTime(app, common),
        AddScan(app, common),    AddApply(app, common), AddBackup(app, common),
        AddRestore(app, common),
    };

    if (const std::string mistyped = Mistyped(app, argc, argv); !mistyped.empty()) {
        Message(mistyped);
        return kUsage;
    }
    try {
        app.parse(argc, argv);
        for (const Subcommand& s : subcommands)
            if (s.app->parsed()) return s.run();
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::Error& e) {
        Message(e.what());
        return kUsage;
    } catch (const device::NotLocalAddress& e) {
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
