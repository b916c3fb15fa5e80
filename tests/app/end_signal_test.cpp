// The signals a desktop session or a terminal sends end the program as a normal close does,
// also while a message box waits for its OK (the real program without a box: exit_test.sh).
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <csignal>
#include <memory>

#include "app/application.h"
#include "app/env.h"

namespace {

class Window : public app::MainWindow {
public:
    explicit Window(bool* shutDown) : shutDown_(shutDown) {}
    void Shutdown() override { *shutDown_ = true; }

private:
    bool* shutDown_;
};

TEST(EndSignalTest, ClosesAnOpenBoxThenTheWindowAndExitsNormally) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "app_test";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(signal);
        app::SystemEnv env;
        bool shutDown = false, boxSeen = false, boxReturned = false, leftOpen = false;
        QTimer signaller, rescue;
        const int code = app::RunApplication(env, [&] {
            auto window = std::make_unique<Window>(&shutDown);
            QTimer::singleShot(0, window.get(), [&] {
                env.ShowMessage(app::BoxKind::Error, "caption", "waits for its OK");
                boxReturned = true;
            });
            // The signal comes once the box is up, inside its own event loop.
            QObject::connect(&signaller, &QTimer::timeout, [&] {
                if (!qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) return;
                signaller.stop();
                boxSeen = true;
                std::raise(signal);
            });
            signaller.start(10);
            // Should the box stay, it is closed here after a long while so that the test ends.
            QObject::connect(&rescue, &QTimer::timeout, [&] {
                while (QWidget* box = QApplication::activeModalWidget()) {
                    leftOpen = true;
                    box->close();
                }
                QApplication::closeAllWindows();
            });
            rescue.setSingleShot(true);
            rescue.start(10000);
            return window;
        });
        EXPECT_TRUE(boxSeen);
        EXPECT_TRUE(boxReturned);
        EXPECT_FALSE(leftOpen) << "the box stayed open after the signal";
        EXPECT_EQ(code, 0);
        EXPECT_TRUE(shutDown);
    }
}

}  // namespace
