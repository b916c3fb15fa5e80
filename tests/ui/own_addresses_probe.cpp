// The window on the real host seam, headless: prints the two address labels once start-up's
// lookup and two of the watcher's checks have run, then shuts down as at exit, which writes
// the history file in the working directory.
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
    int checks = 0;
    const auto answered = form.IdIPWatch1->OnLookupDone;
    form.IdIPWatch1->OnLookupDone = [&checks, answered](const net::LookupResult& result) {
        ++checks;
        answered(result);
    };
    const QString designed = form.HostAddressLabel->text();
    form.show();
    // Far longer than the two slices this takes: the bound only ends a probe that would hang.
    const QDeadlineTimer deadline(20 * (2 * app::TIdIPWatch::kSliceMs + 700));
    while ((checks < 2 || form.HostAddressLabel->text() == designed) && !deadline.hasExpired()) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    std::printf("%s|%s\n", qPrintable(form.HostAddressLabel->text()),
                qPrintable(form.DestinationLabel->text()));
    form.Shutdown();
    return 0;
}
