// The TCP side of the window against real peers on loopback: the static client, the clients
// made per destination, their names, status texts and reads, and the end of the window.
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "app/application.h"
#include "app/text.h"
#include "net/tcp_client.h"
#include "support/fake_env.h"
#include "support/form_support.h"
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
struct Resolver {
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
};
std::shared_ptr<Resolver> g_resolver;

QString Status(const TForm1& form) {
    return form.StatusBar1->PanelText(0);
}

// The status text after each connect, disconnect and error event of a client, in order.
void Watch(TForm1& form, net::TClientSocket* client, QStringList& statuses) {
    QVERIFY(client != nullptr);
    for (net::TSocketNotifyEvent* e : {&client->OnConnect, &client->OnDisconnect}) {
        *e = [inner = *e, &form, &statuses](net::TClientSocket& c, net::TCustomWinSocket& s) {
            inner(c, s);
            statuses << Status(form);
        };
    }
    client->OnError = [inner = client->OnError, &form, &statuses](net::TClientSocket& c,
                                                                  net::TCustomWinSocket& s,
                                                                  net::TErrorEvent e, int& code) {
        inner(c, s, e, code);
        statuses << Status(form);
    };
}

net::TClientSocket* Dynamic(const TForm1& form, const char* name) {
    return form.findChild<net::TClientSocket*>(QString::fromLatin1(name));
}

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
    for (int i = 0; i < 500; ++i) {
        if (TcpConnection c = server.Accept(0); c.ok()) return c;
        QTest::qWait(10);
    }
    return TcpConnection();
}

QStringList Texts(std::initializer_list<const char*> items) {
    QStringList list;
    for (const char* item : items) list.append(QString::fromUtf8(item));
    return list;
}

std::string Pattern(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return s;
}

}  // namespace

class Form1TcpTest : public QObject {
    Q_OBJECT

    FakeEnv env;
    std::unique_ptr<TForm1> form;
    QStringList statuses;

private Q_SLOTS:
    void initTestCase() {
        g_resolver = std::make_shared<Resolver>();
        net::SetHostResolver([r = g_resolver](const std::string& host) {
            net::LookupResult result;
            if (host == "slow.test") {
                std::unique_lock lock(r->mutex);
                r->released.wait(lock, [&] { return r->release; });
            }
            if (host == "srv.test") {
                result.addresses.push_back({inet_addr("127.0.0.1")});
            } else {
                result.error = 11001;
            }
            return result;
        });
    }
    void cleanupTestCase() {
        const std::lock_guard lock(g_resolver->mutex);
        g_resolver->release = true;
        g_resolver->released.notify_all();
    }
    void init() {
        env = FakeEnv();
        statuses.clear();
        form = Shown(env);
        EnterMode(*form, Tcp);
    }
    void cleanup() { form.reset(); }

    // --- the static client ----------------------------------------------------------------

    void staticClientLife() {
        const TcpServer server;
        Watch(*form, form->Client1, statuses);
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

        peer.Close();
        QTRY_COMPARE(statuses, (QStringList{kConnected, kDisconnected}));
        form->Button3->click();
        QVERIFY(RadiosEnabled(*form));
        QCOMPARE(Boxes(env), QStringList());
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
        Watch(*form, form->Client1, statuses);
        Connect(*form, host, ClosedTcpPort());
        QTRY_COMPARE(statuses, expected);
        QCOMPARE(Boxes(env), QStringList());
        QVERIFY(!form->RadioButtonTCP->isEnabled());

        // The next connect tries again.
        const TcpServer server;
        Connect(*form, QStringLiteral("127.0.0.1"), server.port());
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

    // --- clients per destination ----------------------------------------------------------

    void twoDestinationsAtOnce() {
        const TcpServer a("127.0.0.2"), b("127.0.0.3");
        form->CheckBox6->click();
        Connect(*form, QStringLiteral("127.0.0.2"), a.port());
        QCOMPARE(Status(*form), QStringLiteral("127.0.0.2 - Ждём"));
        Watch(*form, Dynamic(*form, "Client127_0_0_2"), statuses);
        TcpConnection peerA = Accept(a);
        QTRY_COMPARE(Status(*form), QStringLiteral("127.0.0.2 - ") + kConnected);
        Connect(*form, QStringLiteral("127.0.0.3"), b.port());
        Watch(*form, Dynamic(*form, "Client127_0_0_3"), statuses);
        TcpConnection peerB = Accept(b);
        QTRY_COMPARE(Status(*form), QStringLiteral("127.0.0.3 - ") + kConnected);
        QCOMPARE(Listed(*form), (Texts({"Client127_0_0_2", "Client127_0_0_3"})));

        QVERIFY(peerA.Send("abc"));
        QTRY_COMPARE(form->Memo1->Text(), QStringLiteral("127.0.0.2abc"));
        QVERIFY(peerB.Send("xyz"));
        QTRY_COMPARE(form->Memo1->Text(), QStringLiteral("127.0.0.3xyz"));
        QCOMPARE(form->Memo2->Text().split(u'\n').mid(1),
                 (Texts({"127.0.0.2abc", "127.0.0.3xyz"})));

        // The send goes to the client of the host in Edit2 only.
        form->Edit2->setText(QStringLiteral("127.0.0.2"));
        form->Edit1->setText(QStringLiteral("to a"));
        form->Button1->click();
        QCOMPARE(peerA.Read(5, 200), std::string("to a"));
        QCOMPARE(peerB.ReadAvailable(), std::string());

        form->Button2->click();
        QCOMPARE(Boxes(env), QStringList{kExists});
        QVERIFY(!a.Accept(100).ok());

        peerB.Close();
        QTRY_COMPARE(Status(*form), QStringLiteral("127.0.0.3 - ") + kDisconnected);
        form->Button3->click();  // Edit2 still names 127.0.0.2
        QCOMPARE(statuses.last(), QStringLiteral("127.0.0.2 - ") + kDisconnected);
        QVERIFY(peerA.Ended());
        QCOMPARE(Dynamic(*form, "Client127_0_0_2"), nullptr);
        QCOMPARE(Listed(*form), Texts({"Client127_0_0_3"}));
        QCOMPARE(Boxes(env), QStringList{kExists});
    }

    void names_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("box");
        const QString ok = QStringLiteral("6022");
        QTest::newRow("space and comma")
            << "my host,1" << ok << Texts({"Clientmy_host_1"}) << QString();
        QTest::newRow("full stop, underscore, ! and ?")
            << "a.b_c!d?" << ok << Texts({"Clienta_b_c_d_"}) << QString();
        QTest::newRow("hyphen") << "my-host" << ok << QStringList()
                                << "''Clientmy-host'' is not a valid component name.";
        QTest::newRow("Cyrillic") << QStringLiteral("хост") << ok << QStringList()
                                  << QStringLiteral(
                                         "''Clientхост'' is not a valid component name.");
        QTest::newRow("the static client's name")
            << "1" << ok << QStringList() << "A component named Client1 already exists.";
        QTest::newRow("another component, other case")
            << "probe" << ok << QStringList() << "A component named Clientprobe already exists.";
        QTest::newRow("port is no integer, nothing left behind")
            << "127.0.0.5"
            << "60a" << QStringList() << "'60a' is not a valid integer value.";
    }
    void names() {
        QFETCH(QString, host);
        QFETCH(QString, port);
        QFETCH(QStringList, listed);
        QFETCH(QString, box);
        // A component the window gains elsewhere is in the registry without being told of.
        (new QObject(form.get()))->setObjectName(QStringLiteral("ClientProbe"));
        EnterMode(*form, IndyTcp);  // clients are made but not opened
        form->CheckBox6->click();
        form->Edit2->setText(host);
        form->Edit3->setText(port);
        form->Button2->click();
        QCOMPARE(Listed(*form), listed);
        // A port that is no integer was shown as it was typed already (Edit3Change).
        QCOMPARE(Boxes(env).isEmpty() ? QString() : Boxes(env).last(), box);
        QCOMPARE(form->findChildren<net::TClientSocket*>().size(), listed.size() + 1);
    }

    void host1NeverReachesClient1() {
        const TcpServer server;
        Connect(*form, QStringLiteral("127.0.0.1"), server.port());
        TcpConnection peer = Accept(server);
        QTRY_COMPARE(Status(*form), kConnected);
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
        QTest::qWait(50);
        QCOMPARE(Listed(*form).size(), 1);
        form->Button3->click();
        QCOMPARE(Boxes(env), QStringList{kNotConnected});
        QCOMPARE(Listed(*form), QStringList());
        QCOMPARE(form->findChildren<net::TClientSocket*>().size(), 1);
        form->Button2->click();
        QCOMPARE(Boxes(env), QStringList{kNotConnected});
        QCOMPARE(Listed(*form).size(), 1);
    }

    // --- reads and sends ------------------------------------------------------------------

    void eachReadIsOneMessage() {
        const TcpServer server;
        CheckBox3ProgrammingMode();
        Connect(*form, QStringLiteral("127.0.0.1"), server.port());
        TcpConnection peer = Accept(server);
        QTRY_COMPARE(Status(*form), kConnected);
        // Two sends before the window reads come as one message, parsed once.
        QVERIFY(peer.Send("<1788#1789#C0.A8.77.1#C0.A8.77.8D#"));
        QVERIFY(peer.Send("C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>"));
        QTRY_COMPARE(env.beeps, 1);
        QCOMPARE(form->Edit7->text(), QStringLiteral("00-AC-6E-24-18-02"));

        // A long burst comes in bounded parts, each one message.
        form->CheckBox3->click();
        form->Button8->click();
        QSignalSpy changes(form->Memo1, &ui::TMemo::Changed);
        const std::string burst = Pattern(150 * 1024);
        QVERIFY(peer.Send(burst));
        QTRY_COMPARE(form->Memo2->Text().remove(u'\n').size(), qsizetype(burst.size()));
        const QStringList parts = form->Memo2->Text().split(u'\n');
        QCOMPARE(parts.join(QString()), QString::fromLatin1(burst));
        QVERIFY(parts.size() >= 3);
        QCOMPARE(changes.count(), parts.size());
    }

    void slowReaderGetsAllInOrder() {
        const TcpServer server;
        Connect(*form, QStringLiteral("127.0.0.1"), server.port());
        TcpConnection peer = Accept(server);
        QTRY_COMPARE(Status(*form), kConnected);
        const std::string text = Pattern(32000);
        form->Edit1->setText(QString::fromLatin1(text));
        constexpr int kSends = 300;  // far more than the socket buffers hold
        for (int i = 0; i < kSends; ++i) form->Button1->click();
        std::string got;
        QElapsedTimer t;
        t.start();
        while (got.size() < text.size() * kSends && t.elapsed() < 20000) {
            QTest::qWait(5);
            got += peer.ReadAvailable();
        }
        QCOMPARE(got.size(), text.size() * kSends);
        for (int i = 0; i < kSends; ++i)
            QVERIFY(got.compare(i * text.size(), text.size(), text) == 0);
    }

    // --- a name server that never answers, and the end of the window ----------------------

    void silentNameServerLeavesTheWindowResponsive() {
        QElapsedTimer t;
        t.start();
        Connect(*form, QStringLiteral("slow.test"), 6022);
        QVERIFY(t.elapsed() < 100);
        QCOMPARE(Status(*form), QStringLiteral("Ждём"));
        // The window goes on: timers fire and another client connects meanwhile.
        const TcpServer server("127.0.0.6");
        form->CheckBox6->click();
        Connect(*form, QStringLiteral("127.0.0.6"), server.port());
        const TcpConnection peer = Accept(server);
        QTRY_VERIFY_WITH_TIMEOUT(Status(*form).endsWith(kConnected), 1000);
        QVERIFY(t.elapsed() < 1000);
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

private:
    void CheckBox3ProgrammingMode() { form->CheckBox3->click(); }
};

QTEST_MAIN(Form1TcpTest)
#include "form1_tcp_test.moc"
