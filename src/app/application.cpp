#include "app/application.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include "app/error_box.h"
#include "app/text.h"

namespace app {
namespace {

int signalWrite = -1;  // the end the handler writes to

void OnEndSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(signalWrite, &byte, 1);
    errno = saved;
}

// The desktop ends a session with SIGTERM (SIGHUP when its terminal goes, SIGINT from Ctrl+C):
// each closes the window as "Выход" does, so that the history is written and every
// connection ended. The handler only writes a byte; the event loop reads it.
class EndSignals {
public:
    EndSignals() {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) return;
        read_ = ends[0];
        signalWrite = ends[1];
        notifier_ = new QSocketNotifier(read_, QSocketNotifier::Read, qApp);
        QObject::connect(notifier_, &QSocketNotifier::activated, notifier_, [this] { Ended(); });
        struct sigaction action = {};
        action.sa_handler = OnEndSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (const int number : kSignals) sigaction(number, &action, nullptr);
    }
    ~EndSignals() {
        if (read_ < 0) return;
        delete notifier_;
        close(read_);  // signalWrite stays open: a late signal writes into a closed pair
    }
    EndSignals(const EndSignals&) = delete;
    EndSignals& operator=(const EndSignals&) = delete;

    QWidget* window = nullptr;

private:
    static constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};

    void Ended() {
        char bytes[64];
        while (read(read_, bytes, sizeof bytes) > 0) {
        }
        // A message box waiting for its OK would keep the loop, and the window, alive.
        while (QWidget* box = QApplication::activeModalWidget()) {
            if (box == window || !box->close()) break;
        }
        if (window != nullptr) window->close();
    }

    int read_ = -1;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace

int RunApplication(Env& env, const std::function<std::unique_ptr<MainWindow>()>& build) {
    QApplication::setApplicationName(ToQString(ApplicationTitle()));
    EndSignals signals;
    std::unique_ptr<MainWindow> window;
    try {
        window = build();
        signals.window = window.get();
        window->show();
    } catch (...) {
        ShowFatalError(env, std::current_exception());
        return 1;
    }
    // Handlers run through their own guard; this catches what a toolkit callback lets through.
    int code = 0;
    try {
        code = QApplication::exec();
        window->Shutdown();
    } catch (...) {
        ShowFatalError(env, std::current_exception());
        code = 1;
    }
    signals.window = nullptr;
    window.reset();
    return code;
}

}  // namespace app
