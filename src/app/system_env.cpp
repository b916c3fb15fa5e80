#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QThread>
#include <QWidget>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <thread>

#include "app/env.h"
#include "app/text.h"
#include "net/host_info.h"

namespace app {

// Where finished lookups go back to the interface thread; emptied when the environment ends,
// so that a lookup that outlives the application hands over nothing.
struct SystemEnv::Handoff {
    std::mutex mutex;
    QObject* target = nullptr;
};

SystemEnv::SystemEnv() : handoff_(std::make_shared<Handoff>()) {
    handoff_->target = QCoreApplication::instance();
}

SystemEnv::~SystemEnv() {
    const std::lock_guard lock(handoff_->mutex);
    handoff_->target = nullptr;
}

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

std::vector<std::string> SystemEnv::LocalAddresses() {
    return net::LocalAddressList();
}

void SystemEnv::QueryLocalAddress(AddressDone done) {
    // Detached: nothing waits for a lookup that hangs, not even the end of the program.
    std::thread([handoff = handoff_, done = std::move(done)]() mutable {
        std::optional<std::string> address;
        try {
            const std::vector<std::string> list = net::LocalAddressList();
            if (!list.empty()) address = list.front();
        } catch (...) {
        }
        const std::lock_guard lock(handoff->mutex);
        if (!handoff->target) return;
        QMetaObject::invokeMethod(
            handoff->target, [done = std::move(done), address] { done(address); },
            Qt::QueuedConnection);
    }).detach();
}

std::optional<std::string> SystemEnv::HistoryFilePath(const std::string& name) {
    std::error_code error;
    const std::filesystem::path here = std::filesystem::current_path(error);
    return error ? name : (here / name).string();
}

}  // namespace app
