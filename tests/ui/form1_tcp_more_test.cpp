// More of the TCP side of the window: failures that come at once or from a lookup look alike,
// the status texts of a failing per-destination client, and what a connect does in the modes
// and with the inputs where it must do little or nothing.
#include <QTest>

#include <arpa/inet.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "net/descriptor.h"
#include "net/tcp_client.h"
#include "support/descriptor_limit.h"
#include "support/fake_env.h"
#include "support/form_support.h"
#include "support/tcp_peer.h"
#include "ui/form1.h"

using namespace testing_support;
using ui::TForm1;

namespace {

const QString kDisconnected = QStringLiteral("Отключен \u0422\u0421\u0420");  // Cyrillic ТСР
const QString kFailed = QStringLiteral("Ошибка подключения");
const QString kWaiting = QStringLiteral("Ждём");

bool InNamespace() {
    const char* v = std::getenv("ORVAN_NETNS");
    return v != nullptr && QByteArray(v) == "1";
}

bool AnyRadioEnabled(const TForm1& form) {
    return form.RadioButton_UDP->isEnabled() || form.RadioButtonTCP->isEnabled() ||
           form.RadioButton_IndyTCP->isEnabled();
}

void Connect(TForm1& form, const QString& host, std::uint16_t port) {
    form.Edit2->setText(host);
    form.Edit3->setText(QString::number(port));
    form.Button2->click();
}

}  // namespace

class Form1TcpMoreTest : public QObject {
    Q_OBJECT

    FakeEnv env;
    std::unique_ptr<TForm1> form;
    QStringList statuses;

private Q_SLOTS:
    void init() {
        env = FakeEnv();
        // "unreach.test" is an address without a route inside the test's namespace.
        env.resolver = [](const std::string& host) {
            net::LookupResult result;
            if (host == "unreach.test") result.addresses.push_back({inet_addr("10.0.0.7")});
            result.error = result.addresses.empty() ? 11001 : 0;
            return result;
        };
        statuses.clear();
        form = Shown(env);
        EnterMode(*form, Tcp);
    }
    void cleanup() { form.reset(); }

    // A connect the system refuses at once looks the same for an address and a name that
    // gives it: the radio buttons are disabled, the failure comes as events, no box.
    void immediateConnectFailureComesAsEvents_data() {
        QTest::addColumn<bool>("dynamic");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("static, address") << false << QStringLiteral("10.0.0.7") << QString();
        QTest::newRow("static, name") << false << QStringLiteral("unreach.test") << QString();
        QTest::newRow("per destination, address")
            << true << QStringLiteral("10.0.0.7") << QStringLiteral(" - ");
        QTest::newRow("per destination, name")
            << true << QStringLiteral("unreach.test") << QStringLiteral(" - ");
    }
    void immediateConnectFailureComesAsEvents() {
        if (!InNamespace()) QSKIP("needs a private network namespace (ORVAN_NETNS=1)");
        QFETCH(bool, dynamic);
        QFETCH(QString, host);
        QFETCH(QString, prefix);
        if (dynamic) form->CheckBox6->click();
        if (!dynamic) Watch(*form, form->Client1, statuses);
        Connect(*form, host, 4000);
        if (dynamic) {
            Watch(*form,
                  form->findChild<net::TClientSocket*>(QStringLiteral("Client") +
                                                       QString(host).replace(u'.', u'_')),
                  statuses);
        }
        QCOMPARE(Status(*form), dynamic ? host + QStringLiteral(" - ") + kWaiting : kWaiting);
        QVERIFY(!AnyRadioEnabled(*form));
        QTRY_COMPARE(statuses, (QStringList{prefix + kFailed, prefix + kDisconnected}));
        QCOMPARE(Boxes(env), QStringList());
    }

    // A per-destination client is not connected when it fails: no address before the text.
    void dynamicClientFailureTexts_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("refused connect")
            << QStringLiteral("127.0.0.1") << QStringList{QStringLiteral(" - ") + kFailed};
        QTest::newRow("failed lookup")
            << QStringLiteral("nowhere.test")
            << QStringList{QStringLiteral(" - ") + kFailed, QStringLiteral(" - ") + kDisconnected};
    }
    void dynamicClientFailureTexts() {
        QFETCH(QString, host);
        QFETCH(QStringList, expected);
        form->CheckBox6->click();
        Connect(*form, host, ClosedTcpPort());
        Watch(*form,
              form->findChild<net::TClientSocket*>(QStringLiteral("Client") +
                                                   QString(host).replace(u'.', u'_')),
              statuses);
        QTRY_COMPARE(statuses, expected);
        QTest::qWait(50);
        QCOMPARE(statuses, expected);
        QCOMPARE(Status(*form), expected.last());
        QCOMPARE(Boxes(env), QStringList());
    }

    void emptyHostWithTheStaticClient() {
        Watch(*form, form->Client1, statuses);
        Connect(*form, QString(), ClosedTcpPort());
        QCOMPARE(Status(*form), kWaiting);
        QTRY_COMPARE(statuses, (QStringList{kFailed, kDisconnected}));
        QCOMPARE(Boxes(env), QStringList());
    }

    // The conversion ends the handler after "Ждём": no host is set, nothing is opened.
    void staticConnectWithAPortThatIsNoInteger() {
        const TcpServer server;
        Watch(*form, form->Client1, statuses);
        form->Edit2->setText(QStringLiteral("127.0.0.1"));
        form->Edit3->setText(QStringLiteral("60a"));
        env.boxes.clear();
        form->Button2->click();
        QCOMPARE(Status(*form), kWaiting);
        QCOMPARE(Boxes(env), QStringList{QStringLiteral("'60a' is not a valid integer value.")});
        QCOMPARE(form->Client1->Host, std::string());
        QVERIFY(AnyRadioEnabled(*form));
        QVERIFY(!server.Accept(100).ok());
        QCOMPARE(statuses, QStringList());
    }

    // A socket that would take one of the descriptors the window keeps for itself fails as
    // a connect does, through the error event: no box that could not be drawn.
    void descriptorReserveKept() {
        const TcpServer server;
        Watch(*form, form->Client1, statuses);
        testing_support::DescriptorLimit limit(net::kReservedDescriptors);
        Connect(*form, QStringLiteral("127.0.0.1"), server.port());
        limit.Restore();
        QVERIFY(!AnyRadioEnabled(*form));
        QTRY_COMPARE(statuses, (QStringList{kFailed, kDisconnected}));
        QVERIFY(!server.Accept(100).ok());
        QCOMPARE(Boxes(env), QStringList());
    }

    // At the end the newest component goes first: the clients made at run time, then the
    // watcher writes the history file while Client1 is still connected, then Client1.
    void shutdownWritesTheHistoryBetweenTheDynamicClientsAndClient1() {
        struct Recording : FakeEnv {
            std::function<void()> atHistory;
            std::optional<std::string> HistoryFilePath(const std::string& name) override {
                if (atHistory) atHistory();
                return FakeEnv::HistoryFilePath(name);
            }
        };
        const TcpServer staticServer, dynamicServer;
        Recording recording;
        auto window = Shown(recording);
        EnterMode(*window, Tcp);
        Connect(*window, QStringLiteral("127.0.0.1"), staticServer.port());
        const TcpConnection staticPeer = staticServer.Accept();
        QVERIFY(staticPeer.ok());
        QTRY_VERIFY(window->Client1->Socket().Connected());
        window->CheckBox6->click();
        Connect(*window, QStringLiteral("127.0.0.1"), dynamicServer.port());
        const TcpConnection dynamicPeer = dynamicServer.Accept();
        QVERIFY(dynamicPeer.ok());
        QCOMPARE(window->findChildren<net::TClientSocket*>().size(), qsizetype(2));

        bool client1Connected = false;
        qsizetype clientsLeft = -1;
        recording.atHistory = [&] {
            client1Connected = window->Client1 != nullptr && window->Client1->Socket().Connected();
            clientsLeft = window->findChildren<net::TClientSocket*>().size();
        };
        window->Shutdown();
        QVERIFY(client1Connected);
        QCOMPARE(clientsLeft, qsizetype(1));
        QCOMPARE(window->findChildren<net::TClientSocket*>().size(), qsizetype(0));
        QVERIFY(staticPeer.Ended());
        QVERIFY(dynamicPeer.Ended());
    }

    // In Indy TCP mode the static connect does nothing; a per-destination client is made,
    // registered and listed, and never opened.
    void indyMode() {
        const TcpServer server;
        EnterMode(*form, IndyTcp);
        Watch(*form, form->Client1, statuses);
        form->StatusBar1->SetPanelText(0, QStringLiteral("marker"));
        Connect(*form, QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(!server.Accept(100).ok());
        QCOMPARE(Status(*form), QStringLiteral("marker"));
        QCOMPARE(form->Client1->Host, std::string());

        form->CheckBox6->click();
        Connect(*form, QStringLiteral("127.0.0.1"), server.port());
        auto* client = form->findChild<net::TClientSocket*>(QStringLiteral("Client127_0_0_1"));
        QVERIFY(client != nullptr);
        QCOMPARE(client->Host, std::string("127.0.0.1"));
        QCOMPARE(form->ListBox1->count(), 1);
        QVERIFY(!server.Accept(100).ok());
        QVERIFY(!client->Socket().Connected());
        QCOMPARE(Status(*form), QStringLiteral("marker"));
        QVERIFY(AnyRadioEnabled(*form));
        QCOMPARE(Boxes(env), QStringList());
    }
};

QTEST_MAIN(Form1TcpMoreTest)
#include "form1_tcp_more_test.moc"
