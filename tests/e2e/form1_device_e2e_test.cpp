// The real window, driven like an operator, reads, changes and clock-sets the device simulator
// across a real network link. The program listens on every local address at the device's own
// port number, so the device needs an address of its own on another host: a second network
// namespace joined to the test's by a veth pair.

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <cstdint>

#include "support/fake_env.h"
#include "ui/form1.h"

using testing_support::FakeEnv;
using ui::TForm1;

namespace {

// Generous: a passing run never waits for it; it only bounds a failing one.
constexpr int kDeadlineMs = 10000;
constexpr char kNamespacePrefix[] = "orvan-e2e-";
constexpr char kVethPrefix[] = "oe2e";  // + pid (at most 7 digits) + h or d: within 15

QString IpCommand() {
    const QString ip = QStandardPaths::findExecutable(QStringLiteral("ip"));
    return !ip.isEmpty()
               ? ip
               : QStandardPaths::findExecutable(
                     QStringLiteral("ip"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

// Runs `ip` with blank-separated `args` to the end; empty on success, else what went wrong.
QString RunIp(const QString& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(IpCommand(), args.split(u' '));
    if (!p.waitForFinished(kDeadlineMs)) {
        p.kill();
        p.waitForFinished();
        return QStringLiteral("ip %1: did not finish").arg(args);
    }
    if (p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0) return {};
    return QStringLiteral("ip %1: %2").arg(args, QString::fromLocal8Bit(p.readAll()).trimmed());
}

// A reason to skip when this process cannot safely make a second host, else empty.
QString WhyNoNamespaces() {
    if (qEnvironmentVariable("ORVAN_NETNS") != QStringLiteral("1"))
        return QStringLiteral("needs a private network namespace (ORVAN_NETNS=1 under unshare -n)");
    if (geteuid() != 0) return QStringLiteral("needs root to create network namespaces");
    // Addresses are added to this namespace's links: never do that next to real interfaces.
    // /proc/self/net follows this process's namespace; /sys/class/net may show another one.
    QFile devices(QStringLiteral("/proc/self/net/dev"));
    if (!devices.open(QIODevice::ReadOnly)) return QStringLiteral("cannot list network interfaces");
    for (const QByteArray& line : devices.readAll().split('\n')) {
        const int colon = line.indexOf(':');
        if (colon < 0) continue;  // the two heading lines
        const QString link = QString::fromUtf8(line.left(colon).trimmed());
        if (link != QStringLiteral("lo") && !link.startsWith(QLatin1String(kVethPrefix)))
            return QStringLiteral("interface %1 present: not a private network namespace")
                .arg(link);
    }
    if (IpCommand().isEmpty()) return QStringLiteral("the ip command (iproute2) is missing");
    return {};
}

// Removes namespaces left behind by runs that were killed before they could clean up.
void RemoveStaleNamespaces() {
    const QStringList names =
        QDir(QStringLiteral("/run/netns"))
            .entryList({QLatin1String(kNamespacePrefix) + u'*'}, QDir::Files | QDir::System);
    for (const QString& name : names) {
        bool ok = false;
        const int pid = name.mid(int(sizeof kNamespacePrefix) - 1).toInt(&ok);
        if (ok && pid > 0 && kill(pid, 0) != 0 && errno == ESRCH)
            RunIp(QStringLiteral("netns del ") + name);
    }
}

// The second host: a namespace with one end of a veth pair and the simulator on it. Its
// destructor takes everything down again, whatever state the test ended in.
class DeviceHost {
public:
    DeviceHost()
        : namespace_(QLatin1String(kNamespacePrefix) + QString::number(getpid())),
          hostLink_(QLatin1String(kVethPrefix) + QString::number(getpid()) + u'h'),
          deviceLink_(QLatin1String(kVethPrefix) + QString::number(getpid()) + u'd') {
        // A /30 of 10.0.0.0/8 chosen by the process id, so that concurrent runs never share
        // a subnet; process ids stay below 2^22.
        const std::uint32_t base = 0x0A000000u | ((std::uint32_t(getpid()) & 0x3FFFFFu) << 2);
        const auto dotted = [](std::uint32_t a) {
            return QStringLiteral("%1.%2.%3.%4")
                .arg(a >> 24)
                .arg((a >> 16) & 0xFF)
                .arg((a >> 8) & 0xFF)
                .arg(a & 0xFF);
        };
        hostAddress_ = dotted(base | 1);
        deviceAddress_ = dotted(base | 2);
    }

    ~DeviceHost() {
        if (simulator_.state() != QProcess::NotRunning) {
            simulator_.terminate();
            if (!simulator_.waitForFinished(5000)) {
                simulator_.kill();
                simulator_.waitForFinished();
            }
        }
        if (QTest::currentTestFailed())
            qWarning("simulator output:\n%s", simulator_.readAll().constData());
        if (linkMade_) RunIp(QStringLiteral("link del ") + hostLink_);
        if (namespaceMade_) RunIp(QStringLiteral("netns del ") + namespace_);
    }

    DeviceHost(const DeviceHost&) = delete;
    DeviceHost& operator=(const DeviceHost&) = delete;

    // Empty on success, else the reason: this machine cannot make namespaces at all.
    QString AddNamespace() {
        RemoveStaleNamespaces();
        const QString why = RunIp(QStringLiteral("netns add ") + namespace_);
        namespaceMade_ = why.isEmpty();
        return why;
    }

    // Empty on success, else the step that failed.
    QString Link() {
        QString why =
            RunIp(QStringLiteral("link add %1 type veth peer name %2").arg(hostLink_, deviceLink_));
        linkMade_ = why.isEmpty();
        const QString n = namespace_;
        for (const QString& step :
             {QStringLiteral("link set %1 netns %2").arg(deviceLink_, n),
              QStringLiteral("addr add %1/30 dev %2").arg(hostAddress_, hostLink_),
              QStringLiteral("link set %1 up").arg(hostLink_),
              QStringLiteral("-n %1 addr add %2/30 dev %3").arg(n, deviceAddress_, deviceLink_),
              QStringLiteral("-n %1 link set %2 up").arg(n, deviceLink_),
              QStringLiteral("-n %1 link set lo up").arg(n)}) {
            if (why.isEmpty()) why = RunIp(step);
        }
        return why;
    }

    // Starts the simulator on the device's address with settings all different from its
    // defaults, so that what the window shows can only have come over the link. It dies with
    // this process, even if this process is killed before the destructor runs.
    bool StartSimulator(const QString& stateFile) {
        simulator_.setProcessChannelMode(QProcess::MergedChannels);
        simulator_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        simulator_.start(IpCommand(),
                         QStringList{QStringLiteral("netns"), QStringLiteral("exec"), namespace_,
                                     QStringLiteral(ORVAN_DEVSIM), QStringLiteral("--address"),
                                     deviceAddress_, QStringLiteral("--state"), stateFile} +
                             QStringLiteral("--port 4000 --telemetry 7001 --h323 7002"
                                            " --gateway 172.16.5.1 --ip 172.16.5.20"
                                            " --handset 172.16.5.9 --mask 255.255.240.0"
                                            " --mac 02-00-5E-10-00-01")
                                 .split(u' '));
        return simulator_.waitForStarted(kDeadlineMs);
    }

    bool SimulatorRunning() const { return simulator_.state() == QProcess::Running; }
    QByteArray SimulatorOutput() { return simulator_.readAll(); }
    const QString& DeviceAddress() const { return deviceAddress_; }

private:
    QString namespace_, hostLink_, deviceLink_, hostAddress_, deviceAddress_;
    bool namespaceMade_ = false;
    bool linkMade_ = false;
    QProcess simulator_;
};

// Replaces the whole text of an edit by typing, as an operator would.
void Retype(QLineEdit* edit, const QString& text) {
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

QString ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll())
                                       : QStringLiteral("(no state file)");
}

}  // namespace

class Form1DeviceE2eTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void readChangeAndClockSetReachTheDevice() {
        if (const QString why = WhyNoNamespaces(); !why.isEmpty()) QSKIP(qPrintable(why));

        DeviceHost device;
        if (const QString why = device.AddNamespace(); !why.isEmpty()) QSKIP(qPrintable(why));
        if (const QString why = device.Link(); !why.isEmpty()) QFAIL(qPrintable(why));

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString stateFile = dir.filePath(QStringLiteral("state"));
        QVERIFY2(device.StartSimulator(stateFile), "the simulator could not be started");
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(stateFile) || !device.SimulatorRunning(),
                                 kDeadlineMs);
        QVERIFY2(device.SimulatorRunning(), device.SimulatorOutput().constData());

        FakeEnv env;
        env.now = {2027, 3, 1, 8, 5, 9, 1};  // a Monday, which the device checks
        TForm1 form(env);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.PageControl1->currentWidget(), form.TabSheet2);

        // Programming mode, the device's address, and the request.
        QTest::keyClick(form.CheckBox3, Qt::Key_Space);
        QVERIFY(form.CheckBox3->isChecked());
        QTest::keyClick(form.CheckBox4, Qt::Key_Space);
        QVERIFY(form.CheckBox4->isChecked());
        QVERIFY(form.Edit13->isEnabled());
        Retype(form.Edit13, device.DeviceAddress());
        QCOMPARE(form.Edit13->text(), device.DeviceAddress());
        QCOMPARE(form.Edit5->text(), QStringLiteral("4000"));
        QTest::mouseClick(form.Button4, Qt::LeftButton);
        // The listener binds at once: a port already taken shows here, not as a missing reply.
        QVERIFY2(env.boxes.empty(), env.boxes.empty() ? "" : env.boxes.front().text.c_str());

        // The reply fills the read side, the MAC last; copy it to the write side, give the
        // device a new address and send. The state file then shows what the device took in.
        QTRY_COMPARE_WITH_TIMEOUT(form.Edit7->text(), QStringLiteral("02-00-5E-10-00-01"),
                                  kDeadlineMs);
        QCOMPARE(form.Memo1->FirstLine(),
                 QStringLiteral(
                     "<1B59#1B5A#AC.10.5.1#AC.10.5.14#AC.10.5.9#FF.FF.F0.0#02-00-5E-10-00-01>"));
        QCOMPARE(form.Edit4->text(), QStringLiteral("7001"));
        QCOMPARE(form.Edit11->text(), QStringLiteral("7002"));
        QCOMPARE(form.Edit18->text(), QStringLiteral("172.16.5.1"));
        QCOMPARE(form.Edit8->text(), QStringLiteral("172.16.5.20"));
        QCOMPARE(form.Edit19->text(), QStringLiteral("172.16.5.9"));
        QCOMPARE(form.Edit26->text(), QStringLiteral("255.255.240.0"));
        QCOMPARE(env.events, std::vector<std::string>{"beep"});

        // The padded hex quads, which the command carries, follow the copy.
        QTest::mouseClick(form.Button6, Qt::LeftButton);
        QCOMPARE(form.Edit6->text(), QStringLiteral("7001"));
        QCOMPARE(form.Edit12->text(), QStringLiteral("7002"));
        QCOMPARE(form.Edit22->text(), QStringLiteral("AC.10.05.01"));
        QCOMPARE(form.Edit14->text(), QStringLiteral("AC.10.05.14"));
        QCOMPARE(form.Edit25->text(), QStringLiteral("AC.10.05.09"));
        QCOMPARE(form.Edit29->text(), QStringLiteral("FF.FF.F0.00"));
        QCOMPARE(form.Edit10->text(), QStringLiteral("02-00-5E-10-00-01"));

        // A new address for the device, typed key by key.
        Retype(form.Edit9, QStringLiteral("10.20.3.77"));
        QCOMPARE(form.Edit9->text(), QStringLiteral("10.20.3.77"));
        QCOMPARE(form.Edit16->text(), QStringLiteral("A.14.3.4D"));
        QCOMPARE(form.Edit14->text(), QStringLiteral("0A.14.03.4D"));

        QVERIFY(form.CheckBox7->isChecked());
        QTest::mouseClick(form.Button5, Qt::LeftButton);
        QVERIFY(form.Memo1->Text().isEmpty());

        QTRY_COMPARE_WITH_TIMEOUT(ReadFile(stateFile),
                                  QStringLiteral("telemetry=7001\n"
                                                 "h323=7002\n"
                                                 "gateway=172.16.5.1\n"
                                                 "ip=10.20.3.77\n"
                                                 "handset=172.16.5.9\n"
                                                 "mask=255.255.240.0\n"
                                                 "mac=02-00-5E-10-00-01\n"
                                                 "clock=27*03*01*01*08*05*09\n"
                                                 "time_commands=1\n"
                                                 "config_commands=1\n"
                                                 "datagrams=4\n"
                                                 "requests=1\n"
                                                 "commands=2\n"),
                                  kDeadlineMs);
        QCOMPARE(env.events, (std::vector<std::string>{"beep", "pause 500", "beep"}));
        QVERIFY2(env.boxes.empty(), env.boxes.empty() ? "" : env.boxes.front().text.c_str());

        // Asked next: a port where nothing answers. The read side no longer shows the
        // device's settings, then or a while later.
        QTest::keyClick(form.CheckBox2, Qt::Key_Space);
        Retype(form.Edit5, QStringLiteral("4001"));
        QTest::mouseClick(form.Button4, Qt::LeftButton);
        QVERIFY2(env.boxes.empty(), env.boxes.empty() ? "" : env.boxes.front().text.c_str());
        QTest::qWait(1000);
        for (const QLineEdit* e : {form.Edit4, form.Edit11, form.Edit18, form.Edit8, form.Edit19,
                                   form.Edit26, form.Edit7}) {
            QVERIFY2(e->text().isEmpty(), qPrintable(e->objectName() + e->text()));
        }
    }
};

QTEST_MAIN(Form1DeviceE2eTest)
#include "form1_device_e2e_test.moc"
