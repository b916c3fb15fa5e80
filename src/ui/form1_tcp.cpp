// The TCP side: the static client Client1, the clients made per destination at run time and
// registered by name, their status texts and what they receive.
#include <string_view>

#include "app/error_box.h"
#include "app/text.h"
#include "base/error.h"
#include "base/int_conv.h"
#include "net/client_name.h"
#include "ui/form1.h"

namespace ui {
namespace {

// "ТСР" in Cyrillic letters, unlike the Latin "TCP" of the status panel at start.
const QString kConnected = QStringLiteral("Подключен");
const QString kDisconnected = QStringLiteral("Отключен \u0422\u0421\u0420");
const QString kFailed = QStringLiteral("Ошибка подключения");
const QString kWaiting = QStringLiteral("Ждём");

bool IsIdentifier(std::string_view name) {
    const auto letter = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    };
    if (name.empty() || !letter(name.front())) return false;
    for (const char c : name) {
        if (!letter(c) && !(c >= '0' && c <= '9')) return false;
    }
    return true;
}

}  // namespace

std::string TForm1::SubstitutionIP() {
    return net::HostTag(TextOf(Edit2));
}

void TForm1::Button2Click() {
    if (!CheckBox6->isChecked()) {
        if (!RadioButtonTCP->isChecked() || Client1->Socket().Connected()) return;
        StatusBar1->SetPanelText(0, kWaiting);
        Client1->Port = base::StrToInt(TextOf(Edit3));
        Client1->Host = TextOf(Edit2);
        Client1->Open();
        for (QRadioButton* b : {RadioButton_UDP, RadioButtonTCP, RadioButton_IndyTCP}) {
            b->setEnabled(false);
        }
        return;
    }
    const std::string name = net::ClientName(SubstitutionIP());
    const QString listed = app::ToQString(name);
    for (int i = 0; i < ListBox1->count(); ++i) {
        if (ListBox1->item(i)->text() == listed) {
            env_.ShowMessage(app::BoxKind::Plain, app::ApplicationTitle(),
                             app::Cp1251("   Такой Socked - уже имеется."));
            return;
        }
    }
    // Before the client exists: a port that is no integer leaves nothing behind.
    const std::int32_t port = base::StrToInt(TextOf(Edit3));
    if (!IsIdentifier(name)) throw base::Error("''" + name + "'' is not a valid component name");
    for (const QObject* o : findChildren<QObject*>()) {
        if (o->objectName().compare(listed, Qt::CaseInsensitive) == 0) {
            throw base::Error("A component named " + name + " already exists");
        }
    }
    auto* client = new net::TClientSocket(env_.Lookup(), this);
    client->setObjectName(listed);
    client->Host = TextOf(Edit2);
    client->Port = port;
    client->Capture = env_.Capture();
    WireTcpClient(*client, true);
    ListBox1->addItem(listed);
    if (!RadioButtonTCP->isChecked()) return;
    StatusBar1->SetPanelText(0, Edit2->text() + QStringLiteral(" - ") + kWaiting);
    client->Open();
    for (QRadioButton* b : {RadioButton_UDP, RadioButtonTCP, RadioButton_IndyTCP}) {
        b->setEnabled(false);
    }
}

void TForm1::Button3Click() {
    if (!CheckBox6->isChecked()) {
        Client1->Close();
    } else {
        const std::string name = net::ClientName(SubstitutionIP());
        const QString listed = app::ToQString(name);
        for (int i = 0; i < ListBox1->count(); ++i) {
            if (ListBox1->item(i)->text() == listed) {
                delete ListBox1->takeItem(i);
                break;
            }
        }
        net::TClientSocket* client = DynamicClient(name);
        const bool connected = client != nullptr && client->Socket().Connected();
        if (connected) client->Close();
        // In any state: a lookup or connect that never ends must not hold the name for good.
        delete client;
        if (!connected) {
            env_.ShowMessage(app::BoxKind::Plain, app::ApplicationTitle(),
                             app::Cp1251("    Socked - не подключен"));
        }
    }
    Panel1->setEnabled(true);
    for (QRadioButton* b : {RadioButton_UDP, RadioButtonTCP, RadioButton_IndyTCP}) {
        b->setEnabled(true);
    }
}

void TForm1::SendOverTcp() {
    if (!RadioButtonTCP->isChecked()) return;
    const std::string text = TextOf(Edit1);
    if (!CheckBox6->isChecked()) {
        Client1->Socket().SendText(text);
    } else if (net::TClientSocket* client = DynamicClient(net::ClientName(SubstitutionIP()))) {
        client->Socket().SendText(text);
    }
}

// A dynamic client by its registered name; never Client1, whatever the host text.
net::TClientSocket* TForm1::DynamicClient(const std::string& name) const {
    const QString wanted = app::ToQString(name);
    // Clients are the window's own children; a name deeper down is no client anyway.
    for (QObject* o : children()) {
        if (o->objectName().compare(wanted, Qt::CaseInsensitive) != 0) continue;
        auto* client = qobject_cast<net::TClientSocket*>(o);
        return client == Client1 ? nullptr : client;
    }
    return nullptr;
}

void TForm1::Client1Connect(net::TClientSocket&, net::TCustomWinSocket&) {
    StatusBar1->SetPanelText(0, kConnected);
}

void TForm1::Client1Disconnect(net::TClientSocket&, net::TCustomWinSocket&) {
    StatusBar1->SetPanelText(0, kDisconnected);
}

void TForm1::Client1Error(net::TClientSocket&, net::TCustomWinSocket&, net::TErrorEvent,
                          int& errorCode) {
    StatusBar1->SetPanelText(0, kFailed);
    errorCode = 0;
}

void TForm1::Client1Read(net::TClientSocket&, net::TCustomWinSocket& socket) {
    Memo1->ClearSilently();
    const std::string message = socket.ReceiveText();
    const QString shown = DisplayText(message);
    Memo1->AddLine(PrefixedDisplayText(Client1->Host, message, shown));
    Memo2->AddLine(shown);
}

void TForm1::TCPClient1Connect(net::TClientSocket&, net::TCustomWinSocket& socket) {
    StatusBar1->SetPanelText(
        0, app::ToQString(socket.RemoteAddress()) + QStringLiteral(" - ") + kConnected);
}

void TForm1::TCPClientDisconnect(net::TClientSocket&, net::TCustomWinSocket& socket) {
    try {
        StatusBar1->SetPanelText(
            0, app::ToQString(socket.RemoteAddress()) + QStringLiteral(" - ") + kDisconnected);
    } catch (...) {
        // Failures of a dynamic client's disconnect handling are not shown.
    }
}

void TForm1::TCPClientError(net::TClientSocket&, net::TCustomWinSocket& socket, net::TErrorEvent,
                            int& errorCode) {
    try {
        StatusBar1->SetPanelText(
            0, app::ToQString(socket.RemoteAddress()) + QStringLiteral(" - ") + kFailed);
        errorCode = 0;
    } catch (...) {
        // The code stays set, and the client reports the socket error itself.
    }
}

void TForm1::TCPSocketClientOnRead(net::TClientSocket&, net::TCustomWinSocket& socket) {
    Memo1->ClearSilently();
    const std::string message = socket.ReceiveText();
    const QString line = DisplayText(socket.RemoteAddress() + message);
    Memo1->AddLine(line);
    Memo2->AddLine(line);
}

void TForm1::WireTcpClient(net::TClientSocket& client, bool dynamic) {
    using Client = net::TClientSocket;
    using Socket = net::TCustomWinSocket;
    const auto notify = [this](void (TForm1::*handler)(Client&, Socket&)) {
        return
            [this, handler](Client& sender, Socket& socket) { (this->*handler)(sender, socket); };
    };
    client.OnConnect = notify(dynamic ? &TForm1::TCPClient1Connect : &TForm1::Client1Connect);
    client.OnDisconnect =
        notify(dynamic ? &TForm1::TCPClientDisconnect : &TForm1::Client1Disconnect);
    client.OnRead = notify(dynamic ? &TForm1::TCPSocketClientOnRead : &TForm1::Client1Read);
    const auto error = dynamic ? &TForm1::TCPClientError : &TForm1::Client1Error;
    client.OnError = [this, error](Client& sender, Socket& socket, net::TErrorEvent e, int& code) {
        (this->*error)(sender, socket, e, code);
    };
    // A client's failures reach the error box like those of any other window message.
    client.OnEventFailed = [this](std::exception_ptr failure) {
        Guard([&] { std::rethrow_exception(failure); });
    };
}

void TForm1::EndTcpClients(bool keepClient1) noexcept {
    // The most recently created first; a client destroyed runs no event.
    const QList<net::TClientSocket*> clients =
        findChildren<net::TClientSocket*>(Qt::FindDirectChildrenOnly);
    for (auto it = clients.rbegin(); it != clients.rend(); ++it) {
        if (!keepClient1 || *it != Client1) delete *it;
    }
    if (!keepClient1) Client1 = nullptr;
}

}  // namespace ui
