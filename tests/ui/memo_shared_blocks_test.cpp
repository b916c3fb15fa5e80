// A memo whose lines share the document's blocks reads, trims, copies and takes typing as one
// with a block per line: the operator sees, selects and copies the same lines.
#include <QApplication>
#include <QClipboard>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include "ui/memo.h"

using ui::TMemo;

namespace {
QString Copied(TMemo& memo, const QTextCursor& selection) {
    memo.setTextCursor(selection);
    memo.copy();
    return QApplication::clipboard()->text();
}

// A memo with a block per line beside one whose lines share blocks of 16, on screen.
struct Twins {
    QWidget window;
    TMemo single{&window}, shared{&window};
    Twins(int height, int lines) {
        window.resize(500, height + 43);
        shared.SetLinesPerBlock(16);
        for (TMemo* memo : {&single, &shared}) {
            memo->setGeometry(7, 15, 462, height);
            for (int i = 0; i < lines; ++i)
                memo->AddLine(QStringLiteral("line %1 of %2").arg(i).arg(lines));
        }
        window.show();
    }
};
}  // namespace

class MemoSharedBlocksTest : public QObject {
    Q_OBJECT

    enum Drawing { Hidden, ShownEveryThird, ShownAtEnd };

private Q_SLOTS:
    // The flood of memo_test, with lines sharing blocks: 4 to a block trims across blocks, 16
    // inside one.
    void readsAndTrimsLikeABlockPerLine_data() {
        QTest::addColumn<int>("perBlock");
        QTest::addColumn<int>("drawing");
        QTest::addColumn<QStringList>("lines");
        QStringList short_, mixed;
        for (int i = 0; i < 60; ++i) short_.append(QStringLiteral("line %1").arg(i));
        for (int i = 0; i < 30; ++i) mixed.append(QString(1 + (i * 37) % 45, QChar(u'a' + i % 26)));
        const QStringList huge{QStringLiteral("first"), QString(250, u'h'), QStringLiteral("x"),
                               QString(300, u'z')};
        for (const int perBlock : {4, 16}) {
            for (const auto& [name, drawing] : {std::pair{"hidden", Hidden},
                                                {"partly", ShownEveryThird},
                                                {"at the end", ShownAtEnd}}) {
                for (const auto& [kind, lines] : {std::pair{"short lines", short_},
                                                  {"many lengths", mixed},
                                                  {"larger than the budget", huge}}) {
                    QTest::addRow("%d per block, %s, %s", perBlock, kind, name)
                        << perBlock << int(drawing) << lines;
                }
            }
        }
    }

    void readsAndTrimsLikeABlockPerLine() {
        QFETCH(int, perBlock);
        QFETCH(int, drawing);
        QFETCH(QStringList, lines);
        constexpr qsizetype kBudget = 100;
        QWidget window;
        TMemo memo(&window);
        memo.SetLinesPerBlock(perBlock);
        memo.SetBudget(kBudget);
        memo.setPlainText(QStringLiteral("Данные от сервера:"));
        if (drawing != Hidden) window.show();
        QStringList all{memo.Text()};
        for (qsizetype i = 0; i < lines.size(); ++i) {
            memo.AddLine(lines[i]);
            all.append(lines[i]);
            if (drawing == ShownEveryThird && i % 3 == 2) memo.Flush();
            const QString text = memo.Text();
            QVERIFY(memo.Size() <= std::max(kBudget, lines[i].size() + 1));
            QCOMPARE(memo.Size(), text.size() + 1);
            const QStringList kept = text.split(u'\n');
            QCOMPARE(kept, all.mid(all.size() - kept.size()));
            QCOMPARE(memo.FirstLine(), kept.front());
        }
        const QString text = memo.Text();
        memo.Flush();
        QCOMPARE(memo.Text(), text);
        QCOMPARE(memo.document()->toPlainText(), text);
        QCOMPARE(memo.Size(), text.size() + 1);
        if (drawing != Hidden) {
            QTextCursor whole(memo.document());
            whole.select(QTextCursor::Document);
            QCOMPARE(Copied(memo, whole), text);
        }
    }

    void aFrameOfShortLinesTakesFewBlocksAndCopiesAsLines() {
        QWidget window;
        TMemo memo(&window);
        memo.SetLinesPerBlock(16);
        window.show();
        QStringList lines;
        for (int i = 0; i < 100; ++i) lines.append(QStringLiteral("datagram %1").arg(i));
        lines.append(QString(3000, u'w'));  // too long to share a block
        lines.append(QStringLiteral("after"));
        for (const QString& line : lines) memo.AddLine(line);
        memo.Flush();
        // 100 lines in blocks of 16, the long line alone, the last line after it.
        QCOMPARE(memo.document()->blockCount(), 7 + 1 + 1);
        QCOMPARE(memo.document()->lastBlock().text(), QStringLiteral("after"));
        QCOMPARE(memo.Text(), lines.join(u'\n'));

        // Lines 3 to 5, which share the first block, selected from the start of one to the
        // end of another.
        const int start = int(lines.mid(0, 3).join(u'\n').size()) + 1;
        const int end = int(lines.mid(0, 6).join(u'\n').size());
        QTextCursor over(memo.document());
        over.setPosition(start);
        over.setPosition(end, QTextCursor::KeepAnchor);
        QCOMPARE(Copied(memo, over), lines.mid(3, 3).join(u'\n'));

        // A second frame starts a block of its own: the newest lines are the last block.
        memo.AddLine(QStringLiteral("next frame"));
        memo.Flush();
        QCOMPARE(memo.document()->lastBlock().text(), QStringLiteral("next frame"));
    }

    // The view counts lines of blocks it has not laid out: the scroll bar's range and a step
    // of it go by lines, as with a block per line, trimmed or not.
    void scrollsByLinesAsWithABlockPerLine() {
        Twins twins(357, 0);
        TMemo &single = twins.single, &shared = twins.shared;
        for (TMemo* memo : {&single, &shared}) memo->SetBudget(3000);  // trims inside a block
        QVERIFY(QTest::qWaitForWindowExposed(&twins.window));
        for (int frame = 0; frame < 5; ++frame) {
            for (int i = 0; i < 150; ++i) {
                for (TMemo* memo : {&single, &shared})
                    memo->AddLine(QStringLiteral("%1.%2").arg(frame).arg(i));
            }
            for (TMemo* memo : {&single, &shared}) memo->Flush();
        }
        const auto top = [](TMemo& memo) {
            const QTextCursor at = memo.cursorForPosition(QPoint(4, 4));
            const QString block = at.block().text();
            const qsizetype in = at.positionInBlock();
            const qsizetype from = block.lastIndexOf(QChar::LineSeparator, in - 1) + 1;
            const qsizetype to = block.indexOf(QChar::LineSeparator, in);
            return block.mid(from, to < 0 ? -1 : to - from);
        };
        QScrollBar* a = single.verticalScrollBar();
        QScrollBar* b = shared.verticalScrollBar();
        QCOMPARE(b->maximum(), a->maximum());
        QCOMPARE(b->value(), b->maximum());  // the newest line in view
        QCOMPARE(top(shared), top(single));
        for (const int back : {1, 3, 40, 200, 350}) {
            a->setValue(a->maximum() - back);
            b->setValue(b->maximum() - back);
            QCOMPARE(top(shared), top(single));
        }
    }

    // A triple click selects and copies the line under it, and dragging on takes whole lines,
    // the same with shared blocks as with a block per line.
    void aTripleClickSelectsTheLine_data() {
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("dragTo");  // -1: no drag
        // The first and last lines of a block, of the next one, of the memo.
        for (const int line : {0, 15, 16, 39}) QTest::addRow("line %d", line) << line << -1;
        QTest::addRow("line 5 dragged down to 18") << 5 << 18;
        QTest::addRow("line 20 dragged up to 3") << 20 << 3;
    }

    void aTripleClickSelectsTheLine() {
        QFETCH(int, line);
        QFETCH(int, dragTo);
        Twins twins(900, 40);
        QVERIFY(QTest::qWaitForWindowExposed(&twins.window));
        QStringList copied;
        for (TMemo* memo : {&twins.single, &twins.shared}) {
            memo->Flush();
            memo->verticalScrollBar()->setValue(0);
            const auto at = [&](int i) {
                const qsizetype start = memo->Text().split(u'\n').mid(0, i).join(u'\n').size();
                QTextCursor c(memo->document());
                c.setPosition(int(start + (i > 0 ? 1 : 0) + 2));
                return memo->cursorRect(c).center();
            };
            const QPoint p = at(line);
            QTest::mouseDClick(memo->viewport(), Qt::LeftButton, {}, p);
            QTest::mousePress(memo->viewport(), Qt::LeftButton, {}, p);
            if (dragTo >= 0) {
                QMouseEvent move(QEvent::MouseMove, at(dragTo),
                                 memo->viewport()->mapToGlobal(at(dragTo)), Qt::NoButton,
                                 Qt::LeftButton, {});
                QApplication::sendEvent(memo->viewport(), &move);
            }
            QTest::mouseRelease(memo->viewport(), Qt::LeftButton, {}, dragTo >= 0 ? at(dragTo) : p);
            memo->copy();
            copied.append(QApplication::clipboard()->text());
        }
        QCOMPARE(copied[1], copied[0]);
        const int from = dragTo >= 0 ? std::min(line, dragTo) : line;
        const int to = dragTo >= 0 ? std::max(line, dragTo) : line;
        QVERIFY2(copied[0].startsWith(QStringLiteral("line %1 of 40").arg(from)),
                 qPrintable(copied[0]));
        QCOMPARE(copied[0].count(u'\n') + (to == 39 ? 1 : 0), to - from + 1);
    }

    // Keys move and select over shared blocks as over a block per line: a line separator takes
    // one position as a block's end does, so the two memos agree position for position.
    void keysMoveAndSelectAsWithABlockPerLine_data() {
        QTest::addColumn<QList<QKeyCombination>>("keys");
        const auto row = [](const char* name, QList<QKeyCombination> keys) {
            QTest::newRow(name) << keys;
        };
        row("by lines and pages",
            {Qt::Key_Down, Qt::Key_Down, Qt::Key_Right, Qt::Key_End, Qt::Key_Right, Qt::Key_Home,
             Qt::Key_PageDown, Qt::Key_PageDown, Qt::Key_PageUp, Qt::CTRL | Qt::Key_End, Qt::Key_Up,
             Qt::CTRL | Qt::Key_Up});
        row("selecting down over lines", {Qt::Key_Down, Qt::SHIFT | Qt::Key_Down,
                                          Qt::SHIFT | Qt::Key_Down, Qt::SHIFT | Qt::Key_End});
        row("word by word", {Qt::Key_Down, Qt::CTRL | Qt::Key_Right, Qt::CTRL | Qt::Key_Right,
                             Qt::CTRL | Qt::Key_Right, Qt::CTRL | Qt::SHIFT | Qt::Key_Right});
        row("word by word back",
            {Qt::Key_Down, Qt::Key_Down, Qt::Key_Right, Qt::CTRL | Qt::Key_Left,
             Qt::CTRL | Qt::Key_Left, Qt::CTRL | Qt::SHIFT | Qt::Key_Left});
        row("a word's end to the next line",
            {Qt::Key_Down, Qt::Key_End, Qt::CTRL | Qt::Key_Right, Qt::CTRL | Qt::Key_Right});
        row("a line's start to the one before",
            {Qt::Key_Down, Qt::Key_Down, Qt::CTRL | Qt::Key_Left, Qt::CTRL | Qt::Key_Left});
        row("deleting words forward",
            {Qt::Key_Down, Qt::Key_Right, Qt::CTRL | Qt::Key_Delete, Qt::CTRL | Qt::Key_Delete,
             Qt::CTRL | Qt::Key_Delete, Qt::CTRL | Qt::Key_Delete, Qt::CTRL | Qt::Key_Delete});
        row("deleting words back",
            {Qt::Key_Down, Qt::Key_Down, Qt::Key_Right, Qt::CTRL | Qt::Key_Backspace,
             Qt::CTRL | Qt::Key_Backspace, Qt::CTRL | Qt::Key_Backspace});
        row("typing, joining and deleting over lines",
            {Qt::Key_Down, Qt::Key_Right, Qt::Key_Return, Qt::Key_Z, Qt::Key_Down, Qt::Key_Home,
             Qt::Key_Backspace, Qt::Key_Y, Qt::SHIFT | Qt::Key_Down, Qt::SHIFT | Qt::Key_Down,
             Qt::Key_Delete});
    }

    void keysMoveAndSelectAsWithABlockPerLine() {
        QFETCH(QList<QKeyCombination>, keys);
        Twins twins(357, 80);
        TMemo &single = twins.single, &shared = twins.shared;
        QVERIFY(QTest::qWaitForWindowExposed(&twins.window));
        for (TMemo* memo : {&single, &shared}) {
            memo->Flush();
            memo->setFocus();
            memo->moveCursor(QTextCursor::Start);
            for (const QKeyCombination key : keys) {
                QTest::keyClick(memo, key.key(), key.keyboardModifiers());
            }
        }
        QVERIFY(shared.document()->blockCount() < single.document()->blockCount());
        QCOMPARE(shared.textCursor().position(), single.textCursor().position());
        QCOMPARE(shared.textCursor().anchor(), single.textCursor().anchor());
        QCOMPARE(shared.Text(), single.Text());
    }

    // A budget lowered below the last block keeps the newest line, whole, and no more.
    void aLowerBudgetTrimsInsideTheLastBlock() {
        QWidget window;
        TMemo memo(&window);
        memo.SetLinesPerBlock(16);
        window.show();
        QStringList lines;
        for (int i = 0; i < 4; ++i) lines.append(QString(30, QChar(u'a' + i)));
        for (const QString& line : lines) memo.AddLine(line);
        memo.Flush();
        QCOMPARE(memo.document()->blockCount(), 1);
        memo.SetBudget(100);  // 124 characters down to no more than 75
        QCOMPARE(memo.Text(), lines.mid(2).join(u'\n'));
        memo.SetBudget(40);
        QCOMPARE(memo.Text(), lines.back());
        memo.Flush();
        QCOMPARE(memo.document()->toPlainText(), lines.back());
        QCOMPARE(memo.FirstLine(), lines.back());
    }

    void typingAfterATrimInsideABlockActsOnTheTrimmedText() {
        QWidget window;
        TMemo memo(&window);
        memo.SetLinesPerBlock(16);
        memo.SetBudget(60);
        window.show();
        for (int i = 0; i < 5; ++i) memo.AddLine(QStringLiteral("012345678%1").arg(i));
        memo.Flush();
        QCOMPARE(memo.document()->blockCount(), 1);
        for (int i = 0; i < 3; ++i) memo.AddLine(QStringLiteral("abcdefghij"));
        const QString trimmed = memo.Text();
        // The trim ends inside the block: its first lines go, the rest of it stays.
        QVERIFY(trimmed.startsWith(QStringLiteral("012345678")));
        QVERIFY(!trimmed.startsWith(QStringLiteral("0123456780")));
        QCOMPARE(memo.FirstLine(), trimmed.left(trimmed.indexOf(u'\n')));

        memo.setFocus();
        QTest::keyClick(&memo, Qt::Key_Home, Qt::ControlModifier);
        QTest::keyClick(&memo, Qt::Key_X);
        QCOMPARE(memo.Text(), QStringLiteral("x") + trimmed);
        QCOMPARE(memo.document()->toPlainText(), QStringLiteral("x") + trimmed);
    }
};

QTEST_MAIN(MemoSharedBlocksTest)
#include "memo_shared_blocks_test.moc"
