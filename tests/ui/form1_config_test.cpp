// The device exchange on "Настройка сети", driven through the window on real loopback
// sockets: programming mode, request, reply, synchronise, live conversion, replace,
// reconnect and the unlock boxes.
#include <QRegularExpression>
#include <QTest>

#include <cstdint>
#include <memory>
#include <optional>

#include "app/text.h"
#include "support/fake_env.h"
#include "support/form_support.h"
#include "support/loopback_peer.h"
#include "ui/form1.h"

using namespace testing_support;
using ui::TForm1;

namespace {

QStringList Texts(std::initializer_list<const char*> items) {
    QStringList list;
    for (const char* item : items) list.append(QString::fromUtf8(item));
    return list;
}

const QByteArray kSampleReply =
    "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>";
// Edit4, Edit11, Edit18, Edit8, Edit19, Edit26, Edit7 after the sample reply.
const QStringList kSampleReadSide =
    Texts({"6024", "6025", "192.168.119.1", "192.168.119.141", "192.168.119.240", "255.255.255.0",
           "00-AC-6E-24-18-02"});
const QStringList kInitialReadSide =
    Texts({"0", "0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "00:00:00:00:00:00"});

QStringList ReadSide(TForm1& f) {
    f.FlushReadSide();
    QStringList texts;
    for (const QLineEdit* e : {f.Edit4, f.Edit11, f.Edit18, f.Edit8, f.Edit19, f.Edit26, f.Edit7})
        texts.append(e->text());
    return texts;
}

QString Host(const TForm1& f) {
    return app::ToQString(f.UDPClient->Host);
}

// Points the device fields at 127.0.0.1 and `port`, unlocking them as the operator must.
void PointDeviceAt(TForm1& form, const QString& port) {
    if (!form.CheckBox4->isChecked()) form.CheckBox4->click();
    if (!form.CheckBox2->isChecked()) form.CheckBox2->click();
    form.Edit13->setText(QStringLiteral("127.0.0.1"));
    form.Edit5->setText(port);
}

// Sends `bytes` to the listener and waits for its echo, so the datagram has been handled.
bool Deliver(const Peer& peer, const QByteArray& bytes, std::uint16_t port) {
    return peer.SendTo(bytes, "127.0.0.1", port) && peer.Await().has_value();
}

// The client's destination, set through the "Work Socket" edits.
void AimClientAt(TForm1& form, const Peer& peer) {
    form.Edit2->setText(QStringLiteral("127.0.0.1"));
    form.Edit3->setText(QString::number(peer.port()));
}

// A shown window that listens, in programming mode unless told otherwise, and a device peer
// whose replies `Reply` delivers.
struct DeviceSetUp {
    explicit DeviceSetUp(bool programming = true) {
        if (programming) form->CheckBox3->click();
    }
    bool Reply(const QByteArray& bytes = kSampleReply) const {
        // The echo leaves from the listener's thread, perhaps before the window has the reply.
        if (!Deliver(device, bytes, port)) return false;
        form->UDPServer->Settle();
        return true;
    }

    FakeEnv env;
    std::unique_ptr<TForm1> form = Shown(env);
    std::uint16_t port = Listen(*form);
    Peer device;
};

}  // namespace

class Form1ConfigTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // --- programming mode and unlock boxes --------------------------------------------------

    void programmingModeSwitchesTheFourteenFields() {
        FakeEnv env;
        auto form = Shown(env);
        const QList<QLineEdit*> fourteen{form->Edit4,  form->Edit11, form->Edit8,  form->Edit7,
                                         form->Edit6,  form->Edit12, form->Edit9,  form->Edit10,
                                         form->Edit18, form->Edit19, form->Edit20, form->Edit23,
                                         form->Edit26, form->Edit27};
        const QList<QLineEdit*> fixed{form->Edit17, form->Edit16, form->Edit14,
                                      form->Edit21, form->Edit22, form->Edit28,
                                      form->Edit29, form->Edit24, form->Edit25};
        const auto texts = [&] {
            QStringList t;
            for (const QLineEdit* e : fourteen + fixed) t.append(e->text());
            return t;
        };
        const QStringList before = texts();

        for (const bool on : {true, false, true}) {
            form->CheckBox3->click();
            QCOMPARE(form->CheckBox3->isChecked(), on);
            const ui::Colour colour = on ? ui::Colour::Window : ui::Colour::Light3D;
            for (QLineEdit* e : fourteen) {
                QVERIFY2(e->isEnabled() == on, qPrintable(e->objectName()));
                QVERIFY2(ui::ColourOf(e) == colour, qPrintable(e->objectName()));
            }
            for (QLineEdit* e : fixed) {
                QVERIFY2(!e->isEnabled(), qPrintable(e->objectName()));
                QVERIFY2(ui::ColourOf(e) == ui::Colour::Light3D, qPrintable(e->objectName()));
            }
            QCOMPARE(texts(), before);
        }
        QCOMPARE(Boxes(env), QStringList());
    }

    void boxesUnlockTheirFieldsOnly_data() {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QStringList>("fields");
        QTest::newRow("programming mode switches the fourteen")
            << "CheckBox3"
            << Texts({"Edit4", "Edit11", "Edit8", "Edit7", "Edit6", "Edit12", "Edit9", "Edit10",
                      "Edit18", "Edit19", "Edit20", "Edit23", "Edit26", "Edit27"});
        QTest::newRow("Изменить порт governs Edit5") << "CheckBox2" << Texts({"Edit5"});
        QTest::newRow("Изменить IP UDP Server governs Edit13") << "CheckBox4" << Texts({"Edit13"});
    }
    void boxesUnlockTheirFieldsOnly() {
        QFETCH(QString, box);
        QFETCH(QStringList, fields);
        FakeEnv env;
        auto form = Shown(env);
        auto* check = form->findChild<QCheckBox*>(box);
        QVERIFY(check);
        const auto edits =
            form->findChildren<QLineEdit*>(QRegularExpression(QStringLiteral("^Edit\\d+$")));
        const auto describe = [](const QLineEdit* e, bool on, ui::Colour colour) {
            return e->objectName() + (on ? QStringLiteral(" on ") : QStringLiteral(" off ")) +
                   QString::number(int(colour)) + u' ' + e->text();
        };
        QStringList before;
        for (const QLineEdit* e : edits) {
            // The unlock boxes' fields start locked; some of the fourteen take typing at once.
            if (box != QStringLiteral("CheckBox3") && fields.contains(e->objectName()))
                QVERIFY2(!e->isEnabled(), qPrintable(e->objectName()));
            before.append(describe(e, e->isEnabled(), ui::ColourOf(e)));
        }
        for (const bool on : {true, false}) {
            check->click();
            QCOMPARE(check->isChecked(), on);
            QStringList got, expected = before;
            for (int i = 0; i < edits.size(); ++i) {
                got.append(describe(edits[i], edits[i]->isEnabled(), ui::ColourOf(edits[i])));
                if (fields.contains(edits[i]->objectName()))
                    expected[i] =
                        describe(edits[i], on, on ? ui::Colour::Window : ui::Colour::Light3D);
            }
            QCOMPARE(got, expected);
        }
        QCOMPARE(Boxes(env), QStringList());
    }

    // --- request ----------------------------------------------------------------------------

    void requestDoesNothingOutsideItsMode_data() {
        QTest::addColumn<bool>("programming");
        QTest::addColumn<int>("mode");
        QTest::newRow("programming mode off") << false << int(Udp);
        QTest::newRow("TCP mode") << true << int(Tcp);
        QTest::newRow("Indy TCP mode") << true << int(IndyTcp);
    }
    void requestDoesNothingOutsideItsMode() {
        QFETCH(bool, programming);
        QFETCH(int, mode);
        FakeEnv env;
        auto form = Shown(env);
        // A wrong request would go to this witness, or fail to listen beside it.
        const Peer device;
        PointDeviceAt(*form, QString::number(device.port()));
        if (programming) form->CheckBox3->click();
        EnterMode(*form, mode);

        form->Button4->click();
        QCOMPARE(Host(*form), QStringLiteral("192.168.13.41"));
        QCOMPARE(form->UDPServer->BindingCount(), std::size_t(0));
        QVERIFY(!form->UDPServer->Active());
        QCOMPARE(ReceivedBeforeMarker(device), QList<QByteArray>());
        QCOMPARE(Boxes(env), QStringList());
    }

    void requestPointsTheClientAndListens() {
        FakeEnv env;
        auto form = Shown(env);
        const std::uint16_t port = FreePort();
        form->CheckBox3->click();
        PointDeviceAt(*form, QString::number(port));

        // The listener takes 0.0.0.0:port, which covers all of 127/8, so it is itself the one
        // receiver of the request, and shows what arrived.
        form->Button4->click();
        QCOMPARE(Boxes(env), QStringList());
        QCOMPARE(Host(*form), QStringLiteral("127.0.0.1"));
        QCOMPARE(form->UDPClient->Port, int(port));
        QVERIFY(form->UDPServer->Active());
        QCOMPARE(form->UDPServer->BindingCount(), std::size_t(1));
        const net::TIdSocketHandle& binding = form->UDPServer->Binding(0);
        QCOMPARE(binding.IP, std::string());
        QCOMPARE(binding.Port, int(port));
        QVERIFY(binding.Bound());
        const Peer witness;  // its marker shows that exactly one "GO" came before
        QVERIFY(Deliver(witness, "marker", port));
        form->UDPServer->Settle();
        QCOMPARE(form->Memo2->Text(), QStringLiteral("Данные от сервера:\nGO\nmarker"));

        // Again: the request goes out once more; the same binding is not listed twice.
        form->Button4->click();
        QCOMPARE(Boxes(env), QStringList());
        QCOMPARE(form->UDPServer->BindingCount(), std::size_t(1));
        QTRY_COMPARE(form->Memo1->Text(), QStringLiteral("GO"));
        // From the client, not from the witness.
        QVERIFY(form->UDPServer->Binding(0).PeerPort != witness.port());
    }

    void requestOnAnActiveListenerStillSends() {
        FakeEnv env;
        auto form = Shown(env);
        Listen(*form);
        QVERIFY(form->UDPServer->Active());
        QCOMPARE(form->UDPServer->BindingCount(), std::size_t(2));
        // The new binding stays closed, so the device's port is free for the witness.
        const Peer device;
        form->CheckBox3->click();
        PointDeviceAt(*form, QString::number(device.port()));

        form->Button4->click();
        QCOMPARE(Boxes(env), QStringList());
        QCOMPARE(form->UDPServer->BindingCount(), std::size_t(3));
        QCOMPARE(form->UDPServer->Binding(2).Port, int(device.port()));
        QVERIFY(!form->UDPServer->Binding(2).Bound());
        QVERIFY(form->UDPServer->Active());
        QCOMPARE(ReceivedBeforeMarker(device), QList<QByteArray>{"GO"});
    }

    void requestFailures_data() {
        QTest::addColumn<QString>("edit5");  // empty: the witness's port
        QTest::addColumn<bool>("holdPort");
        QTest::addColumn<QString>("box");
        QTest::addColumn<int>("bindings");
        QTest::newRow("Edit5 not an integer")
            << "4x" << false << QStringLiteral("'4x' is not a valid integer value.") << 0;
        QTest::newRow("device port already in use")
            << "" << true
            << QStringLiteral("Could not bind socket. Address and port are already in use.") << 1;
    }
    void requestFailures() {
        QFETCH(QString, edit5);
        QFETCH(bool, holdPort);
        QFETCH(QString, box);
        QFETCH(int, bindings);
        FakeEnv env;
        auto form = Shown(env);
        // The witness holds all interfaces, so the listener cannot take its port; where it
        // does not matter it still sees anything sent to the client's port.
        const Peer witness(holdPort ? "0.0.0.0" : "127.0.0.1");
        QVERIFY(witness.ok());
        form->Edit3->setText(QString::number(witness.port()));
        form->CheckBox3->click();
        PointDeviceAt(*form, edit5.isEmpty() ? QString::number(witness.port()) : edit5);

        form->Button4->click();
        QCOMPARE(Boxes(env), QStringList{box});
        QCOMPARE(Host(*form), QStringLiteral("127.0.0.1"));
        QCOMPARE(form->UDPClient->Port, int(witness.port()));
        QCOMPARE(form->UDPServer->BindingCount(), std::size_t(bindings));
        QVERIFY(!form->UDPServer->Active());
        QCOMPARE(ReceivedBeforeMarker(witness), QList<QByteArray>());
    }

    void requestEmptiesTheReadSideUntilAReply() {
        DeviceSetUp set;
        auto& [env, form, port, device] = set;
        const auto writeSide = [&f = *form] {
            QStringList texts;
            for (const QLineEdit* e :
                 {f.Edit6, f.Edit9, f.Edit16, f.Edit14, f.Edit10, f.Edit12, f.Edit20, f.Edit21,
                  f.Edit22, f.Edit23, f.Edit24, f.Edit25, f.Edit27, f.Edit28, f.Edit29, f.Edit17})
                texts.append(e->text());
            return texts;
        };
        QVERIFY(set.Reply());  // parsed, perhaps not yet shown: it must not land after the click
        const QStringList before = writeSide();
        const Peer silent;
        PointDeviceAt(*form, QString::number(silent.port()));

        form->Button4->click();
        QCOMPARE(Boxes(env), QStringList());
        QCOMPARE(ReceivedBeforeMarker(silent), QList<QByteArray>{"GO"});
        QCOMPARE(ReadSide(*form), QStringList(7, QString()));
        QCOMPARE(writeSide(), before);
        QVERIFY(set.Reply());
        QCOMPARE(ReadSide(*form), kSampleReadSide);
    }

    // --- reply ------------------------------------------------------------------------------

    void replyFillsTheReadSide_data() {
        QTest::addColumn<bool>("programming");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QStringList>("readSide");
        QTest::addColumn<int>("beeps");
        QTest::newRow("the sample reply") << true << kSampleReply << kSampleReadSide << 1;
        QTest::newRow("programming mode off fills nothing, no beep")
            << false << kSampleReply << kInitialReadSide << 0;
        QTest::newRow("several lines: the first one counts (CR LF)")
            << true << kSampleReply + "\r\n<1#2#A.B.C.D#1.2.3.4#5.6.7.8#9.9.9.9#other>"
            << kSampleReadSide << 1;
        QTest::newRow("several lines: the first one counts (LF)")
            << true << kSampleReply + "\n<1#2#A.B.C.D#1.2.3.4#5.6.7.8#9.9.9.9#other>"
            << kSampleReadSide << 1;
        QStringList other = kInitialReadSide;
        other.last() = QStringLiteral("hello");
        QTest::newRow("a reply on the second line is not parsed")
            << true << "hello\r\n" + kSampleReply << other << 1;
        QTest::newRow("other text beeps and overwrites the MAC only")
            << true << QByteArray("hello") << other << 1;
        QStringList cut = kInitialReadSide;
        cut[0] = QStringLiteral("6024");
        cut[1] = QStringLiteral("6025");
        cut.last() = QStringLiteral("1");
        QTest::newRow("cut short after the gateway")
            << true << QByteArray("<1788#1789#C0.A8.77.1>") << cut << 1;
    }
    void replyFillsTheReadSide() {
        QFETCH(bool, programming);
        QFETCH(QByteArray, data);
        QFETCH(QStringList, readSide);
        QFETCH(int, beeps);
        DeviceSetUp set(programming);
        auto& [env, form, port, device] = set;

        QVERIFY(set.Reply(data));
        QCOMPARE(ReadSide(*form), readSide);
        QCOMPARE(env.beeps, beeps);
        const QString text = QString::fromLatin1(data);
        QCOMPARE(form->Memo1->FirstLine(),
                 text.left(text.indexOf(QRegularExpression(QStringLiteral("[\r\n]")))));
        QCOMPARE(Boxes(env), QStringList());
    }

    void typingIntoMemo1ParsesAtEveryKeystroke() {
        FakeEnv env;
        auto form = Shown(env);
        form->CheckBox3->click();
        form->PageControl1->setCurrentWidget(form->TabSheet1);
        form->Memo1->setFocus();
        form->Memo1->selectAll();
        QTest::keyClick(form->Memo1, Qt::Key_Delete);
        QCOMPARE(form->Memo1->Text(), QString());
        env.beeps = 0;

        const QString reply = QString::fromLatin1(kSampleReply);
        QTest::keyClicks(form->Memo1, reply.left(6));  // "<1788#"
        QCOMPARE(env.beeps, 6);
        form->FlushReadSide();
        QCOMPARE(form->Edit4->text(), QStringLiteral("6024"));
        QCOMPARE(form->Edit11->text(), QStringLiteral("0"));
        QTest::keyClicks(form->Memo1, reply.mid(6));
        QCOMPARE(env.beeps, int(reply.size()));
        QCOMPARE(ReadSide(*form), kSampleReadSide);

        // A second line is not parsed.
        QTest::keyClick(form->Memo1, Qt::Key_Return);
        QTest::keyClicks(form->Memo1, QStringLiteral("x"));
        QCOMPARE(env.beeps, int(reply.size()) + 2);
        QCOMPARE(ReadSide(*form), kSampleReadSide);

        // Programming mode off: typing parses nothing and does not beep.
        form->CheckBox3->click();
        form->Memo1->selectAll();
        QTest::keyClicks(form->Memo1, QStringLiteral("abc"));
        QCOMPARE(env.beeps, int(reply.size()) + 2);
        QCOMPARE(ReadSide(*form), kSampleReadSide);
        QCOMPARE(Boxes(env), QStringList());
    }

    // --- synchronise and live conversion ----------------------------------------------------

    void synchroniseCopiesTheReadSideInOrder_data() {
        QTest::addColumn<bool>("afterReply");
        // Edit6 Edit12 Edit9 Edit20 Edit23 Edit27 Edit10
        QTest::addColumn<QStringList>("writeSide");
        // Edit16 Edit14 Edit21 Edit22 Edit24 Edit25 Edit28 Edit29
        QTest::addColumn<QStringList>("quads");
        QTest::addColumn<QStringList>("order");
        QTest::newRow("before any reply the initial texts stay, unconverted")
            << false << kInitialReadSide
            << Texts({"0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0",
                      "0.0.0.0"})
            << QStringList();
        QTest::newRow("after the sample reply")
            << true
            << Texts({"6024", "6025", "192.168.119.141", "192.168.119.1", "192.168.119.240",
                      "255.255.255.0", "00-AC-6E-24-18-02"})
            << Texts({"C0.A8.77.8D", "C0.A8.77.8D", "C0.A8.77.1", "C0.A8.77.01", "C0.A8.77.F0",
                      "C0.A8.77.F0", "FF.FF.FF.0", "FF.FF.FF.00"})
            // A decimal input's own entry follows its two quads: the window's handler is
            // connected before the test's recorder, and converts at once.
            << Texts({"Edit6", "Edit16", "Edit14", "Edit9", "Edit10", "Edit12", "Edit21", "Edit22",
                      "Edit20", "Edit28", "Edit29", "Edit27", "Edit24", "Edit25", "Edit23"});
    }
    void synchroniseCopiesTheReadSideInOrder() {
        QFETCH(bool, afterReply);
        QFETCH(QStringList, writeSide);
        QFETCH(QStringList, quads);
        QFETCH(QStringList, order);
        DeviceSetUp set(afterReply);  // before a reply, as the window starts
        auto& [env, form, port, device] = set;
        if (afterReply) {
            QVERIFY(set.Reply());
            QCOMPARE(ReadSide(*form), kSampleReadSide);
        }
        const QList<QLineEdit*> writeEdits{form->Edit6,  form->Edit12, form->Edit9, form->Edit20,
                                           form->Edit23, form->Edit27, form->Edit10};
        const QList<QLineEdit*> quadEdits{form->Edit16, form->Edit14, form->Edit21, form->Edit22,
                                          form->Edit24, form->Edit25, form->Edit28, form->Edit29};
        QStringList changed;
        const QObject scope;  // ends the connections before the list goes
        for (QLineEdit* e : form->findChildren<QLineEdit*>()) {
            connect(e, &QLineEdit::textChanged, &scope,
                    [&changed, e] { changed.append(e->objectName()); });
        }

        form->Button6->click();
        QStringList gotWrite, gotQuads;
        for (const QLineEdit* e : writeEdits) gotWrite.append(e->text());
        for (const QLineEdit* e : quadEdits) gotQuads.append(e->text());
        QCOMPARE(gotWrite, writeSide);
        QCOMPARE(gotQuads, quads);
        QCOMPARE(changed, order);
        QCOMPARE(Boxes(env), QStringList());
    }

    void decimalInputsConvertAsTyped_data() {
        QTest::addColumn<QStringList>("edits");  // the input, its quads, its padded quads
        QTest::newRow("IP address") << Texts({"Edit9", "Edit16", "Edit14"});
        QTest::newRow("gateway") << Texts({"Edit20", "Edit21", "Edit22"});
        QTest::newRow("handset controller") << Texts({"Edit23", "Edit24", "Edit25"});
        QTest::newRow("network mask") << Texts({"Edit27", "Edit28", "Edit29"});
    }
    void decimalInputsConvertAsTyped() {
        QFETCH(QStringList, edits);
        FakeEnv env;
        auto form = Shown(env);  // programming mode stays off: the conversion does not ask
        auto* in = form->findChild<QLineEdit*>(edits[0]);
        auto* h = form->findChild<QLineEdit*>(edits[1]);
        auto* p = form->findChild<QLineEdit*>(edits[2]);
        QVERIFY(in && h && p);
        QVERIFY(in->isEnabled());
        const auto converted = [&] { return h->text() + u' ' + p->text(); };

        in->setFocus();
        in->selectAll();
        QTest::keyClicks(in, QStringLiteral("192.168.1"));
        QCOMPARE(in->text(), QStringLiteral("192.168.1"));
        QCOMPARE(converted(), QStringLiteral("C0.A8.1.1 C0.A8.01.01"));
        QCOMPARE(Boxes(env), QStringList());
        // A bad text raises and leaves the quads; a trailing dot waits quietly.
        in->setText(QStringLiteral("1.2.3.4.5"));
        QCOMPARE(Boxes(env), QStringList{QStringLiteral("'4.5' is not a valid integer value.")});
        QCOMPARE(converted(), QStringLiteral("C0.A8.1.1 C0.A8.01.01"));
        in->setText(QStringLiteral("192.168.1."));
        QCOMPARE(Boxes(env).size(), 1);
        QCOMPARE(converted(), QStringLiteral("C0.A8.1.1 C0.A8.01.01"));
        in->setText(QStringLiteral("10.0.0.16"));
        QCOMPARE(converted(), QStringLiteral("A.0.0.10 0A.00.00.10"));
    }

    // --- command ----------------------------------------------------------------------------

    void commandSendsConfigurationThenTime_data() {
        QTest::addColumn<bool>("programming");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("withTime");
        QTest::addColumn<bool>("filled");
        // What the device received, as "sent ...", among the pauses and beeps, in one order.
        QTest::addColumn<QStringList>("events");
        const QString sentCommand = QStringLiteral(
            "sent <1788#1789#C0.A8.77.01#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.00#00-AC-6E-24-18-02>");
        const QString sentTime = QStringLiteral("sent USTTIME<26*12*06*07*13*22*45>");
        const QString pause = QStringLiteral("pause 500"), beep = QStringLiteral("beep");
        QTest::newRow("UDP mode, with the time command")
            << true << int(Udp) << true << true << QStringList{sentCommand, pause, sentTime, beep};
        QTest::newRow("UDP mode, without the time command")
            << true << int(Udp) << false << true << QStringList{sentCommand};
        QTest::newRow("the initial window contents, without the time command")
            << true << int(Udp) << false << false
            << Texts({"sent <0#0#0.0.0.0#0.0.0.0#0.0.0.0#0.0.0.0#00:00:00:00:00:00>"});
        QTest::newRow("TCP mode: the time command only")
            << true << int(Tcp) << true << true << QStringList{pause, sentTime, beep};
        QTest::newRow("Indy TCP mode: the time command only")
            << true << int(IndyTcp) << true << true << QStringList{pause, sentTime, beep};
        QTest::newRow("TCP mode without the time command: nothing")
            << true << int(Tcp) << false << true << QStringList();
        QTest::newRow("programming mode off: nothing")
            << false << int(Udp) << true << true << QStringList();
    }
    void commandSendsConfigurationThenTime() {
        QFETCH(bool, programming);
        QFETCH(int, mode);
        QFETCH(bool, withTime);
        QFETCH(bool, filled);
        QFETCH(QStringList, events);
        FakeEnv env;
        auto form = Shown(env);
        const Peer device;
        AimClientAt(*form, device);
        if (programming) form->CheckBox3->click();
        if (filled) {
            form->Edit6->setText(QStringLiteral("6024"));
            form->Edit12->setText(QStringLiteral("6025"));
            form->Edit9->setText(QStringLiteral("192.168.119.141"));
            form->Edit20->setText(QStringLiteral("192.168.119.1"));
            form->Edit23->setText(QStringLiteral("192.168.119.240"));
            form->Edit27->setText(QStringLiteral("255.255.255.0"));
            form->Edit10->setText(QStringLiteral("00-AC-6E-24-18-02"));
        }
        if (!withTime) form->CheckBox7->click();
        QCOMPARE(form->CheckBox7->isChecked(), withTime);
        EnterMode(*form, mode);
        env.events.clear();
        env.beforeEvent = [&] {
            while (const auto d = device.TryReceive())
                env.events.push_back("sent " + d->bytes.toStdString());
        };

        form->Button5->click();
        env.beforeEvent();
        QCOMPARE(Events(env), events);  // no beep from clearing Memo1
        QCOMPARE(form->Memo1->Text(),
                 programming ? QString() : QStringLiteral("Данные от сервера:"));
        QCOMPARE(Boxes(env), QStringList());
    }

    void commandShowsAReplyThatCameMeanwhileBeforeThePause() {
        DeviceSetUp set;
        auto& [env, form, port, device] = set;
        AimClientAt(*form, device);
        // Waiting in the listener's socket when the command goes out.
        QVERIFY(device.SendTo(kSampleReply, "127.0.0.1", port));
        QString atPause;
        env.beforeEvent = [&] {
            if (env.events.empty()) atPause = form->Memo1->FirstLine();
        };

        form->Button5->click();
        QCOMPARE(Events(env), Texts({"beep", "pause 500", "beep"}));
        QCOMPARE(atPause, QString::fromLatin1(kSampleReply));
        QCOMPARE(ReadSide(*form), kSampleReadSide);
    }

    void controlBytesOfAReplyReachTheDeviceUnchanged() {
        DeviceSetUp set;
        auto& [env, form, port, device] = set;
        AimClientAt(*form, device);
        const QByteArray mac(
            "00\x01"
            "AC\x7F",
            6);
        QVERIFY(set.Reply("<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#" + mac + ">"));
        form->CheckBox7->click();  // the configuration command alone

        form->Button6->click();
        form->Button5->click();
        QCOMPARE(ReceivedBeforeMarker(device),
                 QList<QByteArray>{"<1788#1789#C0.A8.77.01#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.00#" +
                                   mac + ">"});
        QCOMPARE(Boxes(env), QStringList());
    }

    void commandConversionErrorSendsNothing_data() {
        QTest::addColumn<QString>("edit6");
        QTest::addColumn<QString>("edit12");
        QTest::addColumn<QString>("box");
        QTest::newRow("telemetry port")
            << "abc"
            << "6025" << QStringLiteral("'abc' is not a valid integer value.");
        QTest::newRow("H.323 port")
            << "6024"
            << "6025a" << QStringLiteral("'6025a' is not a valid integer value.");
        QTest::newRow("the telemetry port is read first")
            << "x"
            << "y" << QStringLiteral("'x' is not a valid integer value.");
    }
    void commandConversionErrorSendsNothing() {
        QFETCH(QString, edit6);
        QFETCH(QString, edit12);
        QFETCH(QString, box);
        FakeEnv env;
        auto form = Shown(env);
        const Peer device;
        AimClientAt(*form, device);
        form->CheckBox3->click();
        form->Edit6->setText(edit6);
        form->Edit12->setText(edit12);
        env.events.clear();

        form->Button5->click();
        QCOMPARE(Boxes(env), QStringList{box});
        QCOMPARE(Events(env), Texts({"box"}));  // no pause, no beep
        QCOMPARE(form->Memo1->Text(), QString());
        QCOMPARE(ReceivedBeforeMarker(device), QList<QByteArray>());
    }

    // --- reconnect --------------------------------------------------------------------------

    void reconnectResetsTheReadSideAndRenewsTheClient() {
        DeviceSetUp set;
        auto& [env, form, port, device] = set;
        QVERIFY(set.Reply());
        form->Edit17->setText(QStringLiteral("5"));
        form->Edit6->setText(QStringLiteral("77"));
        QCOMPARE(ReadSide(*form), kSampleReadSide);
        const QString memo1 = form->Memo1->Text();
        env.events.clear();
        std::optional<bool> activeInPause, buttonShownInPause;
        env.beforeEvent = [&] {
            activeInPause = form->UDPClient->Active();
            buttonShownInPause = form->Button11->isVisible();
        };

        form->Button11->click();
        QCOMPARE(ReadSide(*form), kInitialReadSide);
        QCOMPARE(form->Edit17->text(), QStringLiteral("0"));
        QCOMPARE(Events(env), Texts({"pause 500"}));
        QCOMPARE(activeInPause, std::optional<bool>(false));
        QCOMPARE(buttonShownInPause, std::optional<bool>(false));
        QVERIFY(form->UDPClient->Active());
        QVERIFY(form->Button11->isVisible());
        // Not touched: the write side, the listener, Memo1.
        QCOMPARE(form->Edit6->text(), QStringLiteral("77"));
        QVERIFY(form->UDPServer->Active());
        QCOMPARE(form->Memo1->Text(), memo1);
        // The new socket sends.
        AimClientAt(*form, device);
        form->Button1->click();
        QCOMPARE(ReceivedBeforeMarker(device), QList<QByteArray>{"TEST"});
        QCOMPARE(Boxes(env), QStringList());
    }

    void reconnectDoesNothingOutsideUdpMode_data() { OtherModeRows(); }
    void reconnectDoesNothingOutsideUdpMode() {
        QFETCH(int, mode);
        FakeEnv env;
        auto form = Shown(env);
        form->Edit4->setText(QStringLiteral("6024"));
        EnterMode(*form, mode);
        env.events.clear();
        form->Button11->click();
        QCOMPARE(form->Edit4->text(), QStringLiteral("6024"));
        QCOMPARE(Events(env), QStringList());
        QVERIFY(!form->UDPClient->Active());
        QVERIFY(form->Button11->isVisible());
    }
};

QTEST_MAIN(Form1ConfigTest)
#include "form1_config_test.moc"
