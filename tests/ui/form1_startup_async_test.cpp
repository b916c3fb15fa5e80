// Start-up and the reception switch against a name server that does not answer: the window is
// built, shown and usable before the lookup of the host's name returns, and a tick of
// "Вкл. приём UDP" that comes first is carried out (or dropped) when it does.
#include <QTest>
#include <QTimer>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/application.h"
#include "support/fake_env.h"
#include "support/form_support.h"
#include "support/loopback_peer.h"
#include "support/watch_support.h"
#include "ui/form1.h"

using namespace testing_support;
using ui::TForm1;

namespace {

using Addresses = std::optional<std::vector<std::string>>;

// Lets the held lookups answer after `limitMs` unless stopped first: a start-up that waited for
// the name server would then find its answer, and the test would see it, instead of hanging.
class Watchdog {
public:
    Watchdog(FakeEnv& env, int limitMs)
        : thread_([this, &env, limitMs] {
              std::unique_lock lock(mutex_);
              if (!wake_.wait_for(lock, std::chrono::milliseconds(limitMs),
                                  [this] { return stopped_; })) {
                  env.ReleaseLookups();
              }
          }) {}
    ~Watchdog() {
        {
            const std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopped_ = false;
    std::thread thread_;
};

// Whether something on this host holds UDP port `port`: a socket on the wildcard address
// cannot have it then. Asks without sending anything.
bool Held(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    const bool held = ::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0;
    ::close(fd);
    return held;
}

// What a run of clicks leaves behind, as the operator and a peer can tell.
struct Ports {
    std::uint16_t first, edit3, edit5;  // the first binding's, reception's, the reply port
};

QString EndState(TForm1& form, const FakeEnv& env, const Ports& ports) {
    QStringList state;
    state << (form.CheckBox1->isChecked() ? QStringLiteral("ticked") : QStringLiteral("unticked"));
    state << (form.UDPServer->Active() ? QStringLiteral("active") : QStringLiteral("inactive"));
    for (std::size_t i = 0; i < form.UDPServer->BindingCount(); ++i) {
        const auto& b = form.UDPServer->Binding(i);
        state << QStringLiteral("listed %1:%2").arg(QString::fromStdString(b.IP)).arg(b.Port);
    }
    for (const auto& [name, port] :
         {std::pair{"first", ports.first}, std::pair{"edit3", ports.edit3},
          std::pair{"edit5", ports.edit5}}) {
        if (Held(port)) state << QStringLiteral("open ") + QLatin1String(name);
    }
    state << Boxes(env);
    return state.join(u'|');
}

// Ready for "Получить данные" in programming mode, every port on loopback; then the clicks:
// t tick, u untick ("Вкл. приём UDP"), g "Получить данные", 1-3 the tabs.
void Click(TForm1& form, const Ports& ports, const QString& clicks) {
    form.UDPServer->DefaultPort = ports.first;
    form.Edit3->setText(QString::number(ports.edit3));
    form.Edit5->setText(QString::number(ports.edit5));
    form.Edit13->setText(QStringLiteral("127.0.0.1"));
    form.CheckBox3->click();
    for (const QChar step : clicks) {
        if (step == u'g') {
            form.Button4->click();
        } else if (step.isDigit()) {
            form.PageControl1->setCurrentIndex(step.digitValue() - 1);
        } else {
            QCOMPARE(form.CheckBox1->isChecked(), step == u'u');
            form.CheckBox1->click();
        }
    }
}

std::unique_ptr<TForm1> ShownWhileHeld(FakeEnv& env) {
    env.holdLookups = true;
    auto form = std::make_unique<TForm1>(env);
    form->show();
    return form;
}

}  // namespace

class Form1StartupAsyncTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void windowRunsBeforeTheLookupAnswers() {
        FakeEnv env;
        env.hostName = "pc-7";
        env.addresses = std::vector<std::string>{"10.0.0.5", "192.168.1.7"};
        env.holdLookups = true;
        TForm1* built = nullptr;
        bool visible = false, held = false;
        int answered = -1;
        QStringList labels;
        const auto probe = [&] {
            // The event loop runs: the window is up while the name server keeps the lookup.
            held = QTest::qWaitFor([&] { return env.HeldLookups() > 0; }, 5000);
            answered = env.AnsweredLookups();
            visible = built->isVisible();
            for (const ui::TLabel* label :
                 {built->HostNameLabel, built->HostAddressLabel, built->PortLabel,
                  built->DestinationLabel, built->BufferSizeLabel}) {
                labels << label->text();
            }
            built->BitBtn1->click();
        };
        const Watchdog watchdog(env, 5000);
        const int code = app::RunApplication(env, [&] {
            auto form = std::make_unique<TForm1>(env);
            built = form.get();
            QTimer::singleShot(0, probe);  // the first turn of the loop after the build
            return form;
        });
        QCOMPARE(code, 0);  // and the hanging lookup did not hold up the end
        QVERIFY(held);
        QCOMPARE(answered, 0);
        QVERIFY(visible);
        QCOMPARE(labels,
                 (QStringList{QStringLiteral("pc-7"), QStringLiteral("Host address:"),
                              QStringLiteral("6104"), QStringLiteral("Destination address:"),
                              QStringLiteral("8192")}));
        QVERIFY(env.boxes.empty());
    }

    void addressLabelsFollowWhenTheLookupAnswers() {
        FakeEnv env;
        env.addresses = std::vector<std::string>{"10.0.0.5", "192.168.1.7"};
        auto form = ShownWhileHeld(env);
        QTRY_COMPARE(env.HeldLookups(), 1);
        QCOMPARE(form->HostAddressLabel->text(), QStringLiteral("Host address:"));
        env.ReleaseLookups();
        QTRY_COMPARE(form->HostAddressLabel->text(), QStringLiteral("10.0.0.5"));
        QCOMPARE(form->DestinationLabel->text(), QStringLiteral("192.168.1.7"));
        QVERIFY(env.boxes.empty());
    }

    void tickBeforeAnyAnswer_data() {
        QTest::addColumn<Addresses>("answer");
        QTest::addColumn<QString>("edit3");
        QTest::addColumn<bool>("untick");
        QTest::addColumn<bool>("active");
        QTest::addColumn<int>("bindings");
        QTest::addColumn<QStringList>("boxes");
        const Addresses one = std::vector<std::string>{"127.0.0.1"};
        const QString port = QString::number(FreePort());
        QTest::newRow("the answer switches reception on")
            << one << port << false << true << 2 << QStringList();
        QTest::newRow("a failed lookup: the empty-list error")
            << Addresses() << port << false << false << 0
            << QStringList{QStringLiteral("List index out of bounds (0)")};
        QTest::newRow("no address: the same")
            << Addresses(std::vector<std::string>{}) << port << false << false << 0
            << QStringList{QStringLiteral("List index out of bounds (0)")};
        QTest::newRow("unticked meanwhile: listed, nothing open")
            << one << port << true << false << 2 << QStringList();
        QTest::newRow("Edit3 not an integer: after the first binding")
            << one << QStringLiteral("abc") << false << false << 1
            << QStringList{QStringLiteral("'abc' is not a valid integer value.")};
    }
    void tickBeforeAnyAnswer() {
        QFETCH(Addresses, answer);
        QFETCH(QString, edit3);
        QFETCH(bool, untick);
        QFETCH(bool, active);
        QFETCH(int, bindings);
        QFETCH(QStringList, boxes);
        FakeEnv env;
        auto form = ShownWhileHeld(env);
        form->UDPServer->DefaultPort = FreePort();
        form->Edit3->setText(edit3);
        QTRY_COMPARE(env.HeldLookups(), 1);
        env.boxes.clear();

        form->CheckBox1->click();
        // Nothing yet, and nothing waits: the handler has returned.
        QVERIFY(form->CheckBox1->isChecked());
        QVERIFY(!form->UDPServer->Active());
        QCOMPARE(form->UDPServer->BindingCount(), std::size_t(0));
        if (untick) form->CheckBox1->click();
        QCOMPARE(Boxes(env), QStringList());

        env.addresses = answer;
        env.holdLookups = false;
        env.ReleaseLookups();
        QTRY_VERIFY(env.AnsweredLookups() > 0);
        // Until the answer reaches the window: no row ends in the state before it.
        QTRY_VERIFY(
            (std::tuple(Boxes(env), form->UDPServer->Active(), form->UDPServer->BindingCount()) ==
             std::tuple(boxes, active, std::size_t(bindings))));
        QCOMPARE(Boxes(env), boxes);
        QCOMPARE(form->UDPServer->Active(), active);
        QCOMPARE(form->UDPServer->BindingCount(), std::size_t(bindings));
        if (!active) return;
        QCOMPARE(form->UDPServer->Binding(0).IP, std::string("127.0.0.1"));
        QCOMPARE(form->UDPServer->Binding(1).Port, edit3.toInt());
        const Peer peer;
        QVERIFY(peer.SendTo("abc", "127.0.0.1", edit3.toUShort()));
        const auto echo = peer.Await();
        QVERIFY(echo);
        QCOMPARE(echo->bytes, QByteArray("Replied from testhost to \"abc\""));
    }

    // Clicks made while start-up's lookup is pending end as the same clicks after an instant
    // answer: the answer carries out the listener's changes in click order.
    void clicksBeforeTheAnswerEndAsAfterIt_data() {
        QTest::addColumn<QString>("clicks");
        QTest::addColumn<bool>("fails");  // the lookup fails
        QTest::addColumn<QString>("open");
        QTest::newRow("tick") << "t" << false << "first edit3";
        QTest::newRow("tick, get: the reply port listed only") << "t2g" << false << "first edit3";
        QTest::newRow("get, tick") << "2gt" << false << "edit5";
        QTest::newRow("tick, untick") << "tu" << false << "";
        QTest::newRow("tick, untick, get: all three") << "tu2g" << false << "first edit3 edit5";
        QTest::newRow("tick, get, untick, tick") << "t2g1ut" << false << "first edit3 edit5";
        QTest::newRow("get twice, tick, untick") << "2gg1tu" << false << "";
        QTest::newRow("tabs between") << "31t2g3" << false << "first edit3";
        QTest::newRow("lookup fails: tick, get") << "t2g" << true << "edit5";
    }
    void clicksBeforeTheAnswerEndAsAfterIt() {
        QFETCH(QString, clicks);
        QFETCH(bool, fails);
        QFETCH(QString, open);
        const Addresses answer =
            fails ? Addresses() : Addresses(std::vector<std::string>{"127.0.0.1"});
        Ports ports{FreePort(), FreePort(), FreePort()};
        while (ports.edit3 == ports.first) ports.edit3 = FreePort();
        while (ports.edit5 == ports.first || ports.edit5 == ports.edit3) ports.edit5 = FreePort();

        QString instant;
        {
            FakeEnv env;
            env.addresses = answer;
            auto form = Shown(env);
            Click(*form, ports, clicks);
            QTest::qWait(20);
            instant = EndState(*form, env, ports);
        }
        QString pending;
        {
            FakeEnv env;
            env.addresses = answer;
            auto form = ShownWhileHeld(env);
            QTRY_COMPARE(env.HeldLookups(), 1);
            Click(*form, ports, clicks);
            env.holdLookups = false;
            env.ReleaseLookups();
            QTRY_VERIFY(env.AnsweredLookups() > 0);
            // Until the answer reaches the window, which then carries out the held clicks.
            QTRY_COMPARE_WITH_TIMEOUT(EndState(*form, env, ports), instant, 5000);
            pending = EndState(*form, env, ports);
        }
        QCOMPARE(pending, instant);
        QStringList opened;
        for (const QString& part : instant.split(u'|')) {
            if (part.startsWith(QStringLiteral("open "))) opened << part.mid(5);
        }
        QCOMPARE(opened.join(u' '), open);
    }

    // Once a lookup has answered, a tick binds at once with the newest list it knows.
    void tickUsesTheLastAnsweredList_data() {
        QTest::addColumn<Addresses>("atStart");
        QTest::addColumn<Addresses>("atCheck");  // nullopt here: no check
        QTest::addColumn<bool>("checkFails");
        QTest::addColumn<QString>("first");
        const Addresses two = std::vector<std::string>{"127.0.0.2", "127.0.0.1"};
        const Addresses three = std::vector<std::string>{"127.0.0.3"};
        const QString second = QStringLiteral("127.0.0.2"), third = QStringLiteral("127.0.0.3");
        QTest::newRow("start-up's list") << two << Addresses() << false << second;
        QTest::newRow("the watcher's newer list") << two << three << false << third;
        QTest::newRow("a failed check keeps the list") << two << Addresses() << true << second;
        QTest::newRow("start-up failed, a check answered")
            << Addresses() << three << false << third;
    }
    void tickUsesTheLastAnsweredList() {
        QFETCH(Addresses, atStart);
        QFETCH(Addresses, atCheck);
        QFETCH(bool, checkFails);
        QFETCH(QString, first);
        FakeEnv env;
        env.addresses = atStart;
        auto form = Shown(env);
        if (atCheck || checkFails) {
            env.addresses = atCheck;
            QVERIFY(CheckAnswered(env, *form));
        }
        form->UDPServer->DefaultPort = FreePort();
        form->Edit3->setText(QString::number(FreePort()));
        form->CheckBox1->click();
        QCOMPARE(Boxes(env), QStringList());
        QVERIFY(form->UDPServer->Active());
        QCOMPARE(QString::fromStdString(form->UDPServer->Binding(0).IP), first);
    }
};

QTEST_MAIN(Form1StartupAsyncTest)
#include "form1_startup_async_test.moc"
