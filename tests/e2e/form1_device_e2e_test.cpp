// The real window, driven like an operator, reads, changes and clock-sets the device simulator
// across a real network link. The program listens on every local address at the device's own
// port number, so the device needs an address of its own on another host: a second network
// namespace joined to the test's by a veth pair.

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QMap>
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

// The settings the device starts with, all different from the simulator's defaults so that
// what the window shows can only have come over the link.
const QStringList kDeviceSettings{
    QStringLiteral("--telemetry"), QStringLiteral("7001"),
    QStringLiteral("--h323"),      QStringLiteral("7002"),
    QStringLiteral("--gateway"),   QStringLiteral("172.16.5.1"),
    QStringLiteral("--ip"),        QStringLiteral("172.16.5.20"),
    QStringLiteral("--handset"),   QStringLiteral("172.16.5.9"),
    QStringLiteral("--mask"),      QStringLiteral("255.255.240.0"),
    QStringLiteral("--mac"),       QStringLiteral("02-00-5E-10-00-01"),
};
const QString kDeviceReply =
    QStringLiteral("<1B59#1B5A#AC.10.5.1#AC.10.5.14#AC.10.5.9#FF.FF.F0.0#02-00-5E-10-00-01>");

QString IpCommand() {
    QString ip = QStandardPaths::findExecutable(QStringLiteral("ip"));
    if (ip.isEmpty()) {
        ip = QStandardPaths::findExecutable(QStringLiteral("ip"),
                                            {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    }
    return ip;
}

// Runs `ip` to the end; returns an empty string on success, else what went wrong.
QString RunIp(const QString& ip, const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(ip, args);
    if (!p.waitForFinished(kDeadlineMs)) {
        p.kill();
        p.waitForFinished();
        return QStringLiteral("ip %1: did not finish").arg(args.join(u' '));
    }
    if (p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0) return {};
    return QStringLiteral("ip %1: %2")
        .arg(args.join(u' '), QString::fromLocal8Bit(p.readAll()).trimmed());
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
void RemoveStaleNamespaces(const QString& ip) {
    const QStringList names =
        QDir(QStringLiteral("/run/netns"))
            .entryList({QLatin1String(kNamespacePrefix) + u'*'}, QDir::Files | QDir::System);
    for (const QString& name : names) {
        bool ok = false;
        const int pid = name.mid(int(sizeof kNamespacePrefix) - 1).toInt(&ok);
        if (ok && pid > 0 && kill(pid, 0) != 0 && errno == ESRCH)
            RunIp(ip, {QStringLiteral("netns"), QStringLiteral("del"), name});
    }
}

QString Dotted(std::uint32_t a) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(a >> 24)
        .arg((a >> 16) & 0xFF)
        .arg((a >> 8) & 0xFF)
        .arg(a & 0xFF);
}

// The state file as sorted key=value lines, so that a difference shows in the failure text.
QString ReadState(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QStringLiteral("(no state file)");
    QMap<QString, QString> values;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            values.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    QString text;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        text += it.key() + u'=' + it.value() + u'\n';
    return text;
}

// The second host: a namespace with one end of a veth pair and the simulator on it. Its
// destructor takes everything down again, whatever state the test ended in.
class DeviceHost {
public:
    DeviceHost()
        : pid_(QString::number(getpid())),
          ip_(IpCommand()),
          namespace_(QLatin1String(kNamespacePrefix) + pid_),
          hostLink_(QLatin1String(kVethPrefix) + pid_ + u'h'),
          deviceLink_(QLatin1String(kVethPrefix) + pid_ + u'd') {
        // A /30 of 10.0.0.0/8 chosen by the process id, so that concurrent runs never share
        // a subnet; process ids stay below 2^22.
        const std::uint32_t base = 0x0A000000u | ((std::uint32_t(getpid()) & 0x3FFFFFu) << 2);
        hostAddress_ = Dotted(base | 1);
        deviceAddress_ = Dotted(base | 2);
    }

    ~DeviceHost() {
        if (simulator_.state() != QProcess::NotRunning) {
            simulator_.terminate();
            if (!simulator_.waitForFinished(5000)) {
                simulator_.kill();
                simulator_.waitForFinished();
            }
        }
        if (QTest::currentTestFailed()) {
            qWarning("simulator output:\n%s", simulator_.readAll().constData());
        }
        if (linkMade_) RunIp(ip_, {QStringLiteral("link"), QStringLiteral("del"), hostLink_});
        if (namespaceMade_)
            RunIp(ip_, {QStringLiteral("netns"), QStringLiteral("del"), namespace_});
    }

    DeviceHost(const DeviceHost&) = delete;
    DeviceHost& operator=(const DeviceHost&) = delete;

    // Empty on success, else the reason: this machine cannot make namespaces at all.
    QString AddNamespace() {
        RemoveStaleNamespaces(ip_);
        const QString why =
            RunIp(ip_, {QStringLiteral("netns"), QStringLiteral("add"), namespace_});
        namespaceMade_ = why.isEmpty();
        return why;
    }

    // Empty on success, else the step that failed.
    QString Link() {
        const QString n = namespace_;
        const QString prefix = QStringLiteral("/30");
        QString why = RunIp(ip_, {QStringLiteral("link"), QStringLiteral("add"), hostLink_,
                                  QStringLiteral("type"), QStringLiteral("veth"),
                                  QStringLiteral("peer"), QStringLiteral("name"), deviceLink_});
        if (!why.isEmpty()) return why;
        linkMade_ = true;
        const QList<QStringList> steps{
            {QStringLiteral("link"), QStringLiteral("set"), deviceLink_, QStringLiteral("netns"),
             n},
            {QStringLiteral("addr"), QStringLiteral("add"), hostAddress_ + prefix,
             QStringLiteral("dev"), hostLink_},
            {QStringLiteral("link"), QStringLiteral("set"), hostLink_, QStringLiteral("up")},
            {QStringLiteral("-n"), n, QStringLiteral("addr"), QStringLiteral("add"),
             deviceAddress_ + prefix, QStringLiteral("dev"), deviceLink_},
            {QStringLiteral("-n"), n, QStringLiteral("link"), QStringLiteral("set"), deviceLink_,
             QStringLiteral("up")},
            {QStringLiteral("-n"), n, QStringLiteral("link"), QStringLiteral("set"),
             QStringLiteral("lo"), QStringLiteral("up")},
        };
        for (const QStringList& step : steps) {
            why = RunIp(ip_, step);
            if (!why.isEmpty()) return why;
        }
        return {};
    }

    // Starts the simulator on the device's address; it dies with this process, even if this
    // process is killed before the destructor runs.
    void StartSimulator(const QString& port, const QString& stateFile) {
        simulator_.setProcessChannelMode(QProcess::MergedChannels);
        simulator_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        simulator_.start(
            ip_,
            QStringList{QStringLiteral("netns"), QStringLiteral("exec"), namespace_,
                        QStringLiteral(ORVAN_DEVSIM), QStringLiteral("--address"), deviceAddress_,
                        QStringLiteral("--port"), port, QStringLiteral("--state"), stateFile} +
                kDeviceSettings);
    }

    // Waits until the process is there; false when it could not be started.
    bool SimulatorStarted() { return simulator_.waitForStarted(kDeadlineMs); }
    bool SimulatorRunning() const { return simulator_.state() == QProcess::Running; }
    QByteArray SimulatorOutput() { return simulator_.readAll(); }
    const QString& DeviceAddress() const { return deviceAddress_; }

private:
    QString pid_, ip_, namespace_, hostLink_, deviceLink_, hostAddress_, deviceAddress_;
    bool namespaceMade_ = false;
    bool linkMade_ = false;
    QProcess simulator_;
};

void Tick(QCheckBox* box) {
    QTest::keyClick(box, Qt::Key_Space);
}

// Replaces the whole text of an edit by typing, as an operator would.
void Retype(QLineEdit* edit, const QString& text) {
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
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
        device.StartSimulator(QStringLiteral("4000"), stateFile);
        QVERIFY2(device.SimulatorStarted(), "the simulator could not be started");
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
        Tick(form.CheckBox3);
        QVERIFY(form.CheckBox3->isChecked());
        Tick(form.CheckBox4);
        QVERIFY(form.CheckBox4->isChecked());
        QVERIFY(form.Edit13->isEnabled());
        Retype(form.Edit13, device.DeviceAddress());
        QCOMPARE(form.Edit13->text(), device.DeviceAddress());
        QCOMPARE(form.Edit5->text(), QStringLiteral("4000"));
        QTest::mouseClick(form.Button4, Qt::LeftButton);
        // The listener binds at once: a port already taken shows here, not as a missing reply.
        QVERIFY2(env.boxes.empty(), env.boxes.empty() ? "" : env.boxes.front().text.c_str());

        // The reply comes back to the listener on the device's port and fills the read side;
        // the MAC is written last.
        QTRY_COMPARE_WITH_TIMEOUT(form.Edit7->text(), QStringLiteral("02-00-5E-10-00-01"),
                                  kDeadlineMs);
        QCOMPARE(form.Memo1->FirstLine(), kDeviceReply);
        QCOMPARE(form.Edit4->text(), QStringLiteral("7001"));
        QCOMPARE(form.Edit11->text(), QStringLiteral("7002"));
        QCOMPARE(form.Edit18->text(), QStringLiteral("172.16.5.1"));
        QCOMPARE(form.Edit8->text(), QStringLiteral("172.16.5.20"));
        QCOMPARE(form.Edit19->text(), QStringLiteral("172.16.5.9"));
        QCOMPARE(form.Edit26->text(), QStringLiteral("255.255.240.0"));
        QCOMPARE(env.events, std::vector<std::string>{"beep"});

        // Copy to the write side; the padded hex quads, which the command carries, follow.
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

        const QString clock = QString::asprintf(
            "%02d*%02d*%02d*%02d*%02d*%02d*%02d", env.now.year % 100, env.now.month, env.now.day,
            env.now.isoWeekday, env.now.hour, env.now.minute, env.now.second);
        const QString expected = QStringLiteral(
                                     "clock=%1\n"
                                     "config_commands=1\n"
                                     "gateway=172.16.5.1\n"
                                     "h323=7002\n"
                                     "handset=172.16.5.9\n"
                                     "ip=10.20.3.77\n"
                                     "mac=02-00-5E-10-00-01\n"
                                     "mask=255.255.240.0\n"
                                     "telemetry=7001\n"
                                     "time_commands=1\n")
                                     .arg(clock);
        QTRY_COMPARE_WITH_TIMEOUT(ReadState(stateFile), expected, kDeadlineMs);

        QCOMPARE(env.events, (std::vector<std::string>{"beep", "pause 500", "beep"}));
        QVERIFY2(env.boxes.empty(), env.boxes.empty() ? "" : env.boxes.front().text.c_str());
    }
};

QTEST_MAIN(Form1DeviceE2eTest)
#include "form1_device_e2e_test.moc"
