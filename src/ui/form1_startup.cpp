// Start-up, show and exit.
#include <QGuiApplication>
#include <QResizeEvent>
#include <QScreen>
#include <QShowEvent>
#include <functional>

#include "app/text.h"
#include "base/error.h"
#include "ui/form1.h"

namespace ui {

TForm1::TForm1(app::Env& env, QWidget* parent) : app::MainWindow(parent), env_(env) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Velmar Soft Orvan v1.9.1"));
    setWindowIcon(ProgramIcon());
    resize(513, 776);
    BuildLayout();
    CreateComponents();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    Guard([this] { FormCreate(); });
}

TForm1::~TForm1() = default;

void TForm1::Shutdown() {
    UDPServer->SetActive(false);
    UDPClient->SetActive(false);
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shown_) return;
    shown_ = true;
    Guard([this] { FormShow(); });
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    StatusBar1->setGeometry(0, height() - TStatusBar::kHeight, width(), TStatusBar::kHeight);
}

void TForm1::FormCreate() {
    // Each label on its own: a host whose name does not resolve, or that has one address,
    // keeps the design caption where a value cannot be had, without an error box.
    const auto fill = [](TLabel* label, const std::function<std::string()>& value) {
        try {
            label->SetCaption(app::ToQString(value()));
        } catch (const base::Error&) {
        }
    };
    const auto entry = [this](std::size_t index) {
        const std::vector<std::string> list = env_.LocalAddresses();
        if (index >= list.size()) {
            throw base::Error("List index out of bounds (" + std::to_string(index) + ")");
        }
        return list[index];
    };
    fill(HostNameLabel, [this] { return env_.LocalHostName(); });
    fill(HostAddressLabel, [&] { return entry(0); });
    fill(PortLabel, [this] { return std::to_string(UDPClient->Port); });
    fill(DestinationLabel, [&] { return entry(1); });
    fill(BufferSizeLabel, [this] { return std::to_string(UDPClient->BufferSize); });
}

void TForm1::FormShow() {
    Button2->setEnabled(false);
    Button3->setEnabled(false);
    if (RadioButton_UDP->isChecked()) UDPClient->SetActive(true);
    CheckBox1->setEnabled(RadioButton_UDP->isChecked());
}

void TForm1::BitBtn1Click() {
    close();
}

}  // namespace ui
