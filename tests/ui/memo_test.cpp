// The memo's budget: floods keep the newest lines, whole and in order, within the budget,
// whether the memo is on screen, hidden, or drawn in part.
#include <QSignalSpy>
#include <QTest>

#include "ui/memo.h"
#include "ui/texts.h"

using ui::TMemo;

class MemoTest : public QObject {
    Q_OBJECT

    enum Drawing { Hidden, ShownEachLine, ShownEveryThird };

private Q_SLOTS:
    void keepsTheNewestLinesWithinTheBudget_data() {
        QTest::addColumn<int>("drawing");
        QTest::addColumn<QStringList>("lines");
        QStringList short_, mixed;
        for (int i = 0; i < 60; ++i) short_.append(QStringLiteral("line %1").arg(i));
        for (int i = 0; i < 30; ++i) mixed.append(QString(1 + (i * 37) % 45, QChar(u'a' + i % 26)));
        const QStringList huge{QStringLiteral("first"), QString(250, u'h'), QStringLiteral("x"),
                               QString(300, u'z')};
        for (const auto& [name, drawing] :
             {std::pair{"hidden", Hidden}, {"shown", ShownEachLine}, {"partly", ShownEveryThird}}) {
            QTest::addRow("short lines, %s", name) << int(drawing) << short_;
            QTest::addRow("lines of many lengths, %s", name) << int(drawing) << mixed;
            QTest::addRow("a line larger than the budget, %s", name) << int(drawing) << huge;
        }
    }

    void keepsTheNewestLinesWithinTheBudget() {
        QFETCH(int, drawing);
        QFETCH(QStringList, lines);
        constexpr qsizetype kBudget = 100;
        QWidget window;
        TMemo memo(&window);
        memo.SetBudget(kBudget);
        memo.setPlainText(QStringLiteral("Данные от сервера:"));
        if (drawing != Hidden) window.show();
        QSignalSpy changes(&memo, &TMemo::Changed);

        QStringList all{QStringLiteral("Данные от сервера:")};
        for (qsizetype i = 0; i < lines.size(); ++i) {
            memo.AddLine(lines[i]);
            all.append(lines[i]);
            if (drawing == ShownEachLine || (drawing == ShownEveryThird && i % 3 == 2)) {
                memo.Flush();
            }
            const QString text = memo.Text();
            QVERIFY2(memo.Size() <= std::max(kBudget, lines[i].size() + 1),
                     qPrintable(QString::number(memo.Size())));
            QCOMPARE(memo.Size(), text.size() + 1);
            // The newest lines of all, whole and in order, the newest one always among them.
            const QStringList kept = text.split(u'\n');
            QVERIFY(!kept.isEmpty());
            QCOMPARE(kept, all.mid(all.size() - kept.size()));
        }
        QCOMPARE(changes.count(), lines.size());
        memo.Flush();
        QCOMPARE(memo.document()->toPlainText().split(u'\n').last(), lines.last());
    }

    void clearingEmptiesTheCount() {
        TMemo memo(nullptr);
        memo.SetBudget(50);
        for (int i = 0; i < 20; ++i) memo.AddLine(QStringLiteral("0123456789"));
        memo.Clear();
        QCOMPARE(memo.Size(), qsizetype(0));
        memo.AddLine(QStringLiteral("after"));
        QCOMPARE(memo.Text(), QStringLiteral("after"));
    }
    // Datagrams clear Memo1 silently before each line: what was waiting to be drawn leaves the
    // count too, or the budget is reached early after a clear.
    void aSilentClearEmptiesTheCountToo_data() {
        QTest::addColumn<bool>("shown");
        QTest::addColumn<bool>("drawn");  // the lines before the clear reached the document
        QTest::newRow("hidden, waiting") << false << false;
        QTest::newRow("shown, waiting") << true << false;
        QTest::newRow("shown, drawn") << true << true;
    }
    void aSilentClearEmptiesTheCountToo() {
        QFETCH(bool, shown);
        QFETCH(bool, drawn);
        QWidget window;
        TMemo memo(&window);
        memo.SetBudget(50);
        if (shown) window.show();
        for (int i = 0; i < 4; ++i) memo.AddLine(QStringLiteral("0123456789"));
        if (drawn) memo.Flush();
        memo.ClearSilently();
        QCOMPARE(memo.Size(), qsizetype(0));
        QCOMPARE(memo.Text(), QString());
        // 44 characters with their breaks: within the budget, so all of it stays.
        const QStringList after{QString(20, u'a'), QString(10, u'b'), QString(11, u'c')};
        for (const QString& line : after) memo.AddLine(line);
        QCOMPARE(memo.Size(), qsizetype(44));
        QCOMPARE(memo.Text(), after.join(u'\n'));
        if (!shown) return;
        memo.Flush();
        QCOMPARE(memo.document()->toPlainText(), after.join(u'\n'));
        QCOMPARE(memo.Size(), qsizetype(44));
    }

    // Received messages wait in their bytes until they are shown: the text, the count and the
    // first line are still those of the lines DisplayText gives, next to lines added as text
    // and after the oldest were trimmed.
    void receivedMessagesReadAsTheirShownText_data() {
        QTest::addColumn<bool>("shown");
        QTest::addColumn<qsizetype>("budget");
        QTest::addColumn<QList<QByteArray>>("messages");
        const QList<QByteArray> breaks{"a\r\nb", "c\rd", "e\nf", "\r\n", "g\r", "\r\r\n", "h"};
        const QList<QByteArray> bytes{QByteArray("x\0y\x01", 4), "\xC0\xE0\x98", "\x7F", ""};
        QList<QByteArray> many;
        for (int i = 0; i < 300; ++i) many.append(QByteArray(1 + (i * 7) % 13, char('a' + i % 26)));
        // Many times the pending buffer's first size, and now and then a long message.
        QList<QByteArray> round;
        for (int i = 0; i < 6000; ++i)
            round.append(QByteArray(i % 389 == 0  ? 5000
                                    : i % 97 == 0 ? 2000
                                                  : 1 + (i * 7) % 13,
                                    char('a' + i % 26)));
        for (const bool shown : {false, true}) {
            const char* where = shown ? "shown" : "hidden";
            QTest::addRow("line breaks in every form, %s", where)
                << shown << qsizetype(1000) << breaks;
            QTest::addRow("control bytes and code page 1251, %s", where)
                << shown << qsizetype(1000) << bytes;
            QTest::addRow("many lines past a small budget, %s", where)
                << shown << qsizetype(200) << many;
            QTest::addRow("thousands of lines, long ones among them, %s", where)
                << shown << qsizetype(6000) << round;
        }
    }
    void receivedMessagesReadAsTheirShownText() {
        QFETCH(bool, shown);
        QFETCH(qsizetype, budget);
        QFETCH(QList<QByteArray>, messages);
        QWidget window;
        TMemo memo(&window);
        memo.SetBudget(budget);
        if (shown) window.show();
        QStringList all;
        for (qsizetype i = 0; i < messages.size(); ++i) {
            const std::string_view bytes(messages[i].constData(), std::size_t(messages[i].size()));
            all.append(ui::DisplayText(bytes));
            // Every other one as text, so that both kinds of line sit side by side.
            if (i % 2 == 0) {
                memo.AddMessage(bytes);
            } else {
                memo.AddLine(all.last());
            }
            if (shown && i % 5 == 4) memo.Flush();
            const QString text = memo.Text();
            QCOMPARE(memo.Size(), text.size() + 1);
            QVERIFY2(memo.Size() <= std::max(budget, all.last().size() + 1),
                     qPrintable(QString::number(memo.Size())));
            qsizetype kept = all.size(), joined = -1;  // the newest lines that fit, joined
            while (kept > 0 && joined + all[kept - 1].size() + 1 <= text.size()) {
                joined += all[kept - 1].size() + 1;
                --kept;
            }
            QCOMPARE(text, all.mid(kept).join(u'\n'));
            QCOMPARE(memo.FirstLine(), text.left(text.indexOf(u'\n')));
        }
        const QString text = memo.Text();
        memo.Flush();
        QCOMPARE(memo.Text(), text);
        QCOMPARE(memo.document()->toPlainText(), text);
    }

    // Messages waiting in a memo nobody sees keep their text and order when the oldest are
    // trimmed and more come after, long ones too: the pending buffer then grows or moves the
    // rest down. It starts at 4 KiB: 30 messages of 100 bytes, a trim, then more past its end.
    void pendingMessagesKeepTheirOrderPastATrim_data() {
        QTest::addColumn<qsizetype>("trimTo");
        QTest::addColumn<QList<int>>("then");  // sizes of the messages after the trim
        QList<int> round(12, 100);
        round << 3000 << 5;
        QList<int> tooLong(11, 100);
        tooLong << 2701 << 5;
        QTest::newRow("most trimmed, then a long one") << qsizetype(1000) << round;
        QTest::newRow("all but two trimmed, then a long one") << qsizetype(300) << tooLong;
    }
    void pendingMessagesKeepTheirOrderPastATrim() {
        QFETCH(qsizetype, trimTo);
        QFETCH(QList<int>, then);
        TMemo memo(nullptr);
        memo.SetBudget(100000);
        QStringList all;
        const auto add = [&](int size) {
            const QByteArray message(size, char('a' + all.size() % 26));
            memo.AddMessage(std::string_view(message.constData(), std::size_t(size)));
            all.append(QString::fromLatin1(message));
        };
        for (int i = 0; i < 30; ++i) add(100);
        memo.SetBudget(trimTo);
        const qsizetype trimmed = 30 - memo.Text().count(u'\n') - 1;
        QVERIFY(trimmed > 0);
        memo.SetBudget(100000);
        for (const int size : then) add(size);
        QCOMPARE(memo.Text(), all.mid(trimmed).join(u'\n'));
        QCOMPARE(memo.Size(), memo.Text().size() + 1);
        QCOMPARE(memo.FirstLine(), all[trimmed]);
    }
};

QTEST_MAIN(MemoTest)
#include "memo_test.moc"
