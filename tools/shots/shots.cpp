// Renders the main window headless, one PNG per tab sheet: orvan-shots [output-dir]
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QPixmap>
#include <QThread>
#include <cstdio>

#include "app/env.h"
#include "ui/form1.h"

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("out");
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(dir));
        return 1;
    }
    // A text cursor that blinks would be in one picture and not in the next.
    QApplication::setCursorFlashTime(0);
    app::SystemEnv env;
    ui::TForm1 form(env);
    form.show();
    // The address labels fill when start-up's lookup answers; the pictures show them filled.
    const auto filled = [&form] {
        return form.HostAddressLabel->text() != QStringLiteral("Host address:") &&
               form.DestinationLabel->text() != QStringLiteral("Destination address:");
    };
    const QDeadlineTimer deadline(10000);
    while (!filled() && !deadline.hasExpired()) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    if (!filled()) {
        std::fprintf(stderr, "the address labels did not fill within 10 s\n");
        return 1;
    }
    for (int page = 0; page < form.PageControl1->count(); ++page) {
        form.PageControl1->setCurrentIndex(page);
        QApplication::processEvents();
        const QString file = QStringLiteral("%1/tab%2.png").arg(dir).arg(page + 1);
        if (!form.grab().save(file)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
        std::printf("%s\n", qPrintable(file));
    }
    return 0;
}
