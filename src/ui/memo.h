#pragma once

#include <algorithm>
#include <utility>

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <QTextBlock>
#include <QTimer>

namespace ui {

// A multi-line memo whose change notification counts what the operator types and what a
// handler adds, but not a clearing done by the system.
//
// Lines added by handlers reach the text model at once (Text, FirstLine) but the document
// on screen catches up at most once per frame: a flood of datagrams then costs one layout
// and one paint per frame instead of one per datagram, and every message is still its own
// line.
//
// A memo holds at most a budget of characters, counting lines not yet drawn: past it the
// oldest lines go first, down to three quarters of the budget so that trimming is rare, and
// the newest line is always kept whole. Trimmed lines leave the text at once and the
// document with the next frame's new lines, in one edit. A listener left on next to a chatty peer
// then keeps the latest messages instead of exhausting the memory.
class TMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TMemo(QWidget* parent);
    void ClearSilently();
    void Clear();                       // everything, lines not yet drawn included
    void AddLine(const QString& line);  // one change notification
    QString FirstLine() const;          // the text up to the first line break
    QString Text() const;               // the whole text, lines not yet drawn included
    void Flush();                       // brings the document up to date now

    static constexpr qsizetype kDefaultBudget = 8 * 1024 * 1024;  // characters
    void SetBudget(qsizetype characters);
    qsizetype Budget() const { return budget_; }
    qsizetype Size() const;  // characters held, lines not yet drawn included

    // Up to this many of a frame's lines share one block of the document, each after a line
    // separator, which the memo shows, reads back and copies as a line break: the document's
    // cost goes by blocks, and a flood of short lines otherwise spends most of a frame making
    // them. 1, the default, gives every line its own block.
    void SetLinesPerBlock(int lines) { linesPerBlock_ = std::max(lines, 1); }

Q_SIGNALS:
    void Changed();

protected:
    bool event(QEvent* e) override;
    // A triple click selects the line under it, as it does where every line is a block.
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    // Moving or deleting by words stops at a line's end, as it does at a block's.
    void keyPressEvent(QKeyEvent* e) override;

private:
    void OnFrame();
    void CatchUp(qsizetype limit);  // takes up to limit pending lines into the document
    qsizetype DocumentSize() const;
    void Trim();
    void DropPending(qsizetype characters);
    qsizetype NextLineStart(qsizetype position) const;  // -1 after the document's last line
    qsizetype LastLineStart() const;
    // The line's start and the position after its line separator, or where the view's own
    // selection of a block would end.
    std::pair<qsizetype, qsizetype> LineAround(qsizetype position) const;
    enum class WordAction { Move, Select, Delete };
    void ByWord(bool forward, WordAction action);
    void CountLines(QTextBlock block, bool firstOnly = false);  // sets the view's line counts
    QString Lines(QString text) const;  // line separators as line breaks, when lines share blocks

    bool clearPending_ = false;  // the document is to be emptied before pending_ goes in
    QStringList pending_;
    qsizetype pendingSize_ = 0;  // characters of pending_, a line break after each line
    qsizetype dropped_ = 0;      // characters of whole lines at the document's top, trimmed already
    qsizetype budget_ = kDefaultBudget;
    bool hasLines_ = false;  // the document holds at least one line, perhaps an empty one
    bool flushing_ = false;
    int linesPerBlock_ = 1;
    QElapsedTimer doubleClicked_;
    QPoint doubleClickedAt_;
    std::pair<qsizetype, qsizetype> tripleClicked_{-1, -1};  // the line, while the button is held
    QTimer flushTimer_;
};

}  // namespace ui
