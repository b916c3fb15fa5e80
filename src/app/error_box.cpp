#include "app/error_box.h"

#include <cxxabi.h>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <typeinfo>

#include "app/text.h"

namespace app {
namespace {

std::string KindName(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

std::string Message(std::exception_ptr error, std::string* kind, const void** address) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        if (kind) *kind = KindName(typeid(e));
        if (address) *address = &e;
        return e.what();
    } catch (...) {
        if (kind) *kind = "unknown";
        return "Unknown exception";
    }
}

}  // namespace

const std::string& ApplicationTitle() {
    static const std::string title = Cp1251("Настройка Velmar Orvan");
    return title;
}

std::string ErrorBoxText(std::string_view message) {
    std::string text(message);
    if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') text.push_back('.');
    return text;
}

std::string FatalBoxText(std::string_view kind, std::string_view module, const void* address,
                         std::string_view message) {
    char where[32];
    std::snprintf(where, sizeof where, "%p", address);
    std::string text = "Exception " + std::string(kind) + " in module " + std::string(module) +
                       " at " + where + ".\r\n" + std::string(message);
    if (!message.empty() && message.back() != '.') text += ".";
    return text + "\r\n";
}

void ShowCurrentError(Env& env) noexcept {
    try {
        const std::string message = Message(std::current_exception(), nullptr, nullptr);
        env.ShowMessage(BoxKind::Error, ApplicationTitle(), ErrorBoxText(message));
    } catch (...) {
        // Nothing sensible is left to show with.
    }
}

void ShowFatalError(Env& env, std::exception_ptr error) noexcept {
    try {
        std::string kind;
        const void* address = nullptr;
        const std::string message = Message(error, &kind, &address);
        env.ShowMessage(BoxKind::Fatal, "Application Error",
                        FatalBoxText(kind, program_invocation_short_name, address, message));
    } catch (...) {
    }
}

}  // namespace app
