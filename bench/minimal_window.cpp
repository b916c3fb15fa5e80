// bench-minimal-window: the yardstick for start-up, the least a window like the main one
// needs: one line edit and one text pane, of the main window's size, shown the same way.
#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Minimal Qt window"));
    window.resize(513, 776);
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(new QLineEdit(QStringLiteral("TEST"), &window));
    layout->addWidget(new QPlainTextEdit(QStringLiteral("Данные от сервера:"), &window));
    window.show();
    return QApplication::exec();
}
