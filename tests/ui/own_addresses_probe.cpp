// The window on the real host seam, headless: prints the two address labels once start-up's
// lookup and a few of the watcher's checks have run, then shuts down as at exit, which
// writes the history file in the working directory.
#include <QApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <cstdio>

#include "app/env.h"
#include "app/ip_watch.h"
#include "ui/form1.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    app::SystemEnv env;
    ui::TForm1 form(env);
    form.show();
    const QDeadlineTimer deadline(2 * app::TIdIPWatch::kSliceMs + 700);
    while (!deadline.hasExpired()) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    std::printf("%s|%s\n", qPrintable(form.HostAddressLabel->text()),
                qPrintable(form.DestinationLabel->text()));
    form.Shutdown();
    return 0;
}
