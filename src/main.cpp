#include <fontconfig/fontconfig.h>
#include <QApplication>

#include <thread>

#include "app/application.h"
#include "ui/form1.h"

int main(int argc, char* argv[]) {
    // Reading the font configuration is the largest part of start-up; it overlaps with the
    // connection to the display here, and Qt finds it done.
    std::thread fonts([] { FcInit(); });
    QApplication application(argc, argv);
    fonts.join();
    app::SystemEnv env;
    return app::RunApplication(env, [&env] { return std::make_unique<ui::TForm1>(env); });
}
