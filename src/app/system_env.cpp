#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QThread>
#include <QWidget>
#include <ctime>
#include <filesystem>

#include "app/env.h"
#include "app/text.h"
#include "net/host_info.h"

namespace app {

SystemEnv::SystemEnv(capture::Recorder* capture) : capture_(capture) {}
SystemEnv::~SystemEnv() = default;

void SystemEnv::ShowMessage(BoxKind kind, const std::string& caption, const std::string& text) {
    // A control that holds the mouse would keep it while the box is up.
    if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
    const QMessageBox::Icon icon =
        kind == BoxKind::Plain ? QMessageBox::NoIcon : QMessageBox::Critical;
    QMessageBox box(icon, ToQString(caption), ToQString(text), QMessageBox::Ok,
                    kind == BoxKind::Fatal ? nullptr : QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);  // texts carry what the operator typed or a peer sent
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void SystemEnv::Beep() {
    // A bell rings for about 100 ms; more requests meanwhile are heard as the same ring but
    // each costs a round to the display server.
    static QElapsedTimer last;
    if (last.isValid() && last.elapsed() < 50) return;
    last.start();
    QApplication::beep();
}

void SystemEnv::Pause(int milliseconds) {
    QThread::msleep(static_cast<unsigned long>(milliseconds));
}

base::LocalDateTime SystemEnv::LocalTime() {
    return base::LocalDateTimeAt(std::time(nullptr));
}

std::string SystemEnv::LocalHostName() {
    return net::LocalHostName();
}

std::optional<std::string> SystemEnv::HistoryFilePath(const std::string& name) {
    std::error_code error;
    const std::filesystem::path here = std::filesystem::current_path(error);
    return error ? name : (here / name).string();
}

}  // namespace app
