// The memo brings its document up to date in one edit per frame: the lines that arrived and
// the oldest lines the budget trimmed go together, and until then the text already reads as
// it will be.
#include <QSignalSpy>
#include <QTest>
#include <QTextDocument>

#include "ui/memo.h"

using ui::TMemo;

class MemoBatchTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aFrameIsOneEditOfTheDocument_data() {
        QTest::addColumn<int>("before");  // lines drawn before the burst
        QTest::addColumn<int>("burst");   // lines added before the frame
        QTest::addColumn<int>("budget");
        QTest::newRow("a burst within the budget") << 3 << 40 << 10000;
        QTest::newRow("a burst that trims the drawn lines") << 30 << 12 << 400;
        QTest::newRow("a burst that trims only part of them") << 30 << 3 << 400;
        QTest::newRow("a burst larger than the budget") << 5 << 100 << 300;
    }
    void aFrameIsOneEditOfTheDocument() {
        QFETCH(int, before);
        QFETCH(int, burst);
        QFETCH(int, budget);
        QWidget window;
        TMemo memo(&window);
        memo.SetBudget(budget);
        window.show();
        for (int i = 0; i < before; ++i) memo.AddLine(QStringLiteral("drawn line %1").arg(i));
        memo.Flush();

        QSignalSpy edits(memo.document(), &QTextDocument::contentsChange);
        for (int i = 0; i < burst; ++i) memo.AddLine(QStringLiteral("new line %1").arg(i));
        QCOMPARE(edits.count(), 0);  // nothing reaches the document between frames
        const QString text = memo.Text();
        const QString first = memo.FirstLine();
        const qsizetype size = memo.Size();

        memo.Flush();
        QCOMPARE(edits.count(), 1);
        QCOMPARE(memo.document()->toRawText().replace(QChar::ParagraphSeparator, u'\n'), text);
        QCOMPARE(memo.Text(), text);
        QCOMPARE(memo.FirstLine(), first);
        QCOMPARE(memo.Size(), size);
        QCOMPARE(first, text.left(text.indexOf(u'\n')));
        QVERIFY(text.endsWith(QStringLiteral("new line %1").arg(burst - 1)));
    }

    void longLinesReachTheScreenOverSeveralFramesWholeAndInOrder() {
        // Long TCP reads: a frame that took them all would hold the window.
        QWidget window;
        TMemo memo(&window);
        window.show();
        QStringList lines;
        constexpr int kLine = 40 * 1000;
        for (int i = 0; i < 10; ++i) lines.append(QString(kLine, QChar(u'a' + i)));
        QSignalSpy edits(memo.document(), &QTextDocument::contentsChange);
        for (const QString& line : lines) memo.AddLine(line);
        QCOMPARE(memo.Text(), lines.join(u'\n'));  // the text has them all at once

        QTRY_COMPARE_WITH_TIMEOUT(memo.document()->blockCount(), int(lines.size()), 10000);
        QCOMPARE(memo.document()->toPlainText(), lines.join(u'\n'));
        QVERIFY(edits.count() > 1);
        for (const QList<QVariant>& edit : edits) {
            // A frame takes whole lines, about a quarter of a mebicharacter at most.
            QVERIFY2(edit.at(2).toInt() <= 256 * 1024 + kLine + 1,
                     qPrintable(QString::number(edit.at(2).toInt())));
        }
    }

    void typingAfterATrimActsOnTheTrimmedText() {
        QWidget window;
        TMemo memo(&window);
        memo.SetBudget(60);
        window.show();
        for (int i = 0; i < 5; ++i) memo.AddLine(QStringLiteral("0123456789"));
        memo.Flush();
        for (int i = 0; i < 3; ++i) memo.AddLine(QStringLiteral("abcdefghij"));
        const QString trimmed = memo.Text();
        QVERIFY(trimmed.startsWith(QStringLiteral("0123456789")));  // some drawn lines stay

        QSignalSpy changes(&memo, &TMemo::Changed);
        memo.setFocus();
        QTest::keyClick(&memo, Qt::Key_Home, Qt::ControlModifier);
        QTest::keyClick(&memo, Qt::Key_X);
        QCOMPARE(memo.Text(), QStringLiteral("x") + trimmed);
        QCOMPARE(changes.count(), 1);
    }

    void aHiddenMemoTrimsItsTextAndCatchesUpWhenShown() {
        QWidget window;
        TMemo memo(&window);
        memo.SetBudget(100);
        window.show();
        for (int i = 0; i < 8; ++i) memo.AddLine(QStringLiteral("line %1 ....").arg(i));
        memo.Flush();
        window.hide();
        for (int i = 8; i < 12; ++i) memo.AddLine(QStringLiteral("line %1 ....").arg(i));
        const QString text = memo.Text();
        QVERIFY(!text.startsWith(QStringLiteral("line 0 ")));
        window.show();
        QTRY_COMPARE(memo.document()->toPlainText(), text);
    }
};

QTEST_MAIN(MemoBatchTest)
#include "memo_batch_test.moc"
