#include "app/application.h"

#include <QApplication>

#include "app/error_box.h"
#include "app/text.h"

namespace app {

int RunApplication(Env& env, const std::function<std::unique_ptr<QWidget>()>& build) {
    QApplication::setApplicationName(ToQString(ApplicationTitle()));
    std::unique_ptr<QWidget> window;
    try {
        window = build();
        window->show();
    } catch (...) {
        ShowFatalError(env, std::current_exception());
        return 1;
    }
    // Handlers run through their own guard; this catches what a toolkit callback lets through.
    int code = 0;
    try {
        code = QApplication::exec();
        window.reset();
    } catch (...) {
        ShowFatalError(env, std::current_exception());
        return 1;
    }
    return code;
}

}  // namespace app
