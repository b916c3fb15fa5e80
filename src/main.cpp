#include <fontconfig/fontconfig.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>

#include "app/application.h"
#include "base/error.h"
#include "base/int_conv.h"
#include "base/version.h"
#include "capture/recorder.h"
#include "ui/form1.h"

namespace {

constexpr const char* kUsage =
    "Usage: orvan [--help | --version]\n"
    "       orvan --capture FILE [--capture-limit MB] [--capture-overwrite]\n"
    "Reads and rewrites the network settings of a handset-controller device over UDP, and\n"
    "tries out UDP and TCP exchanges. Every setting is in the window; started without\n"
    "arguments, it opens the window.\n"
    "\n"
    "  --help     show this text and exit\n"
    "  --version  show the version and exit\n"
    "  --capture FILE         record every UDP datagram and TCP payload the window sends\n"
    "                         or receives in FILE (pcapng, for Wireshark); FILE must not exist\n"
    "  --capture-limit MB     stop recording when FILE reaches MB megabytes (default 100)\n"
    "  --capture-overwrite    replace FILE if it exists (never through a symbolic link)\n"
    "\n"
    "At exit it writes iphist.dat, the host's address history, in the working directory.\n";

int Usage(const char* what, const char* arg) {
    std::fprintf(stderr, "orvan: %s '%s' (see orvan --help)\n", what, arg);
    return 2;
}

// An exit code when the arguments ask for something other than the window, else the capture
// to open (none without --capture). Checked before Qt sees them, so that no option of Qt's is
// taken and no display is needed for these.
std::variant<int, std::optional<capture::Options>> HandleArguments(int argc, char* argv[]) {
    bool help = false;
    bool version = false;
    std::optional<capture::Options> capture;
    std::optional<std::uint64_t> limit;
    bool overwrite = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool takesValue = arg == "--capture" || arg == "--capture-limit";
        if (takesValue && i + 1 == argc) return Usage("missing value after", argv[i]);
        if (arg == "--help") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else if (arg == "--capture") {
            capture.emplace();
            capture->path = argv[++i];
            if (capture->path.empty()) return Usage("empty file name after", argv[i - 1]);
        } else if (arg == "--capture-limit") {
            const std::optional<std::int32_t> mb = base::TryStrToInt(argv[++i]);
            if (!mb || *mb < 1) return Usage("not a number of megabytes above 0:", argv[i]);
            limit = static_cast<std::uint64_t>(*mb) << 20;
        } else if (arg == "--capture-overwrite") {
            overwrite = true;
        } else {
            return Usage("unknown argument", argv[i]);
        }
    }
    if (!capture && (limit || overwrite)) {
        return Usage("needs --capture:", limit ? "--capture-limit" : "--capture-overwrite");
    }
    if (!help && !version) {
        if (capture) {
            if (limit) capture->limit = *limit;
            capture->overwrite = overwrite;
            capture->program = "orvan";
            capture->application = "orvan " ORVAN_VERSION;
        }
        return capture;
    }
    std::fputs(help ? kUsage : "orvan " ORVAN_VERSION "\n", stdout);
    if (std::fflush(stdout) != 0) {
        std::perror("orvan: standard output");
        return 1;
    }
    return 0;
}

bool Set(const char* value) {
    return value != nullptr && *value != '\0';
}

// Whether an X server answers on the local display ":N" (abstract socket or the file).
bool LocalXServerAnswers(const std::string& number) {
    const std::string path = "/tmp/.X11-unix/X" + number;
    for (const bool abstract : {true, false}) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + (abstract ? 1 : 0), path.data(), path.size());
        const socklen_t length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return true;  // cannot tell: Qt will
        const bool answered = connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
        close(fd);
        if (answered) return true;
    }
    return false;
}

// Qt ends the process with an abort and a hint to reinstall it when the display cannot be
// reached, as when started over ssh or from a console; say so plainly instead. Empty: there
// is a display, or a platform that needs none, or one this cannot judge.
std::string NoDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const bool xcb = Set(platform) && std::strncmp(platform, "xcb", 3) == 0;
    if (Set(platform) && !xcb && std::strncmp(platform, "wayland", 7) != 0) return {};
    if (!xcb && Set(std::getenv("WAYLAND_DISPLAY"))) return {};
    const char* display = std::getenv("DISPLAY");
    if (!Set(display)) {
        return "no display to open the window on (DISPLAY is not set): start it in a desktop "
               "session, or under xvfb-run";
    }
    // ":N", ":N.S" and "unix:N" are this host's; a remote display is left to Qt.
    std::string_view name = display;
    if (name.substr(0, 5) == "unix:") name.remove_prefix(4);
    if (name.empty() || name.front() != ':') return {};
    const std::string number(name.substr(1, name.find('.') - 1));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return {};
    if (LocalXServerAnswers(number)) return {};
    return "no display to open the window on: nothing answers on DISPLAY " + std::string(display);
}

}  // namespace

int main(int argc, char* argv[]) {
    const auto arguments = HandleArguments(argc, argv);
    if (const int* code = std::get_if<int>(&arguments)) return *code;
    // Made before the window, so that a file that cannot be had is told on the terminal.
    std::unique_ptr<capture::Recorder> recorder;
    bool madeCapture = false;
    const auto& options = std::get<std::optional<capture::Options>>(arguments);
    if (options) {
        std::error_code error;
        madeCapture =
            !std::filesystem::exists(std::filesystem::symlink_status(options->path, error));
        try {
            recorder = std::make_unique<capture::Recorder>(*options);
        } catch (const base::Error& e) {
            std::fprintf(stderr, "orvan: %s\n", e.what());
            return 1;
        }
    }
    if (const std::string missing = NoDisplay(); !missing.empty()) {
        std::fprintf(stderr, "orvan: %s\n", missing.c_str());
        if (recorder) {
            recorder.reset();
            if (madeCapture) std::remove(options->path.c_str());  // nothing was recorded
        }
        return 1;
    }
    // Reading the font configuration is the largest part of start-up; it overlaps with the
    // connection to the display here, and Qt finds it done.
    std::thread fonts([] { FcInit(); });
    int qtArgc = 1;  // the arguments were ours
    QApplication application(qtArgc, argv);
    fonts.join();
    // Lets a Wayland desktop match the window with the menu entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.velmarsoft.orvan"));
    app::SystemEnv env(recorder.get());
    return app::RunApplication(env, [&env] { return std::make_unique<ui::TForm1>(env); });
}
