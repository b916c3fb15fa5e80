// How far the memo trims once a line passes its budget: to three quarters of it, so that a
// flood trims once every few lines instead of at every line.
#include <QTest>

#include "ui/memo.h"

using ui::TMemo;

class MemoTrimTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void trimsToThreeQuartersOfTheBudget_data() {
        QTest::addColumn<bool>("shown");
        QTest::addColumn<int>("length");
        QTest::newRow("hidden, ten characters") << false << 10;
        QTest::newRow("shown, ten characters") << true << 10;
        QTest::newRow("hidden, seven characters") << false << 7;
        QTest::newRow("shown, seven characters") << true << 7;
    }

    void trimsToThreeQuartersOfTheBudget() {
        QFETCH(bool, shown);
        QFETCH(int, length);
        constexpr qsizetype kBudget = 100;
        const qsizetype line = length + 1;  // with its line break
        QWidget window;
        TMemo memo(&window);
        memo.SetBudget(kBudget);
        if (shown) window.show();

        int trims = 0;
        qsizetype before = 0;
        for (int i = 0; i < 40; ++i) {
            memo.AddLine(QString(length, QChar(u'a' + i % 26)));
            if (shown) memo.Flush();
            const qsizetype size = memo.Size();
            if (size < before + line) {
                ++trims;
                // Down to three quarters, dropping no more of the oldest lines than that takes.
                QVERIFY2(size <= kBudget * 3 / 4, qPrintable(QString::number(size)));
                QVERIFY2(size > kBudget * 3 / 4 - line, qPrintable(QString::number(size)));
            }
            before = size;
        }
        // Each trim makes room for several lines before the next one.
        QVERIFY2(trims <= 40 * line / (kBudget / 4 - line) + 1, qPrintable(QString::number(trims)));
        QVERIFY(trims >= 1);
    }
};

QTEST_MAIN(MemoTrimTest)
#include "memo_trim_test.moc"
