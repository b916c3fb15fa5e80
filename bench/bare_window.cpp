// bench-bare-window: the yardstick for start-up, a Qt window with nothing in it, of the main
// window's size, shown the same way.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare Qt window"));
    window.resize(513, 776);
    window.show();
    return QApplication::exec();
}
