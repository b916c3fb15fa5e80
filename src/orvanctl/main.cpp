// orvanctl: reads, changes and clock-sets handset-controller devices from the command line,
// one device or many, with the window's own device texts. Results go to stdout, messages to
// stderr. Each subcommand lives in a file of its own; this is their table and what they share.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/version.h"
#include "device/port.h"
#include "orvanctl/cli.h"

namespace {

using namespace orvanctl;

// stdout for std::cout, with the reason a write failed kept: a result that could not be
// written must not pass for one that was.
class CheckedStdout : public std::streambuf {
public:
    int error = 0;  // errno of the first failed write, or 0

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return Drain() ? 0 : c;
        buffer_ += traits_type::to_char_type(c);
        return buffer_.size() < kBuffer || Drain() ? c : traits_type::eof();
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        buffer_.append(s, std::size_t(n));
        return buffer_.size() < kBuffer || Drain() ? n : 0;
    }
    int sync() override { return Drain() ? 0 : -1; }

private:
    static constexpr std::size_t kBuffer = 65536;

    bool Drain() {
        if (error != 0) buffer_.clear();
        std::size_t done = 0;
        while (error == 0 && done < buffer_.size()) {
            const ssize_t n = ::write(STDOUT_FILENO, buffer_.data() + done, buffer_.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) error = n < 0 ? errno : EIO;
            if (n > 0) done += std::size_t(n);
        }
        buffer_.clear();
        return error == 0;
    }

    std::string buffer_;
};

// Never destroyed: std::cout is flushed once more after main returns.
CheckedStdout* const g_stdout = new CheckedStdout;

// The output written to the end, or why not. Throws std::ios_base::failure.
int Flushed(int code) {
    std::cout.flush();
    if (std::fflush(stdout) != 0 && g_stdout->error == 0) g_stdout->error = errno;
    if (g_stdout->error != 0) throw std::ios_base::failure("stdout");
    return code;
}

// A reader that went away (a closed pipe) ends the run quietly, as it would end any other
// program that writes to a pipe; any other failed write is an error.
int OutputFailed() {
    // Nothing more is written, and the flush at exit must not throw again.
    std::cout.exceptions(std::ios::goodbit);
    const int error = g_stdout->error != 0 ? g_stdout->error : EIO;
    if (error == EPIPE) return 128 + SIGPIPE;
    Message(std::string("cannot write the output: ") + std::strerror(error));
    return kFailed;
}

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
    std::cout.rdbuf(g_stdout);
    std::cout.exceptions(std::ios::badbit);
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
    std::unique_ptr<capture::Recorder> recorder;  // written out when main returns
    try {
        app.parse(argc, argv);
        try {
            recorder = OpenCapture(common.capture);
        } catch (const base::Error& e) {
            Message(e.what());  // nothing has been sent
            return kUsage;
        }
        common.recorder = recorder.get();
        for (const Subcommand& s : subcommands)
            if (s.app->parsed()) return Flushed(s.run());
    } catch (const CLI::Success& e) {
        try {
            return Flushed(app.exit(e));
        } catch (const std::ios_base::failure&) {
            return OutputFailed();
        }
    } catch (const std::ios_base::failure&) {
        return OutputFailed();
    } catch (const LogFailed& e) {
        Message(e.what());
        return kLogFailed;
    } catch (const CLI::Error& e) {
        // Reading a plan or a file stopped by Ctrl+C: nothing was sent.
        if (device::StopRequested()) {
            Message("interrupted; nothing sent");
            return kInterrupted;
        }
        Message(e.what());
        return kUsage;
    } catch (const device::NotLocalAddress& e) {
        Message(e.what());
        return kUsage;
    } catch (const device::Interrupted& e) {
        Message(e.what());
        return kInterrupted;
    } catch (const device::PortTaken& e) {
        Message(e.what());
        return kPortTaken;
    } catch (const std::exception& e) {
        Message(e.what());
        return kFailed;
    }
    return kUsage;
}
