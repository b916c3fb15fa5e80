#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPoint>
#include <QString>
#include <QStringView>
#include <QTextBlock>
#include <QTimer>

namespace ui {

// A growing byte buffer that keeps its capacity when emptied. Large ones move their pages
// when they grow rather than copying them, and ask for huge pages: a flood writes megabytes
// into memory never touched before, and taking that in 4 KiB faults costs more than the
// copying.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& other) noexcept { *this = std::move(other); }
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        if (this == &other) return *this;
        Release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        return *this;
    }
    ~ByteBuffer();
    const char* Data() const { return data_; }
    std::size_t Size() const { return size_; }
    std::size_t Capacity() const { return capacity_; }
    void Append(const void* bytes, std::size_t n);
    void EraseFront(std::size_t n);
    void Clear() { size_ = 0; }
    void Release();

private:
    void Reserve(std::size_t n);
    char* data_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
};

// Lines not yet in a memo's document. A received message stays in the bytes it came in, back
// to back with the others in one buffer that keeps its capacity, and is decoded only if it is
// shown or asked for: a flood into a memo nobody sees costs a copy of its bytes, and lines
// dropped from the front cost nothing until half the buffer is spent. A line added as text
// keeps its string, shared with the caller's.
class PendingLines {
public:
    qsizetype Count() const { return qsizetype(entries_.size()) - first_; }
    bool Empty() const { return Count() == 0; }
    // Line 0 is the oldest.
    qsizetype Chars(qsizetype i) const { return Entry(i).chars; }
    void AppendTo(QString& out, qsizetype i) const;         // the line's characters
    QStringView View(qsizetype i, QString& scratch) const;  // in scratch when it must decode
    void Append(const QString& line);
    void AppendMessage(std::string_view message);  // shown as DisplayText shows it
    void DropFront(qsizetype count);
    void Clear();    // keeps the buffer's capacity
    void Release();  // gives a large buffer back

private:
    struct Line {
        qsizetype start;           // in bytes_; for text, its number among all texts added
        std::uint32_t size;        // bytes
        std::uint32_t chars : 31;  // characters shown
        std::uint32_t text : 1;    // a string in texts_ rather than a message's bytes
    };
    const Line& Entry(qsizetype i) const { return entries_[std::size_t(first_ + i)]; }
    std::string_view Bytes(const Line& line) const {
        return std::string_view(bytes_.Data() + line.start, std::size_t(line.size));
    }
    const QString& Text(const Line& line) const {
        return texts_[std::size_t(line.start - textsDropped_)];
    }

    ByteBuffer bytes_;
    std::deque<QString> texts_;
    qsizetype textsDropped_ = 0;  // texts taken from the front of texts_ so far
    std::vector<Line> entries_;
    qsizetype first_ = 0;  // the oldest line still pending, in entries_
};

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
    // A received message as DisplayText shows it, added as one line; one change notification.
    void AddMessage(std::string_view message);
    QString FirstLine() const;  // the text up to the first line break
    // The same without a copy; valid until the memo next changes or is asked again.
    QStringView FirstLineView() const;
    QString Text() const;  // the whole text, lines not yet drawn included
    void Flush();          // brings the document up to date now

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
    void Added();                   // the newest pending line has just been appended
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
    PendingLines pending_;
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
    mutable QString firstLine_;  // what FirstLineView shows when it comes from the document
};

}  // namespace ui
