#include "app/application.h"

#include <QApplication>

#include "app/error_box.h"
#include "app/text.h"

namespace app {

int RunApplication(Env& env, const std::function<std::unique_ptr<MainWindow>()>& build) {
    QApplication::setApplicationName(ToQString(ApplicationTitle()));
    std::unique_ptr<MainWindow> window;
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
        window->Shutdown();
    } catch (...) {
        ShowFatalError(env, std::current_exception());
        code = 1;
    }
    window.reset();
    return code;
}

}  // namespace app
