#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "app/env.h"

namespace app {

// The application's main window. Its shutdown work runs in Shutdown, after the event loop and
// before the window is destroyed, where a failure can still be reported; the destructor
// never throws.
class MainWindow : public QWidget {
public:
    using QWidget::QWidget;
    virtual void Shutdown() {}
};

// Builds the main window, runs the event loop until it closes, runs its shutdown step and
// tears it down. Returns the process exit code: 0 after a normal close, 1 after a fatal error
// (while building, in the loop, or at shutdown), which the fatal box has shown.
int RunApplication(Env& env, const std::function<std::unique_ptr<MainWindow>()>& build);

}  // namespace app
