#pragma once

// An application that times every event delivered on the interface thread, counting only the
// outermost delivery so that nested sends are not counted twice.
#include <QApplication>
#include <QEvent>
#include <QObject>

#include <chrono>
#include <functional>

class TimingApplication : public QApplication {
public:
    using QApplication::QApplication;

    // Gets each outermost event's receiver class, type and cost in milliseconds; unset, nothing
    // is timed.
    std::function<void(const char* receiverClass, int type, double ms)> OnEvent;

    bool notify(QObject* receiver, QEvent* event) override {
        if (!OnEvent || depth_ > 0) return QApplication::notify(receiver, event);
        ++depth_;
        const auto t0 = std::chrono::steady_clock::now();
        const int type = event->type();
        const char* cls = receiver->metaObject()->className();
        bool result = false;
        try {
            result = QApplication::notify(receiver, event);
        } catch (...) {
            --depth_;
            throw;
        }
        --depth_;
        // The event may have switched timing off (the harness does when it finishes).
        if (OnEvent)
            OnEvent(cls, type,
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                        .count());
        return result;
    }

private:
    int depth_ = 0;
};
