#pragma once

// What the window tests share: a shown form over a fake host, the boxes and events it
// recorded as text, and the operator's ways into each transport mode and into reception.
#include <QRadioButton>
#include <QStringList>
#include <QTest>

#include <cstdint>
#include <memory>

#include "app/text.h"
#include "net/tcp_client.h"
#include "support/fake_env.h"
#include "support/loopback_peer.h"
#include "ui/form1.h"

namespace testing_support {

// The window once start-up's lookup of the host's name has answered: the address labels are
// filled and the reception switch knows the first local address.
inline std::unique_ptr<ui::TForm1> Shown(FakeEnv& env) {
    auto form = std::make_unique<ui::TForm1>(env);
    form->show();
    if (!env.holdLookups) {
        static_cast<void>(QTest::qWaitFor([&env] { return env.AnsweredLookups() > 0; }, 5000));
        QTest::qWait(30);  // the answer, handed over just after, reaches the window
    }
    return form;
}

// The connection panel's text.
inline QString Status(const ui::TForm1& form) {
    return form.StatusBar1->PanelText(0);
}

// Records the status text after each connect, disconnect and error event of a client, in order.
inline void Watch(ui::TForm1& form, net::TClientSocket* client, QStringList& statuses) {
    QVERIFY(client != nullptr);
    const auto after = [&form, &statuses](auto& event) {
        event = [inner = event, &form, &statuses](auto&&... args) {
            inner(args...);
            statuses << Status(form);
        };
    };
    after(client->OnConnect);
    after(client->OnDisconnect);
    after(client->OnError);
}

inline QStringList Boxes(const FakeEnv& env) {
    QStringList texts;
    for (const auto& box : env.boxes) texts.append(app::ToQString(box.text));
    return texts;
}

inline QStringList Events(const FakeEnv& env) {
    QStringList events;
    for (const auto& e : env.events) events.append(QString::fromStdString(e));
    return events;
}

enum Mode { Udp, Tcp, IndyTcp };

inline QRadioButton* RadioOf(ui::TForm1& form, int mode) {
    switch (mode) {
        case Tcp:
            return form.RadioButtonTCP;
        case IndyTcp:
            // Only a TCP disconnect enables it; the operator could click it then.
            form.RadioButton_IndyTCP->setEnabled(true);
            return form.RadioButton_IndyTCP;
        default:
            return form.RadioButton_UDP;
    }
}

inline void EnterMode(ui::TForm1& form, int mode) {
    RadioOf(form, mode)->click();
}

// Rows for the checks that something does nothing outside UDP mode.
inline void OtherModeRows() {
    QTest::addColumn<int>("mode");
    QTest::newRow("TCP mode") << int(Tcp);
    QTest::newRow("Indy TCP mode") << int(IndyTcp);
}

// Switches reception on with the operator's tick, on `port` or a free one, which it returns.
// The first binding's port only has to come first; a free one stands in for 8090, which
// another program may hold here.
inline std::uint16_t Listen(ui::TForm1& form, std::uint16_t port = 0) {
    if (port == 0) port = FreePort();
    std::uint16_t first = FreePort();
    while (first == port) first = FreePort();
    form.UDPServer->DefaultPort = first;
    form.Edit3->setText(QString::number(port));
    form.CheckBox1->click();
    return port;
}

}  // namespace testing_support
