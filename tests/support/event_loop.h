#pragma once

// The one way the tests run the Qt event loop until something has happened.
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTest>

#include <functional>

namespace testing_support {

// A QCoreApplication for the test programs that make none of their own (the GoogleTest ones):
// socket notifiers and timers need its event loop.
inline void EnsureApp() {
    if (QCoreApplication::instance() != nullptr) return;
    static int argc = 1;
    static char name[] = "orvan_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
}

// Runs the event loop until `done` holds or `limitMs` passes; returns done().
inline bool SpinUntil(const std::function<bool()>& done, int limitMs = 5000) {
    EnsureApp();
    return QTest::qWaitFor(done, limitMs);
}

// Runs the event loop for `ms`: whatever should not come has had its chance to.
inline void SpinFor(int ms) {
    static_cast<void>(SpinUntil([] { return false; }, ms));
}

// Handles whatever events are pending now, without waiting for more.
inline void ProcessPending() {
    EnsureApp();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace testing_support
