// The window's IP watcher driven by a fake host: what the history file holds after each kind
// of run, lookups that are slow or still running at shutdown, and a file that cannot be made.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

#include "app/application.h"
#include "app/text.h"
#include "support/fake_env.h"
#include "support/watch_support.h"
#include "ui/form1.h"

using testing_support::FakeEnv;
using ui::TForm1;

namespace {

// One answered check per entry: an address as the host's first, or "-" for a failed lookup.
void Run(FakeEnv& env, TForm1& form, const QStringList& results) {
    for (const QString& r : results) {
        env.addresses.reset();
        if (r != QStringLiteral("-")) env.addresses.emplace(1, r.toStdString());
        QVERIFY(testing_support::CheckAnswered(env, form));
    }
}

QByteArray Read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}

}  // namespace

class Form1IpWatchTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void historyFileAfterARun_data() {
        QTest::addColumn<QStringList>("results");
        QTest::addColumn<QByteArray>("file");
        const QString a = QStringLiteral("10.0.0.5"), b = QStringLiteral("192.168.7.20"),
                      down = QStringLiteral("127.0.0.1"), failed = QStringLiteral("-");
        QTest::newRow("steady address") << QStringList{a, a, a} << QByteArray("10.0.0.5\r\n");
        QTest::newRow("offline all along") << QStringList{down, down} << QByteArray();
        QTest::newRow("down and up with the same")
            << QStringList{a, down, a} << QByteArray("10.0.0.5\r\n");
        QTest::newRow("down and up with another")
            << QStringList{a, down, b} << QByteArray("10.0.0.5\r\n192.168.7.20\r\n");
        QTest::newRow("change without a down period")
            << QStringList{a, b} << QByteArray("192.168.7.20\r\n");
        QTest::newRow("failed lookups change nothing")
            << QStringList{a, failed, down, failed} << QByteArray("10.0.0.5\r\n");
        QTest::newRow("a failed lookup is no down period")
            << QStringList{a, failed, b} << QByteArray("192.168.7.20\r\n");
        QStringList many;
        QByteArray newest;
        for (int i = 1; i <= 30; ++i) {
            many << QStringLiteral("10.0.0.%1").arg(i) << down;
            if (i > 5) newest += QByteArray("10.0.0.") + QByteArray::number(i) + "\r\n";
        }
        QTest::newRow("only the newest 25") << many << newest;
    }
    void historyFileAfterARun() {
        QFETCH(QStringList, results);
        QFETCH(QByteArray, file);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("iphist.dat"));
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("10.9.9.9\r\n") == 10);
        old.close();
        FakeEnv env;
        env.historyDirectory = dir.path().toStdString();
        TForm1 form(env);
        Run(env, form, results);
        form.Shutdown();
        QCOMPARE(Read(path), file);
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{QStringLiteral("iphist.dat")});
    }

    void checksRunFromTheBuildingOfTheWindow() {
        FakeEnv env;
        env.addresses = {"10.1.2.3"};
        TForm1 form(env);
        QTRY_COMPARE_WITH_TIMEOUT(form.IdIPWatch1->CurrentIP(), std::string("10.1.2.3"), 2000);
    }

    // The watcher checks about every 500 ms: against a 250 ms timer in the same event loop, which
    // a loaded machine holds back as much, twelve ticks see about six checks, where a watcher
    // checking every second would make three.
    void checksAboutEveryHalfSecond() {
        FakeEnv env;
        TForm1 form(env);
        QTRY_VERIFY(env.AnsweredLookups() >= 1);  // start-up's, or the first check's
        int quarters = 0;
        QTimer quarter;
        connect(&quarter, &QTimer::timeout, [&quarters] { ++quarters; });
        const int before = env.OwnNameLookups();
        quarter.start(250);
        QTRY_VERIFY_WITH_TIMEOUT(quarters >= 12, 60000);
        const int checks = env.OwnNameLookups() - before;
        QVERIFY2(3 * checks >= quarters,
                 qPrintable(QStringLiteral("%1 checks in %2 ticks").arg(checks).arg(quarters)));
    }

    // Waits for what each step waits for (lookups reaching the name server, answers reaching
    // the watcher), never for a number of timer ticks: the window's own timer may check at
    // any moment, and every count here holds whichever check it was.
    void slowLookupMakesLaterChecksSkip() {
        FakeEnv env;
        env.holdLookups = true;
        TForm1 form(env);  // start-up's lookup waits too
        env.addresses.emplace(1, "10.0.0.5");
        form.IdIPWatch1->Check();
        env.addresses.emplace(1, "10.0.0.6");
        form.IdIPWatch1->Check();
        QTRY_COMPARE(env.HeldLookups(), 2);
        QTest::qWait(50);  // room for a lookup that should not have started
        QCOMPARE(env.OwnNameLookups(), 2);
        env.addresses.emplace(1, "10.0.0.5");
        env.ReleaseLookups();
        // Both answered, start-up's too: no lookup is in flight or waiting.
        QTRY_VERIFY(env.AnsweredLookups() == 2 && env.HeldLookups() == 0);
        QTRY_COMPARE(form.IdIPWatch1->CurrentIP(), std::string("10.0.0.5"));
        // No longer busy: the next check looks up again (this one, or the timer's just before
        // it, and then this one does nothing), and takes its answer.
        env.addresses.emplace(1, "10.0.0.6");
        form.IdIPWatch1->Check();
        QTRY_VERIFY(env.OwnNameLookups() == 3 && env.HeldLookups() == 1);
        form.IdIPWatch1->Check();
        QTest::qWait(50);  // room for a lookup that should not have started
        QCOMPARE(env.OwnNameLookups(), 3);
        env.ReleaseLookups();  // the answer as `addresses` says now
        QTRY_COMPARE(form.IdIPWatch1->CurrentIP(), std::string("10.0.0.6"));
        // The window's own timer goes on checking: one more lookup, held, and no other.
        QTRY_VERIFY_WITH_TIMEOUT(env.HeldLookups() == 1, 20000);
        QCOMPARE(env.OwnNameLookups(), 4);
    }

    void lookupStillRunningAtShutdownIsAbandoned() {
        QTemporaryDir dir;
        FakeEnv env;
        env.historyDirectory = dir.path().toStdString();
        auto form = std::make_unique<TForm1>(env);
        Run(env, *form, {QStringLiteral("10.0.0.5")});
        env.holdLookups = true;
        // A check whose lookup hangs (one from the timer may be in flight first).
        for (int i = 0; i < 200 && env.HeldLookups() == 0; ++i) {
            form->IdIPWatch1->Check();
            QTest::qWait(10);
        }
        QCOMPARE(env.HeldLookups(), 1);
        form->Shutdown();
        const QByteArray written = Read(dir.filePath(QStringLiteral("iphist.dat")));
        QCOMPARE(written, QByteArray("10.0.0.5\r\n"));
        const int asked = env.OwnNameLookups();
        env.addresses.emplace(1, "10.0.0.9");
        env.ReleaseLookups();
        QTRY_COMPARE(env.HeldLookups(), 0);
        QTest::qWait(600);  // room for the late answer, and for a check the timer should not make
        QCOMPARE(form->IdIPWatch1->CurrentIP(), std::string("10.0.0.5"));
        QCOMPARE(env.OwnNameLookups(), asked);

        // The window is gone while its lookups hang: their answers touch nothing.
        form = std::make_unique<TForm1>(env);
        form->IdIPWatch1->Check();
        QTRY_COMPARE(env.HeldLookups(), 2);  // start-up's and the check's
        form.reset();
        env.ReleaseLookups();
        QTRY_COMPARE(env.HeldLookups(), 0);
        QTest::qWait(50);
    }

    // What stands at the file's place stays as it was, and the run ends with the fatal box.
    void historyFileThatCannotBeMadeEndsFatally_data() {
        QTest::addColumn<bool>("earlierFile");  // else the file's own name is a directory
        QTest::newRow("the file is a link to a directory holding an earlier file") << true;
        QTest::newRow("the file's name is taken by a directory") << false;
    }
    void historyFileThatCannotBeMadeEndsFatally() {
        QFETCH(bool, earlierFile);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("iphist.dat"));
        const QString kept = dir.filePath(QStringLiteral("keep/iphist.dat"));
        if (earlierFile) {
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("keep")));
            QFile old(kept);
            QVERIFY(old.open(QIODevice::WriteOnly) && old.write("10.9.9.9\r\n") == 10);
            old.close();
            QVERIFY(QFile::link(QStringLiteral("keep"), path));
        } else {
            QVERIFY(QDir().mkdir(path));
        }
        FakeEnv env;
        env.historyDirectory = dir.path().toStdString();
        TForm1* built = nullptr;
        QTimer::singleShot(0, [&] { built->BitBtn1->click(); });
        const int code = app::RunApplication(env, [&] {
            auto form = std::make_unique<TForm1>(env);
            built = form.get();
            return form;
        });
        QCOMPARE(code, 1);
        if (earlierFile) {
            QCOMPARE(Read(kept), QByteArray("10.9.9.9\r\n"));
            QVERIFY(QFileInfo(path).isSymLink());
        } else {
            QVERIFY(QFileInfo(path).isDir());
        }
        QCOMPARE(env.boxes.size(), std::size_t(1));
        QCOMPARE(env.boxes[0].kind, app::BoxKind::Fatal);
        QCOMPARE(env.boxes[0].caption, std::string("Application Error"));
        const std::string message =
            "\r\nCannot create file \"" + app::FromQString(path) + "\". Is a directory.\r\n";
        QVERIFY2(env.boxes[0].text.find(message) != std::string::npos, env.boxes[0].text.c_str());
    }
};

QTEST_MAIN(Form1IpWatchTest)
#include "form1_ipwatch_test.moc"
