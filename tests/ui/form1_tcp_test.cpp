// The TCP side of the window against real peers on loopback: the static client, the clients
// made per destination, their names, status texts and reads, and the end of the window.
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>

#include <future>
#include <memory>

#include "app/application.h"
#include "app/text.h"
#include "net/tcp_client.h"
#include "support/event_loop.h"
#include "support/fake_env.h"
#include "support/form_support.h"
#include "support/loopback_peer.h"
#include "support/tcp_peer.h"
#include "ui/form1.h"

using namespace testing_support;
using ui::TForm1;

namespace {

const QString kConnected = QStringLiteral("Подключен");
const QString kDisconnected = QStringLiteral("Отключен \u0422\u0421\u0420");  // Cyrillic ТСР
const QString kFailed = QStringLiteral("Ошибка подключения");
const QString kExists = QStringLiteral("   Такой Socked - уже имеется.");
const QString kNotConnected = QStringLiteral("    Socked - не подключен");

// Names: "srv.test" is this host; "slow.test" answers only when the test ends; any other
// name does not exist. No lookup reaches a real name server.
std::promise<void> g_release;
const std::shared_future<void> g_released = g_release.get_future().share();

QStringList Listed(const TForm1& form) {
    QStringList items;
    for (int i = 0; i < form.ListBox1->count(); ++i) items << form.ListBox1->item(i)->text();
    return items;
}

bool RadiosEnabled(const TForm1& form) {
    return form.RadioButton_UDP->isEnabled() && form.RadioButtonTCP->isEnabled() &&
           form.RadioButton_IndyTCP->isEnabled();
}

void Connect(TForm1& form, const QString& host, std::uint16_t port) {
    form.Edit2->setText(host);
    form.Edit3->setText(QString::number(port));
    form.Button2->click();
}

// The next connection, while the window runs: a name is looked up before the connect starts.
TcpConnection Accept(const TcpServer& server) {
    TcpConnection c;
    static_cast<void>(SpinUntil([&] { return (c = server.Accept(0)).ok(); }));
    return c;
}

}  // namespace

class Form1TcpTest : public QObject {
    Q_OBJECT

    FakeEnv env;
    std::unique_ptr<TForm1> form;
    QStringList statuses;  // of Client1

private Q_SLOTS:
    void cleanupTestCase() { g_release.set_value(); }
    void init() {
        env = FakeEnv();
        env.resolver = [released = g_released](const std::string& host) {
            net::LookupResult result;
            if (host == "slow.test") released.wait();
            if (host == "srv.test") result.addresses.push_back({inet_addr("127.0.0.1")});
            result.error = result.addresses.empty() ? 11001 : 0;
            return result;
        };
        statuses.clear();
        form = Shown(env);
        EnterMode(*form, Tcp);
        Watch(*form, form->Client1, statuses);
    }
    void cleanup() { form.reset(); }

    void staticClientLife() {
        const TcpServer server;
        Connect(*form, QStringLiteral("srv.test"), server.port());
        QCOMPARE(Status(*form), QStringLiteral("Ждём"));
        QVERIFY(!form->RadioButton_UDP->isEnabled() && !form->RadioButtonTCP->isEnabled());
        TcpConnection peer = Accept(server);
        QTRY_COMPARE(statuses, QStringList{kConnected});

        // Connected: a second connect does nothing, the status included.
        form->StatusBar1->SetPanelText(0, QStringLiteral("marker"));
        form->Button2->click();
        QVERIFY(!server.Accept(100).ok());
        QCOMPARE(Status(*form), QStringLiteral("marker"));

        form->Edit1->setText(QStringLiteral("abc"));
        form->Button1->click();
        QCOMPARE(peer.Read(4, 200), std::string("abc"));

        QSignalSpy changes(form->Memo1, &ui::TMemo::Changed);
        QVERIFY(peer.Send("hello"));
        QTRY_COMPARE(form->Memo1->Text(), QStringLiteral("srv.testhello"));
        QCOMPARE(form->Memo2->Text().split(u'\n').last(), QStringLiteral("hello"));
        QCOMPARE(changes.count(), 1);

        // Per destination, the host text "1" never reaches Client1, nor does a send without
        // a client.
        form->CheckBox6->click();
        for (const char* host : {"1", "127.0.0.9"}) {
            form->Edit2->setText(QString::fromLatin1(host));
            form->Button1->click();
        }
        QCOMPARE(peer.Read(1, 100), std::string());
        QCOMPARE(Boxes(env), QStringList());
        form->Edit2->setText(QStringLiteral("1"));
        form->Button3->click();
        QCOMPARE(Boxes(env), QStringList{kNotConnected});
        QVERIFY(form->Client1->Socket().Connected());
        form->CheckBox6->click();

        peer.Close();
        QTRY_COMPARE(statuses.size(), 2);
        form->Button3->click();  // closed already: no second disconnect
        QCOMPARE(statuses, (QStringList{kConnected, kDisconnected}));
        QVERIFY(RadiosEnabled(*form));
        QCOMPARE(Boxes(env), QStringList{kNotConnected});
    }

    void staticClientFailures_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("refused port") << QStringLiteral("127.0.0.1") << QStringList{kFailed};
        QTest::newRow("empty host") << QString() << QStringList{kFailed, kDisconnected};
        QTest::newRow("unknown name")
            << QStringLiteral("nowhere.test") << QStringList{kFailed, kDisconnected};
    }
    void staticClientFailures() {
        QFETCH(QString, host);
        QFETCH(QStringList, expected);
        Connect(*form, host, ClosedTcpPort());
        QTRY_COMPARE(statuses, expected);
        QCOMPARE(Boxes(env), QStringList());
        QVERIFY(!form->RadioButtonTCP->isEnabled());

        // The next connect tries again, and a disconnect while it connects does not stop it.
        const TcpServer server;
        Connect(*form, QStringLiteral("127.0.0.1"), server.port());
        form->Button3->click();
        QVERIFY(RadiosEnabled(*form));
        const TcpConnection peer = Accept(server);
        QTRY_COMPARE(statuses.last(), kConnected);
    }

    void staticDisconnectWhileConnectingDoesNotStopIt() {
        const TcpServer server;
        Connect(*form, QStringLiteral("127.0.0.1"), server.port());
        form->Button3->click();
        QVERIFY(RadiosEnabled(*form));
        const TcpConnection peer = Accept(server);
        QTRY_COMPARE(Status(*form), kConnected);
    }

    void twoDestinationsAtOnce() {
        const TcpServer a("127.0.0.2"), b("127.0.0.3");
        form->CheckBox6->click();
        Connect(*form, QStringLiteral("127.0.0.2"), a.port());
        QCOMPARE(Status(*form), QStringLiteral("127.0.0.2 - Ждём"));
        TcpConnection peerA = Accept(a);
        QTRY_COMPARE(Status(*form), QStringLiteral("127.0.0.2 - ") + kConnected);
        Connect(*form, QStringLiteral("127.0.0.3"), b.port());
        TcpConnection peerB = Accept(b);
        QTRY_COMPARE(Status(*form), QStringLiteral("127.0.0.3 - ") + kConnected);
        QCOMPARE(Listed(*form), (QStringList{QStringLiteral("Client127_0_0_2"),
                                             QStringLiteral("Client127_0_0_3")}));

        QVERIFY(peerA.Send("abc"));
        QTRY_COMPARE(form->Memo1->Text(), QStringLiteral("127.0.0.2abc"));
        QVERIFY(peerB.Send("xyz"));
        QTRY_COMPARE(form->Memo1->Text(), QStringLiteral("127.0.0.3xyz"));
        QTRY_COMPARE(form->Memo2->Text().split(u'\n').mid(1),
                     (QStringList{QStringLiteral("127.0.0.2abc"), QStringLiteral("127.0.0.3xyz")}));

        // The send goes to the client of the host in Edit2 only.
        form->Edit2->setText(QStringLiteral("127.0.0.2"));
        form->Edit1->setText(QStringLiteral("to a"));
        form->Button1->click();
        QCOMPARE(peerA.Read(5, 200), std::string("to a"));
        QCOMPARE(peerB.Read(), std::string());

        form->Button2->click();
        QCOMPARE(Boxes(env), QStringList{kExists});
        QVERIFY(!a.Accept(100).ok());

        peerB.Close();
        QTRY_COMPARE(Status(*form), QStringLiteral("127.0.0.3 - ") + kDisconnected);
        form->Button3->click();  // Edit2 still names 127.0.0.2
        QCOMPARE(Status(*form), QStringLiteral("127.0.0.2 - ") + kDisconnected);
        QVERIFY(peerA.Ended());
        QCOMPARE(form->findChild<net::TClientSocket*>(QStringLiteral("Client127_0_0_2")), nullptr);
        QCOMPARE(Listed(*form), QStringList{QStringLiteral("Client127_0_0_3")});
        QCOMPARE(Boxes(env), QStringList{kExists});
    }

    // What a connect leaves: the new client's name in the list, or the box that refused it.
    void names_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("left");
        QTest::newRow("space and comma") << "my host,1"
                                         << "6022"
                                         << "Clientmy_host_1";
        QTest::newRow("full stop, underscore, ! and ?") << "a.b_c!d?"
                                                        << "6022"
                                                        << "Clienta_b_c_d_";
        QTest::newRow("hyphen") << "my-host"
                                << "6022"
                                << "''Clientmy-host'' is not a valid component name.";
        QTest::newRow("Cyrillic") << QStringLiteral("хост") << "6022"
                                  << QStringLiteral(
                                         "''Clientхост'' is not a valid component name.");
        QTest::newRow("the static client's name") << "1"
                                                  << "6022"
                                                  << "A component named Client1 already exists.";
        QTest::newRow("another component, other case")
            << "probe"
            << "6022"
            << "A component named Clientprobe already exists.";
        QTest::newRow("port is no integer") << "127.0.0.5"
                                            << "60a"
                                            << "'60a' is not a valid integer value.";
    }
    void names() {
        QFETCH(QString, host);
        QFETCH(QString, port);
        QFETCH(QString, left);
        // A component the window gains elsewhere is in the registry without being told of.
        (new QObject(form.get()))->setObjectName(QStringLiteral("ClientProbe"));
        EnterMode(*form, IndyTcp);  // clients are made but not opened
        form->CheckBox6->click();
        form->Edit2->setText(host);
        form->Edit3->setText(port);
        form->Button2->click();
        // A port that is no integer was shown as it was typed already (Edit3Change).
        const QStringList boxes = Boxes(env);
        QCOMPARE(Listed(*form) + boxes.mid(qMax(0, boxes.size() - 1)), QStringList{left});
        QCOMPARE(form->findChildren<net::TClientSocket*>().size(), Listed(*form).size() + 1);
    }

    // A refused or never-answered client must not keep its name for the rest of the run.
    void disconnectFreesAClientInAnyState_data() {
        QTest::addColumn<QString>("host");
        QTest::newRow("refused") << QStringLiteral("127.0.0.4");
        QTest::newRow("looking up") << QStringLiteral("slow.test");
    }
    void disconnectFreesAClientInAnyState() {
        QFETCH(QString, host);
        form->CheckBox6->click();
        Connect(*form, host, ClosedTcpPort());
        SpinFor(50);
        QCOMPARE(Listed(*form).size(), 1);
        form->Button3->click();
        QCOMPARE(Boxes(env), QStringList{kNotConnected});
        QCOMPARE(Listed(*form), QStringList());
        QCOMPARE(form->findChildren<net::TClientSocket*>().size(), 1);
        form->Button2->click();
        QCOMPARE(Boxes(env), QStringList{kNotConnected});
        QCOMPARE(Listed(*form).size(), 1);
    }

    void eachReadIsOneMessageAndAllSentInOrder() {
        const TcpServer server;
        form->CheckBox3->click();  // programming mode
        Connect(*form, QStringLiteral("127.0.0.1"), server.port());
        TcpConnection peer = Accept(server);
        QTRY_COMPARE(Status(*form), kConnected);
        // Two sends before the window reads come as one message, parsed once.
        QVERIFY(peer.Send("<1788#1789#C0.A8.77.1#C0.A8.77.8D#"));
        QVERIFY(peer.Send("C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>"));
        QTRY_COMPARE(env.beeps, 1);
        form->FlushReadSide();
        QCOMPARE(form->Edit7->text(), QStringLiteral("00-AC-6E-24-18-02"));

        // A long burst comes in bounded parts, each one message.
        form->CheckBox3->click();
        form->Button8->click();
        QSignalSpy changes(form->Memo1, &ui::TMemo::Changed);
        const std::string burst = LetterPattern(150 * 1024);
        QVERIFY(peer.Send(burst));
        QTRY_COMPARE(form->Memo2->Text().remove(u'\n').size(), qsizetype(burst.size()));
        const QStringList parts = form->Memo2->Text().split(u'\n');
        QCOMPARE(parts.join(QString()), QString::fromLatin1(burst));
        QVERIFY(parts.size() >= 3);
        QCOMPARE(changes.count(), parts.size());

        // A slow reader gets everything: what the socket cannot take at once follows in order.
        const std::string text = LetterPattern(32000);
        form->Edit1->setText(QString::fromLatin1(text));
        constexpr int kSends = 300;  // far more than the socket buffers hold
        for (int i = 0; i < kSends; ++i) form->Button1->click();
        std::string got;
        static_cast<void>(
            SpinUntil([&] { return (got += peer.Read()).size() >= text.size() * kSends; }, 20000));
        QCOMPARE(got.size(), text.size() * kSends);
        for (int i = 0; i < kSends; ++i)
            QVERIFY(got.compare(i * text.size(), text.size(), text) == 0);
    }

    // A name server that never answers leaves the window responsive; closing the window then
    // ends its clients in every state without an event or a box.
    void silentNameServerThenClosing() {
        form.reset();
        const TcpServer a, b("127.0.0.7");
        TcpConnection peerA;
        QStringList dynamic;
        const int code = app::RunApplication(env, [&] {
            auto window = std::make_unique<TForm1>(env);
            TForm1* f = window.get();
            const auto steps = [&, f] {
                EnterMode(*f, Tcp);
                QElapsedTimer t;
                t.start();
                Connect(*f, QStringLiteral("slow.test"), a.port());  // Client1 looks up for good
                // Waiting for the lookup would never return; the bound is far from the
                // milliseconds a click takes, even on a loaded machine.
                QVERIFY(t.elapsed() < 2000);
                QCOMPARE(Status(*f), QStringLiteral("Ждём"));
                f->CheckBox6->click();
                Connect(*f, QStringLiteral("127.0.0.1"), a.port());
                Watch(*f, f->findChild<net::TClientSocket*>(QStringLiteral("Client127_0_0_1")),
                      dynamic);
                peerA = Accept(a);
                QTRY_VERIFY_WITH_TIMEOUT(!dynamic.isEmpty(), 10000);
                QVERIFY(peerA.Send("unread"));
                Connect(*f, QStringLiteral("127.0.0.7"), b.port());  // connecting
            };
            QTimer::singleShot(0, f, [steps, f] {
                steps();
                f->close();
            });
            return window;
        });
        QCOMPARE(code, 0);
        QCOMPARE(dynamic, QStringList{QStringLiteral("127.0.0.1 - ") + kConnected});
        QCOMPARE(Boxes(env), QStringList());
        QVERIFY(peerA.Ended());
        QVERIFY(Accept(b).Ended());
    }

    void closingEndsEveryClientSilently() {
        form.reset();
        const TcpServer a, b("127.0.0.7");
        TcpConnection peerA;
        const int code = app::RunApplication(env, [&] {
            auto window = std::make_unique<TForm1>(env);
            TForm1* f = window.get();
            const auto steps = [&, f] {
                EnterMode(*f, Tcp);
                Watch(*f, f->Client1, statuses);
                Connect(*f, QStringLiteral("127.0.0.1"), a.port());
                peerA = Accept(a);
                QTRY_COMPARE(Status(*f), kConnected);
                QVERIFY(peerA.Send("unread"));
                f->CheckBox6->click();
                Connect(*f, QStringLiteral("slow.test"), b.port());  // looking up
                Connect(*f, QStringLiteral("127.0.0.7"), b.port());  // connecting
            };
            QTimer::singleShot(0, f, [steps, f] {
                steps();
                f->close();
            });
            return window;
        });
        QCOMPARE(code, 0);
        QCOMPARE(statuses, QStringList{kConnected});
        QCOMPARE(Boxes(env), QStringList());
        QVERIFY(peerA.Ended());
        QVERIFY(Accept(b).Ended());
    }
};

QTEST_MAIN(Form1TcpTest)
#include "form1_tcp_test.moc"
