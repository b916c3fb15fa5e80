#include "udp_peer.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace nettest {

void EnsureApp() {
    static int argc = 1;
    static char name[] = "net_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
}

bool SpinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    EnsureApp();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // The timer only wakes the loop so that the deadline is noticed.
    QTimer wake;
    wake.start(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void ProcessPending() {
    EnsureApp();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace nettest
