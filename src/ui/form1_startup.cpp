// Start-up, show and exit.
#include <QGuiApplication>
#include <QResizeEvent>
#include <QScreen>
#include <QShowEvent>
#include <string>
#include <vector>

#include "app/text.h"
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
    Memo2->SetLinesPerBlock(16);  // it takes a line per datagram, and floods are its usual load
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
    // The newest component goes first: the clients made at run time, the watcher (which writes
    // the history file), Client1, the listener, the UDP client.
    EndTcpClients(true);
    IdIPWatch1->Shutdown();
    EndTcpClients();
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
    // The host's name is a local call. Its addresses come from a lookup, which a name server
    // that does not answer can hold for many seconds: the window does not wait for it, and the
    // two address labels keep their design captions until it answers (for good, if it fails
    // or the host has fewer addresses).
    HostNameLabel->SetCaption(app::ToQString(IdIPWatch1->LocalHostName()));
    startupLookup_ = env_.LookupOwnAddresses(
        IdIPWatch1->LocalHostName(),
        [this](const net::LookupResult& result) { StartupLookupDone(result); });
    PortLabel->SetCaption(QString::number(UDPClient->Port));
    BufferSizeLabel->SetCaption(QString::number(UDPClient->BufferSize));
}

void TForm1::StartupLookupDone(const net::LookupResult& result) {
    Guard([&] {
        if (result.error != 0) return;
        const std::vector<std::string> list = app::DottedAddresses(result.addresses);
        if (!list.empty()) HostAddressLabel->SetCaption(app::ToQString(list[0]));
        if (list.size() > 1) DestinationLabel->SetCaption(app::ToQString(list[1]));
    });
    LocalLookupDone(result);
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
