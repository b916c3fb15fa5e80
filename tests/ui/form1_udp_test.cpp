// The UDP side of the window on real loopback sockets: the operator's send, the destination
// edits, the mode buttons, the reception switch, and how received datagrams are shown and
// answered.
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTextDocument>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/text.h"
#include "support/event_loop.h"
#include "support/fake_env.h"
#include "support/form_support.h"
#include "support/loopback_peer.h"
#include "ui/form1.h"

using namespace testing_support;

namespace {

QByteArray EchoOf(const FakeEnv& env, const QByteArray& message) {
    return "Replied from " + QByteArray::fromStdString(env.hostName) + " to \"" + message + "\"";
}

QByteArray Pattern(int size) {
    return QByteArray::fromStdString(LetterPattern(std::size_t(size)));
}

// Sends one datagram whose source address and port are forged, as a raw packet; false where
// raw sockets are not allowed.
bool SendForged(const QByteArray& payload, std::uint16_t fromPort, std::uint16_t toPort) {
    const int fd = ::socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (fd < 0) return false;
    QByteArray packet(28, '\0');
    const auto put16 = [&](int at, std::uint16_t v) {
        packet[at] = static_cast<char>(v >> 8);
        packet[at + 1] = static_cast<char>(v & 0xFF);
    };
    packet[0] = 0x45;  // IPv4, 20-byte header; length and checksum are the kernel's
    packet[8] = 64;    // time to live
    packet[9] = IPPROTO_UDP;
    const char loopback[] = {127, 0, 0, 1};
    for (int i = 0; i < 4; ++i) packet[12 + i] = packet[16 + i] = loopback[i];
    put16(20, fromPort);
    put16(22, toPort);
    put16(24, static_cast<std::uint16_t>(8 + payload.size()));  // UDP checksum 0: none
    packet += payload;
    const sockaddr_in to = Address("127.0.0.1", toPort);
    const bool sent = ::sendto(fd, packet.constData(), static_cast<std::size_t>(packet.size()), 0,
                               reinterpret_cast<const sockaddr*>(&to), sizeof to) == packet.size();
    ::close(fd);
    return sent;
}

QStringList NewLines(const ui::TMemo* memo) {
    return memo->Text().split(u'\n').mid(1);  // after the memo's start text
}

const QString kMemoStart = QStringLiteral("Данные от сервера:");

// Sends `bytes` to the listener and returns its answer.
std::optional<Datagram> Exchange(const Peer& peer, const QByteArray& bytes, std::uint16_t port,
                                 const char* ip = "127.0.0.1") {
    if (!peer.SendTo(bytes, ip, port)) return std::nullopt;
    return peer.Await();
}

// The echo leaves from the listener's thread, perhaps before the window has shown its
// datagram: waits until Memo1 has changed `count` times.
bool ShownAll(const QSignalSpy& memo1Changes, int count) {
    return SpinUntil([&] { return memo1Changes.count() >= count; });
}

QByteArray AnswerTo(const Peer& peer, const QByteArray& bytes, std::uint16_t port) {
    const auto echo = Exchange(peer, bytes, port);
    return echo ? echo->bytes : QByteArray("<no answer>");
}

}  // namespace

class Form1UdpTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // --- send -----------------------------------------------------------------------------

    void sendGoesToTheEditedDestination_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("portOver");  // added to the peer's port in Edit3
        QTest::addColumn<QList<QByteArray>>("received");
        QTest::newRow("the start text") << int(Udp) << "127.0.0.1"
                                        << "TEST" << 0 << QList<QByteArray>{"TEST"};
        QTest::newRow("an empty text sends an empty datagram")
            << int(Udp) << "127.0.0.1"
            << "" << 0 << QList<QByteArray>{QByteArray()};
        QTest::newRow("Cyrillic travels as code page 1251")
            << int(Udp) << "127.0.0.1" << QStringLiteral("Привет, ёж") << 0
            << QList<QByteArray>{QByteArray::fromStdString(app::Cp1251("Привет, ёж"))};
        QTest::newRow("no terminator is added to a line break")
            << int(Udp) << "127.0.0.1"
            << "a\r\nb" << 0 << QList<QByteArray>{"a\r\nb"};
        QTest::newRow("localhost in lower case") << int(Udp) << "localhost"
                                                 << "x" << 0 << QList<QByteArray>{"x"};
        QTest::newRow("LocalHost in mixed case") << int(Udp) << "LocalHost"
                                                 << "TEST" << 0 << QList<QByteArray>{"TEST"};
        QTest::newRow("the low 16 bits of the port")
            << int(Udp) << "127.0.0.1"
            << "wrapped" << 65536 << QList<QByteArray>{"wrapped"};
        QTest::newRow("nothing in TCP mode") << int(Tcp) << "127.0.0.1"
                                             << "TEST" << 0 << QList<QByteArray>();
        QTest::newRow("nothing in Indy TCP mode") << int(IndyTcp) << "127.0.0.1"
                                                  << "TEST" << 0 << QList<QByteArray>();
    }
    void sendGoesToTheEditedDestination() {
        QFETCH(int, mode);
        QFETCH(QString, host);
        QFETCH(QString, text);
        QFETCH(int, portOver);
        QFETCH(QList<QByteArray>, received);
        FakeEnv env;
        auto form = Shown(env);
        // Until an edit changes, the client keeps the layout's destination, not the edits'.
        QCOMPARE(app::ToQString(form->UDPClient->Host), QStringLiteral("192.168.13.41"));
        QCOMPARE(form->UDPClient->Port, 6104);

        const Peer peer;
        QVERIFY(peer.ok());
        form->Edit2->setText(host);
        QCOMPARE(app::ToQString(form->UDPClient->Host), host);
        form->Edit3->setText(QString::number(peer.port() + portOver));
        QCOMPARE(form->UDPClient->Port, peer.port() + portOver);
        QCOMPARE(form->PortLabel->text(), QString::number(peer.port() + portOver));
        form->Edit1->setText(text);
        EnterMode(*form, mode);
        if (mode != Udp) QVERIFY(!form->UDPClient->Active());
        form->Button1->click();

        QCOMPARE(ReceivedBeforeMarker(peer), received);
        QCOMPARE(Boxes(env), QStringList());
        // A UDP send would have given the client a socket again.
        if (mode != Udp) QVERIFY(!form->UDPClient->Active());
    }

    void sendUsesTheLow16BitsOfThePort() {
        FakeEnv env;
        auto form = Shown(env);
        form->Edit2->setText(QStringLiteral("127.0.0.1"));
        form->Edit3->setText(QStringLiteral("70000"));
        QCOMPARE(form->UDPClient->Port, 70000);
        QCOMPARE(form->PortLabel->text(), QStringLiteral("70000"));

        const Peer peer("127.0.0.1", 70000 - 65536);
        if (!peer.ok()) QSKIP("port 4464 is taken on this machine; delivery not checked");
        form->Edit1->setText(QStringLiteral("wrapped"));
        form->Button1->click();
        QCOMPARE(ReceivedBeforeMarker(peer), QList<QByteArray>{"wrapped"});
        QCOMPARE(Boxes(env), QStringList());
    }

    // --- destination edits ------------------------------------------------------------------

    void portEditsFollowIntoLabelAndPort_data() {
        QTest::addColumn<QString>("edit3");
        QTest::addColumn<bool>("viaEdit5");  // Edit3 left unapplied, then Edit5 changed
        QTest::addColumn<QString>("edit5");
        QTest::addColumn<QString>("label");
        QTest::addColumn<int>("port");
        QTest::addColumn<QStringList>("boxes");
        const QStringList notInteger{QStringLiteral("'60a' is not a valid integer value.")};
        // Without Edit5, Edit3 holds 5000 first.
        QTest::newRow("emptied changes nothing") << "" << false << ""
                                                 << "5000" << 5000 << QStringList();
        QTest::newRow("not an integer: shown, raises, port kept") << "60a" << false << ""
                                                                  << "60a" << 5000 << notInteger;
        QTest::newRow("a trailing blank is not an integer")
            << "6001 " << false << ""
            << "6001 " << 5000
            << QStringList{QStringLiteral("'6001 ' is not a valid integer value.")};
        QTest::newRow("hexadecimal with a dollar") << "$1F" << false << ""
                                                   << "$1F" << 31 << QStringList();
        QTest::newRow("no range check") << "100000" << false << ""
                                        << "100000" << 100000 << QStringList();
        QTest::newRow("a leading blank is allowed") << " 6002" << false << ""
                                                    << " 6002" << 6002 << QStringList();
        QTest::newRow("Edit5 applies Edit3's text, not its own") << "5002" << true << "4001"
                                                                 << "5002" << 5002 << QStringList();
        QTest::newRow("Edit5 is never converted") << "5003" << true << "abc"
                                                  << "5003" << 5003 << QStringList();
        QTest::newRow("empty Edit3 changes nothing") << "" << true << "4002"
                                                     << "6104" << 6104 << QStringList();
        QTest::newRow("Edit5 with Edit3 not an integer") << "60a" << true << "4003"
                                                         << "60a" << 6104 << notInteger;
    }
    void portEditsFollowIntoLabelAndPort() {
        QFETCH(QString, edit3);
        QFETCH(bool, viaEdit5);
        QFETCH(QString, edit5);
        QFETCH(QString, label);
        QFETCH(int, port);
        QFETCH(QStringList, boxes);
        FakeEnv env;
        auto form = Shown(env);
        if (viaEdit5) {
            {
                const QSignalBlocker quiet(form->Edit3);
                form->Edit3->setText(edit3);
            }
            QCOMPARE(form->UDPClient->Port, 6104);
            form->CheckBox2->click();  // unlocks Edit5, as the operator must
            QVERIFY(form->Edit5->isEnabled());
            form->Edit5->setText(edit5);
        } else {
            form->Edit3->setText(QStringLiteral("5000"));
            QCOMPARE(form->PortLabel->text(), QStringLiteral("5000"));
            QCOMPARE(form->UDPClient->Port, 5000);
            form->Edit3->setText(edit3);
        }
        QCOMPARE(form->PortLabel->text(), label);
        QCOMPARE(form->UDPClient->Port, port);
        QCOMPARE(Boxes(env), boxes);
    }

    // --- transport mode ---------------------------------------------------------------------

    void modeHandlersSetTheirStatesAndKeepTheListener_data() {
        QTest::addColumn<QList<int>>("path");
        QTest::addColumn<bool>("tcpButtons");
        QTest::addColumn<bool>("listening");
        for (const bool listening : {true, false}) {
            const char* const suffix = listening ? ", listening" : ", not listening";
            QTest::addRow("TCP from UDP%s", suffix) << QList<int>{Tcp} << true << listening;
            QTest::addRow("UDP after TCP%s", suffix) << QList<int>{Tcp, Udp} << false << listening;
            QTest::addRow("Indy from UDP leaves the buttons disabled%s", suffix)
                << QList<int>{IndyTcp} << false << listening;
            QTest::addRow("Indy from TCP leaves the buttons enabled%s", suffix)
                << QList<int>{Tcp, IndyTcp} << true << listening;
            QTest::addRow("UDP after Indy after TCP%s", suffix)
                << QList<int>{Tcp, IndyTcp, Udp} << false << listening;
        }
    }
    void modeHandlersSetTheirStatesAndKeepTheListener() {
        QFETCH(QList<int>, path);
        QFETCH(bool, tcpButtons);
        QFETCH(bool, listening);
        FakeEnv env;
        auto form = Shown(env);
        const std::uint16_t port = listening ? Listen(*form) : 0;
        for (const int mode : path) {
            QRadioButton* radio = RadioOf(*form, mode);
            radio->click();
            QVERIFY(radio->isChecked());
        }
        const bool udp = path.last() == Udp;
        QCOMPARE(form->Button2->isEnabled(), tcpButtons);
        QCOMPARE(form->Button3->isEnabled(), tcpButtons);
        QCOMPARE(form->UDPClient->Active(), udp);
        QCOMPARE(form->CheckBox1->isEnabled(), udp);
        QCOMPARE(form->CheckBox1->isChecked(), listening);
        QCOMPARE(form->UDPServer->Active(), listening);
        if (listening) {
            const Peer peer;
            QCOMPARE(AnswerTo(peer, "still here", port), EchoOf(env, "still here"));
        }
        QCOMPARE(Boxes(env), QStringList());
    }

    // --- reception switch -------------------------------------------------------------------

    void receptionBindsFirstLocalAddressThenAllInterfaces() {
        FakeEnv env;
        // Loopback answers on all of 127/8: a first address that is not 127.0.0.1 shows which
        // entry of the list is used.
        env.addresses = std::vector<std::string>{"127.0.0.2", "127.0.0.1"};
        auto form = Shown(env);
        const std::uint16_t port = Listen(*form);
        const std::uint16_t defaultPort = form->UDPServer->DefaultPort;

        QCOMPARE(Boxes(env), QStringList());
        QVERIFY(form->UDPServer->Active());
        QCOMPARE(form->UDPServer->BindingCount(), std::size_t(2));
        const net::TIdSocketHandle& first = form->UDPServer->Binding(0);
        const net::TIdSocketHandle& second = form->UDPServer->Binding(1);
        QCOMPARE(first.IP, std::string("127.0.0.2"));
        QCOMPARE(first.Port, int(defaultPort));
        QVERIFY(first.Bound());
        QCOMPARE(second.IP, std::string());
        QCOMPARE(second.Port, int(port));
        QVERIFY(second.Bound());

        // Each binding answers from its own address and port.
        const Peer peer;
        auto echo = Exchange(peer, "to first", defaultPort, "127.0.0.2");
        QVERIFY(echo);
        QCOMPARE(echo->bytes, EchoOf(env, "to first"));
        QCOMPARE(echo->fromIp, QStringLiteral("127.0.0.2"));
        QCOMPARE(int(echo->fromPort), int(defaultPort));
        echo = Exchange(peer, "to second", port);
        QVERIFY(echo);
        QCOMPARE(echo->bytes, EchoOf(env, "to second"));
        QCOMPARE(int(echo->fromPort), int(port));
    }

    void receptionOffAndOnAgain() {
        FakeEnv env;
        auto form = Shown(env);
        const std::uint16_t port = Listen(*form);
        const std::uint16_t defaultPort = form->UDPServer->DefaultPort;
        QVERIFY(form->UDPServer->Active());

        form->CheckBox1->click();
        QVERIFY(!form->UDPServer->Active());
        QCOMPARE(form->UDPServer->BindingCount(), std::size_t(2));
        QVERIFY(!form->UDPServer->Binding(0).Bound());
        QVERIFY(!form->UDPServer->Binding(1).Bound());
        {
            // Both ports are free again.
            const Peer a("0.0.0.0", defaultPort), b("0.0.0.0", port);
            QVERIFY(a.ok());
            QVERIFY(b.ok());
        }

        // Equal bindings are not listed twice, so switching on again works.
        form->CheckBox1->click();
        QCOMPARE(Boxes(env), QStringList());
        QVERIFY(form->UDPServer->Active());
        QCOMPARE(form->UDPServer->BindingCount(), std::size_t(2));
        const Peer peer;
        QCOMPARE(AnswerTo(peer, "again", port), EchoOf(env, "again"));
    }

    // CheckBox6 switches off a listener only while reception is not ticked.
    void checkBox6SwitchesOffAnUntickedListener_data() {
        QTest::addColumn<bool>("ticked");
        QTest::newRow("reception ticked: nothing changes") << true;
        QTest::newRow("listening after a configuration read: off") << false;
    }
    void checkBox6SwitchesOffAnUntickedListener() {
        QFETCH(bool, ticked);
        FakeEnv env;
        auto form = Shown(env);
        std::uint16_t port = FreePort();
        if (ticked) {
            port = Listen(*form);
        } else {
            // A configuration read is the one way to a listener without the reception tick.
            form->CheckBox3->click();
            form->CheckBox2->click();
            form->CheckBox4->click();
            form->Edit13->setText(QStringLiteral("127.0.0.1"));
            form->Edit5->setText(QString::number(port));
            form->Button4->click();
            QCOMPARE(Boxes(env), QStringList());
        }
        QVERIFY(form->UDPServer->Active());
        const auto bindings = form->UDPServer->BindingCount();
        QCOMPARE(bindings, std::size_t(ticked ? 2 : 1));
        const bool box6 = form->CheckBox6->isChecked();

        form->CheckBox6->click();
        QCOMPARE(form->CheckBox6->isChecked(), !box6);
        QCOMPARE(form->UDPServer->Active(), ticked);
        QCOMPARE(form->UDPServer->Binding(0).Bound(), ticked);
        form->CheckBox6->click();  // again: on a listener that is off already, nothing
        QCOMPARE(form->UDPServer->Active(), ticked);
        QCOMPARE(form->UDPServer->BindingCount(), bindings);
        QCOMPARE(form->CheckBox1->isChecked(), ticked);
        QCOMPARE(Boxes(env), QStringList());
        if (ticked) {
            const Peer peer;
            QCOMPARE(AnswerTo(peer, "still here", port), EchoOf(env, "still here"));
        }
    }

    void receptionFailures_data() {
        QTest::addColumn<bool>("holdPort");
        QTest::addColumn<QString>("edit3");
        QTest::addColumn<bool>("hasAddress");
        QTest::addColumn<QString>("box");
        QTest::addColumn<int>("bindings");
        QTest::newRow("port held by another socket")
            << true << "" << true
            << QStringLiteral("Could not bind socket. Address and port are already in use.") << 2;
        QTest::newRow("Edit3 not an integer, after the first binding")
            << false << "abc" << true << QStringLiteral("'abc' is not a valid integer value.") << 1;
        QTest::newRow("no local address")
            << false << "6001" << false << QStringLiteral("List index out of bounds (0)") << 0;
    }
    void receptionFailures() {
        QFETCH(bool, holdPort);
        QFETCH(QString, edit3);
        QFETCH(bool, hasAddress);
        QFETCH(QString, box);
        QFETCH(int, bindings);
        FakeEnv env;
        if (!hasAddress) env.addresses = std::vector<std::string>{};
        auto form = Shown(env);
        const std::uint16_t port = FreePort();
        std::uint16_t defaultPort = FreePort();
        while (defaultPort == port) defaultPort = FreePort();
        std::optional<Peer> holder;
        if (holdPort) {
            holder.emplace("0.0.0.0", port);
            QVERIFY(holder->ok());
        }
        form->UDPServer->DefaultPort = defaultPort;
        form->Edit3->setText(edit3.isEmpty() ? QString::number(port) : edit3);
        env.boxes.clear();
        form->CheckBox1->click();

        QCOMPARE(Boxes(env), QStringList{box});
        QVERIFY(form->CheckBox1->isChecked());
        QVERIFY(!form->UDPServer->Active());
        QCOMPARE(form->UDPServer->BindingCount(), std::size_t(bindings));
        if (bindings == 2) QVERIFY(!form->UDPServer->Binding(1).Bound());
    }

    // --- the display rule and the echo ------------------------------------------------------

    void datagramIsShownAndAnswered_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("shown");  // Memo1's text; null: check the parts only
        QTest::addColumn<QStringList>("parts");
        QTest::newRow("abc") << QByteArray("abc") << QStringLiteral("abc") << QStringList();
        QTest::newRow("empty") << QByteArray() << QStringLiteral("") << QStringList();
        QTest::newRow("8192 bytes, the buffer's size")
            << Pattern(8192) << QString::fromLatin1(Pattern(8192)) << QStringList();
        QTest::newRow("a NUL and control bytes do not cut the rest")
            << QByteArray(
                   "ab\0cd\x01\x1B\x7F"
                   "ef",
                   10)
            << QString()
            << QStringList{QStringLiteral("ab"), QStringLiteral("cd"), QStringLiteral("ef")};
        QByteArray high;
        for (int b = 0x80; b <= 0xFF; ++b) high.append(static_cast<char>(b));
        QTest::newRow("bytes 0x80 to 0xFF")
            << high << QString()
            << QStringList{QStringLiteral("АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ"
                                          "абвгдежзийклмнопрстуфхцчшщъыьэюя")};
    }
    void datagramIsShownAndAnswered() {
        QFETCH(QByteArray, data);
        QFETCH(QString, shown);
        QFETCH(QStringList, parts);
        FakeEnv env;
        env.hostName = app::Cp1251("стенд-7");
        auto form = Shown(env);
        const std::uint16_t port = Listen(*form);
        QSignalSpy changes(form->Memo1, &ui::TMemo::Changed);
        QStringList firstLineAtChange;
        const QObject scope;  // ends the connection before the list goes
        connect(form->Memo1, &ui::TMemo::Changed, &scope,
                [&] { firstLineAtChange.append(form->Memo1->FirstLine()); });

        const Peer peer;
        const auto echo = Exchange(peer, data, port);
        QVERIFY(echo);
        QCOMPARE(echo->bytes, EchoOf(env, data));
        QCOMPARE(echo->fromIp, QStringLiteral("127.0.0.1"));
        QCOMPARE(int(echo->fromPort), int(port));
        QVERIFY(ShownAll(changes, 1));
        QCOMPARE(int(form->UDPServer->Binding(1).PeerPort), int(peer.port()));

        const QString memo1 = form->Memo1->Text();
        if (!shown.isNull()) QCOMPARE(memo1, shown);
        for (const QString& part : parts) QVERIFY2(memo1.contains(part), qPrintable(part));
        QVERIFY(!memo1.contains(u'\n'));
        for (const QChar c : memo1)
            QVERIFY2(c.unicode() >= 0x20 || c == u'\t', "control shown raw");
        QCOMPARE(form->Memo2->Text(), kMemoStart + u'\n' + memo1);
        // One change, with the message already in place; drawing it later adds none.
        QCOMPARE(firstLineAtChange, QStringList{memo1});
        form->PageControl1->setCurrentWidget(form->TabSheet1);
        QTRY_COMPARE(form->Memo1->document()->toRawText(), memo1);
        QCOMPARE(changes.count(), 1);
        QCOMPARE(form->Memo1->Text(), memo1);  // reads back the same once drawn
        QCOMPARE(Boxes(env), QStringList());
    }

    void datagramLongerThanTheBufferIsDropped() {
        FakeEnv env;
        auto form = Shown(env);
        const std::uint16_t port = Listen(*form);
        QSignalSpy changes(form->Memo1, &ui::TMemo::Changed);
        const Peer peer;
        QVERIFY(peer.SendTo(Pattern(8193), "127.0.0.1", port));
        QCOMPARE(AnswerTo(peer, "after", port), EchoOf(env, "after"));
        QVERIFY(ShownAll(changes, 1));
        QCOMPARE(form->Memo1->Text(), QStringLiteral("after"));
        QCOMPARE(form->Memo2->Text(), kMemoStart + QStringLiteral("\nafter"));
        QCOMPARE(changes.count(), 1);
    }

    void datagramsInARowEachGiveOneLine() {
        FakeEnv env;
        auto form = Shown(env);
        const std::uint16_t port = Listen(*form);
        QSignalSpy changes(form->Memo1, &ui::TMemo::Changed);
        const Peer peer;
        QStringList sent;
        for (int i = 1; i <= 20; ++i) {
            const QByteArray message = "m" + QByteArray::number(i);
            QVERIFY(peer.SendTo(message, "127.0.0.1", port));
            sent.append(QString::fromLatin1(message));
        }
        for (const QString& message : sent) {
            const auto echo = peer.Await();
            QVERIFY2(echo, qPrintable(message));
            QCOMPARE(echo->bytes, EchoOf(env, message.toLatin1()));
        }
        QVERIFY(ShownAll(changes, int(sent.size())));
        QCOMPARE(form->Memo2->Text(), kMemoStart + u'\n' + sent.join(u'\n'));
        QCOMPARE(form->Memo1->Text(), sent.last());
        QCOMPARE(changes.count(), int(sent.size()));
    }

    // In programming mode replies are parsed when the read side is next shown; a burst longer
    // than the window holds unparsed is parsed on the way. Either way the edits end as taking
    // each reply in turn leaves them: the later groups of the one full reply, long before the
    // cut ones, included.
    void aBurstOfRepliesEndsAsEachInTurnWould() {
        std::vector<std::string> replies{
            "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>"};
        for (int i = 1; i <= 5000; ++i) {
            replies.push_back("<" + QByteArray::number(i, 16).toStdString() + "#2#x" +
                              std::to_string(i) + ">");
        }
        FakeEnv stepEnv, burstEnv;
        auto step = Shown(stepEnv);
        auto burst = Shown(burstEnv);
        step->CheckBox3->click();
        burst->CheckBox3->click();
        const auto receive = [](ui::TForm1& form, const std::string& reply) {
            form.Memo1->ClearSilently();
            form.Memo1->AddMessage(reply);  // as the listener's handler does
        };
        for (const std::string& reply : replies) {
            receive(*step, reply);
            step->FlushReadSide();
            receive(*burst, reply);
        }
        burst->FlushReadSide();
        const auto texts = [](const ui::TForm1& f) {
            QStringList t;
            for (const QLineEdit* e :
                 {f.Edit4, f.Edit11, f.Edit18, f.Edit8, f.Edit19, f.Edit26, f.Edit7})
                t.append(e->text());
            return t;
        };
        QCOMPARE(texts(*burst), texts(*step));
        QCOMPARE(burst->Edit18->text(), QStringLiteral("192.168.119.1"));  // from the full one
        QCOMPARE(burstEnv.beeps, int(replies.size()));
    }

    // --- echo loops -------------------------------------------------------------------------

    void echoRepliesAreShownButNotAnswered_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("answered");
        QTest::newRow("an echo reply") << QByteArray("Replied from far to \"abc\"") << false;
        QTest::newRow("the shortest echo reply") << QByteArray("Replied from \"") << false;
        QTest::newRow("begins like one, no closing quote")
            << QByteArray("Replied from far to \"abc") << false;
        QTest::newRow("closing quote only") << QByteArray("say \"abc\"") << true;
        QTest::newRow("the start in lower case") << QByteArray("replied from far \"") << true;
    }
    void echoRepliesAreShownButNotAnswered() {
        QFETCH(QByteArray, data);
        QFETCH(bool, answered);
        FakeEnv env;
        auto form = Shown(env);
        const std::uint16_t port = Listen(*form);
        const Peer peer;
        QVERIFY(peer.SendTo(data, "127.0.0.1", port));
        // Handled in order: the marker's echo comes after whatever the datagram got.
        QVERIFY(peer.SendTo("marker", "127.0.0.1", port));
        QList<QByteArray> got;
        while (got.isEmpty() || got.last() != EchoOf(env, "marker")) {
            const auto echo = peer.Await();
            QVERIFY(echo);
            got.append(echo->bytes);
        }
        QCOMPARE(got.size(), answered ? 2 : 1);
        QTRY_COMPARE(NewLines(form->Memo2),
                     (QStringList{QString::fromLatin1(data), QStringLiteral("marker")}));
    }

    void anotherListenerGetsOneEchoOnly() {
        FakeEnv env;
        auto form = Shown(env);
        const std::uint16_t port = Listen(*form);
        // Another listener that answers everything, as a forged sender address can pit two
        // listeners against each other.
        net::TIdUDPServer other;
        other.AddBinding("127.0.0.1", 0);
        int heard = 0;
        other.OnUDPRead = [&](net::TIdUDPServer&, std::string_view data,
                              net::TIdSocketHandle& binding) {
            ++heard;
            binding.SendTo("Replied from other to \"" + std::string(data) + "\"", binding.PeerIP,
                           binding.PeerPort);
        };
        other.SetActive(true);
        other.Binding(0).SendTo("x", "127.0.0.1", port);
        QTRY_COMPARE(NewLines(form->Memo2).size(), 2);
        SpinFor(100);  // room for a loop to show itself
        QCOMPARE(heard, 1);
        QCOMPARE(NewLines(form->Memo2).size(), 2);
    }

    void aDatagramFromItsOwnSocketIsNotAnswered() {
        FakeEnv env;
        auto form = Shown(env);
        const std::uint16_t port = Listen(*form);
        // "From" its own first binding, 127.0.0.1 and the default port.
        if (!SendForged("x", form->UDPServer->DefaultPort, port))
            QSKIP("raw sockets need CAP_NET_RAW");
        const Peer peer;
        QCOMPARE(AnswerTo(peer, "marker", port), EchoOf(env, "marker"));
        // An echo of "x" would have gone to the first binding, ahead of this second marker.
        QCOMPARE(AnswerTo(peer, "first", form->UDPServer->DefaultPort), EchoOf(env, "first"));
        QTRY_COMPARE(
            NewLines(form->Memo2),
            (QStringList{QStringLiteral("x"), QStringLiteral("marker"), QStringLiteral("first")}));
    }

    // A peer that answers every datagram, echo replies included, with the same bytes and a
    // little more: one round, not a ping-pong.
    void alteredEchoRepliesAreNotAnswered_data() {
        QTest::addColumn<QByteArray>("added");
        QTest::newRow("a line end") << QByteArray("\n");
        QTest::newRow("a NUL") << QByteArray(1, '\0');
        QTest::newRow("a word") << QByteArray(" (seen)");
    }
    void alteredEchoRepliesAreNotAnswered() {
        QFETCH(QByteArray, added);
        FakeEnv env;
        auto form = Shown(env);
        const std::uint16_t port = Listen(*form);
        const Peer peer;
        QVERIFY(peer.SendTo("ping", "127.0.0.1", port));
        int rounds = 0;
        while (const auto echo = peer.Await(300)) {
            ++rounds;
            QVERIFY(peer.SendTo(echo->bytes + added, "127.0.0.1", port));
            if (rounds > 5) break;
        }
        QCOMPARE(rounds, 1);
        // The altered echo is shown, after "ping".
        QCOMPARE(NewLines(form->Memo2).first(), QStringLiteral("ping"));
        QVERIFY(NewLines(form->Memo2)
                    .at(1)
                    .startsWith(QString::fromLatin1(EchoOf(env, "ping").chopped(1))));
    }

    // The name in the echo is the one the IP watcher took at its last check, not asked for
    // per datagram.
    void echoNamesTheHostAsTheWatcherLastFoundIt() {
        FakeEnv env;
        env.hostName = "first-name";
        auto form = Shown(env);
        const std::uint16_t port = Listen(*form);
        form->IdIPWatch1->SetActive(false);  // no check from the timer meanwhile
        const int asked = env.hostNameCalls;
        env.hostName = "second-name";
        const Peer peer;
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(AnswerTo(peer, "abc", port), EchoOf(env, "abc").replace("second", "first"));
        }
        QCOMPARE(env.hostNameCalls, asked);
        form->IdIPWatch1->SetActive(true);
        form->IdIPWatch1->Check();
        QCOMPARE(AnswerTo(peer, "abc", port), EchoOf(env, "abc"));
    }

    // Run by shaped_echo_test.sh, where replies from the port it names crawl out.
    void echoNeverWaitsForRoom() {
        const QByteArray shaped = qgetenv("ORVAN_SHAPED_ECHO_PORT");
        if (shaped.isEmpty()) QSKIP("runs where replies are slowed down (shaped_echo_test.sh)");
        FakeEnv env;
        auto form = Shown(env);
        const std::uint16_t port = Listen(*form, shaped.toUShort());
        const Peer peer;
        // Far more replies than a send buffer holds: those it cannot take at once are dropped.
        constexpr int kCount = 80;
        const QByteArray message(7000, 'm');
        QElapsedTimer took;
        took.start();
        for (int i = 0; i < kCount; ++i) {
            QVERIFY(peer.SendTo(message, "127.0.0.1", port));
            SpinFor(1);
        }
        QTRY_COMPARE_WITH_TIMEOUT(NewLines(form->Memo2).size(), kCount, 15000);
        // Waiting for room would hold the window about a second per reply it cannot send.
        QVERIFY2(took.elapsed() < 15000, qPrintable(QString::number(took.elapsed())));
    }

    void clearWindowEmptiesMemo2Only() {
        FakeEnv env;
        auto form = Shown(env);
        const std::uint16_t port = Listen(*form);
        const Peer peer;
        QVERIFY(Exchange(peer, "abc", port));
        QVERIFY(Exchange(peer, "def", port));
        QTRY_COMPARE(form->Memo1->Text(), QStringLiteral("def"));

        form->Button8->click();
        QCOMPARE(form->Memo2->Text(), QString());
        QCOMPARE(form->Memo1->Text(), QStringLiteral("def"));
        QVERIFY(Exchange(peer, "xyz", port));
        QTRY_COMPARE(form->Memo2->Text(), QStringLiteral("xyz"));
    }

    void emptyMessageKeepsItsLineInAClearedMemo2() {
        FakeEnv env;
        auto form = Shown(env);
        const std::uint16_t port = Listen(*form);
        form->Button8->click();
        const Peer peer;
        QVERIFY(Exchange(peer, "", port));
        QTRY_COMPARE(form->Memo2->Size(), qsizetype(1));  // the empty line and its break
        form->Memo2->Flush();                             // a frame passes and the line is drawn
        QVERIFY(Exchange(peer, "abc", port));
        QTRY_COMPARE(form->Memo2->Text(), QStringLiteral("\nabc"));
    }
};

QTEST_MAIN(Form1UdpTest)
#include "form1_udp_test.moc"
