#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "app/env.h"

namespace app {

// Builds the main window, runs the event loop until it closes, and tears it down.
// Returns the process exit code: 0 after a normal close, 1 after a fatal error.
int RunApplication(Env& env, const std::function<std::unique_ptr<QWidget>()>& build);

}  // namespace app
