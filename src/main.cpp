#include <fontconfig/fontconfig.h>
#include <QApplication>

#include <cstdio>
#include <optional>
#include <string_view>
#include <thread>

#include "app/application.h"
#include "base/version.h"
#include "ui/form1.h"

namespace {

constexpr const char* kUsage =
    "Usage: orvan [--help | --version]\n"
    "Reads and rewrites the network settings of a handset-controller device over UDP, and\n"
    "tries out UDP and TCP exchanges. Every setting is in the window; started without\n"
    "arguments, it opens the window.\n"
    "\n"
    "  --help     show this text and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "At exit it writes iphist.dat, the host's address history, in the working directory.\n";

// The exit code when the arguments ask for something other than the window. Checked before
// Qt sees them, so that no option of Qt's is taken and no display is needed for these.
std::optional<int> HandleArguments(int argc, char* argv[]) {
    bool help = false;
    bool version = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else {
            std::fprintf(stderr, "orvan: unknown argument '%s' (see orvan --help)\n", argv[i]);
            return 2;
        }
    }
    if (!help && !version) return std::nullopt;
    std::fputs(help ? kUsage : "orvan " ORVAN_VERSION "\n", stdout);
    if (std::fflush(stdout) != 0) {
        std::perror("orvan: standard output");
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (const std::optional<int> code = HandleArguments(argc, argv)) return *code;
    // Reading the font configuration is the largest part of start-up; it overlaps with the
    // connection to the display here, and Qt finds it done.
    std::thread fonts([] { FcInit(); });
    QApplication application(argc, argv);
    fonts.join();
    // Lets a Wayland desktop match the window with the menu entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.velmarsoft.orvan"));
    app::SystemEnv env;
    return app::RunApplication(env, [&env] { return std::make_unique<ui::TForm1>(env); });
}
