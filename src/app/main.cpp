#include <QApplication>

#include "app/application.h"
#include "ui/form1.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    app::SystemEnv env;
    return app::RunApplication(env, [&env] { return std::make_unique<ui::TForm1>(env); });
}
