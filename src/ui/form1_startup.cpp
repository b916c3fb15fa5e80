// Start-up, show and exit.
#include <QGuiApplication>
#include <QResizeEvent>
#include <QScreen>
#include <QShowEvent>
#include <optional>

#include "app/text.h"
#include "base/error.h"
#include "base/version.h"
#include "ui/form1.h"
#include "ui/program_icon.h"

namespace ui {

TForm1::TForm1(app::Env& env, QWidget* parent) : app::MainWindow(parent), env_(env) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Velmar Soft Orvan v" ORVAN_VERSION));
    setWindowIcon(ProgramIcon());
    resize(513, 776);
    BuildLayout();
    CreateComponents();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    Guard([this] { FormCreate(); });
}

TForm1::~TForm1() {
    EndTcpClients();
}

void TForm1::Shutdown() {
    EndTcpClients();
    IdIPWatch1->Shutdown();
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
    const auto entry = [this](std::size_t index) -> std::optional<std::string> {
        try {
            const std::vector<std::string> list = env_.LocalAddresses();
            if (index < list.size()) return list[index];
        } catch (const base::Error&) {
        }
        return std::nullopt;
    };
    const auto fill = [](TLabel* label, const std::optional<std::string>& value) {
        if (value) label->SetCaption(app::ToQString(*value));
    };
    fill(HostNameLabel, env_.LocalHostName());
    fill(HostAddressLabel, entry(0));
    fill(PortLabel, std::to_string(UDPClient->Port));
    fill(DestinationLabel, entry(1));
    fill(BufferSizeLabel, std::to_string(UDPClient->BufferSize));
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
