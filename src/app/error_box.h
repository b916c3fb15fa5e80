#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "app/env.h"

namespace app {

// "Настройка Velmar Orvan", the caption of every error box.
const std::string& ApplicationTitle();

// The message as the error box shows it: a full stop is added when the last byte is
// greater than "." (compared unsigned).
std::string ErrorBoxText(std::string_view message);

// "Exception <kind> in module <module> at <address>.\r\n<message>[.]\r\n"
std::string FatalBoxText(std::string_view kind, std::string_view module, const void* address,
                         std::string_view message);

// Shows what escaped a handler in the error box. Call only from a catch block.
void ShowCurrentError(Env& env) noexcept;

// Every handler entry point runs through this, so that no exception reaches the event loop.
template <class F>
void Guarded(Env& env, F&& handler) noexcept {
    try {
        std::forward<F>(handler)();
    } catch (...) {
        ShowCurrentError(env);
    }
}

// The fatal box for what escaped while the window was built or torn down.
void ShowFatalError(Env& env, std::exception_ptr error) noexcept;

}  // namespace app
