#include "ui/memo.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>

#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include "ui/texts.h"

namespace ui {
namespace {
constexpr int kFrameMs = 16;
// Lines taken into the document per frame: about 10 ms of work, so that a memo shown after a
// long flood catches up over a few frames instead of stalling the window.
constexpr qsizetype kLinesPerFrame = 2000;
// The same for long lines (TCP reads run to 64 KiB): the document takes them in at memory
// speed, but a frame that takes megabytes holds the window for longer than a frame.
constexpr qsizetype kCharsPerFrame = 256 * 1024;
// Lines that share a block stop there: the block on screen is laid out whole.
constexpr qsizetype kCharsPerBlock = 2048;
// A pending buffer larger than this goes back to the system once it is empty.
constexpr std::size_t kKeptPendingBytes = 128 * 1024;
// From this size on a buffer is mapped memory of its own, which grows by moving its pages
// (mremap) and asks for huge pages.
constexpr std::size_t kMappedBytes = 2 * 1024 * 1024;
}  // namespace

ByteBuffer::~ByteBuffer() {
    Release();
}

void ByteBuffer::Reserve(std::size_t n) {
    // Never without storage once used: an empty line still points into it.
    if (n <= capacity_ && data_ != nullptr) return;
    std::size_t capacity = std::max({n, capacity_ * 2, std::size_t(4096)});
    if (capacity < kMappedBytes) {
        void* grown = std::realloc(data_, capacity);
        if (grown == nullptr) throw std::bad_alloc();
        data_ = static_cast<char*>(grown);
        capacity_ = capacity;
        return;
    }
    capacity = (capacity + kMappedBytes - 1) & ~(kMappedBytes - 1);
    void* grown = MAP_FAILED;
    if (capacity_ >= kMappedBytes) {
        grown = mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
    } else {
        grown = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (grown != MAP_FAILED) {
            if (size_ > 0) std::memcpy(grown, data_, size_);
            std::free(data_);
        }
    }
    if (grown == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
    // Only advice: where it is refused, the pages come 4 KiB at a time.
    madvise(data_, capacity_, MADV_HUGEPAGE);
}

void ByteBuffer::Append(const void* bytes, std::size_t n) {
    Reserve(size_ + n);
    if (n > 0) std::memcpy(data_ + size_, bytes, n);
    size_ += n;
}

void ByteBuffer::EraseFront(std::size_t n) {
    if (n == 0) return;  // perhaps no storage at all: only texts were pending
    std::memmove(data_, data_ + n, size_ - n);
    size_ -= n;
}

void ByteBuffer::Release() {
    if (capacity_ >= kMappedBytes) {
        munmap(data_, capacity_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    size_ = capacity_ = 0;
}

void PendingLines::AppendTo(QString& out, qsizetype i) const {
    const Line& line = Entry(i);
    if (line.text) {
        out.append(Text(line));
    } else {
        DisplayTextInto(out, Bytes(line));
    }
}

QStringView PendingLines::View(qsizetype i, QString& scratch) const {
    const Line& line = Entry(i);
    if (line.text) return Text(line);
    scratch.resize(0);
    DisplayTextInto(scratch, Bytes(line));
    return scratch;
}

void PendingLines::Append(const QString& line) {
    texts_.push_back(line);
    entries_.push_back(
        {textsDropped_ + qsizetype(texts_.size()) - 1, 0, std::uint32_t(line.size()), 1});
}

void PendingLines::AppendMessage(std::string_view message) {
    // DisplayText shows "\r\n" as one line break and every other byte as one character.
    qsizetype pairs = 0;
    for (std::size_t at = message.find('\r'); at != std::string_view::npos;
         at = message.find('\r', at + 1)) {
        if (at + 1 < message.size() && message[at + 1] == '\n') ++pairs;
    }
    const auto start = qsizetype(bytes_.Size());
    bytes_.Append(message.data(), message.size());
    entries_.push_back({start, std::uint32_t(message.size()),
                        std::uint32_t(qsizetype(message.size()) - pairs), 0});
}

void PendingLines::DropFront(qsizetype count) {
    for (qsizetype i = 0; i < count; ++i) {
        if (!Entry(i).text) continue;
        texts_.pop_front();
        ++textsDropped_;
    }
    first_ += count;
    if (Empty()) {
        Clear();
        return;
    }
    // Compacted once the dropped lines outnumber the rest: each line, and about each byte,
    // moves at most once on average.
    if (first_ < Count()) return;
    std::size_t shift = bytes_.Size();  // up to the first message left, or all of it
    for (qsizetype i = 0; i < Count(); ++i) {
        if (Entry(i).text) continue;
        shift = std::size_t(Entry(i).start);
        break;
    }
    bytes_.EraseFront(shift);
    entries_.erase(entries_.begin(), entries_.begin() + first_);
    first_ = 0;
    for (Line& line : entries_) {
        if (!line.text) line.start -= qsizetype(shift);
    }
}

void PendingLines::Clear() {
    bytes_.Clear();
    texts_.clear();
    textsDropped_ = 0;
    entries_.clear();
    first_ = 0;
}

void PendingLines::Release() {
    if (!Empty() || bytes_.Capacity() <= kKeptPendingBytes) return;
    bytes_.Release();
    entries_ = std::vector<Line>();
}

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent) {
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Received lines are not edits to undo, and recording them costs as much as drawing them.
    setUndoRedoEnabled(false);
    flushTimer_.setSingleShot(true);
    flushTimer_.setInterval(kFrameMs);
    connect(&flushTimer_, &QTimer::timeout, this, &TMemo::OnFrame);
    connect(this, &QPlainTextEdit::textChanged, this, [this] {
        if (flushing_) return;
        hasLines_ = !document()->isEmpty();
        dropped_ = 0;  // the text was set from outside: it is all there is
        Q_EMIT Changed();
    });
}

void TMemo::ClearSilently() {
    clearPending_ = true;
    pending_.Clear();
    pendingSize_ = 0;
    // Restarting a running timer would hold the screen back for as long as datagrams come.
    if (!flushTimer_.isActive()) flushTimer_.start();
}

void TMemo::Clear() {
    flushTimer_.stop();
    clearPending_ = false;
    pending_.Clear();
    pending_.Release();
    pendingSize_ = 0;
    clear();
    hasLines_ = false;
    dropped_ = 0;
}

void TMemo::AddLine(const QString& line) {
    pending_.Append(line);
    Added();
}

void TMemo::AddMessage(std::string_view message) {
    pending_.AppendMessage(message);
    Added();
}

void TMemo::Added() {
    pendingSize_ += pending_.Chars(pending_.Count() - 1) + 1;
    if (DocumentSize() + pendingSize_ > budget_) Trim();
    if (!flushTimer_.isActive()) flushTimer_.start();
    Q_EMIT Changed();
}

QString TMemo::FirstLine() const {
    return FirstLineView().toString();
}

QStringView TMemo::FirstLineView() const {
    QStringView first;
    if (clearPending_ || !hasLines_) {
        if (!pending_.Empty()) first = pending_.View(0, firstLine_);
    } else {
        const QTextBlock block = document()->findBlock(int(dropped_));
        firstLine_ = Lines(block.text().mid(dropped_ - block.position()));
        first = firstLine_;
    }
    const qsizetype lineBreak = first.indexOf(u'\n');
    return lineBreak < 0 ? first : first.left(lineBreak);
}

QString TMemo::Text() const {
    // Block by block: the text as stored, where toPlainText() would turn no-break spaces
    // into plain ones.
    QStringList lines;
    if (!clearPending_ && hasLines_) {
        const QTextBlock first = document()->findBlock(int(dropped_));
        for (QTextBlock b = first; b.isValid(); b = b.next()) lines.append(Lines(b.text()));
        // Trimming takes whole lines, which may end inside a block.
        lines.front().remove(0, dropped_ - first.position());
    }
    QString text = lines.join(u'\n');
    for (qsizetype i = 0; i < pending_.Count(); ++i) {
        if (i > 0 || !lines.isEmpty()) text += u'\n';
        pending_.AppendTo(text, i);
    }
    return text;
}

void TMemo::Flush() {
    CatchUp(pending_.Count());
}

void TMemo::CatchUp(qsizetype limit) {
    flushTimer_.stop();
    if (!clearPending_ && pending_.Empty() && dropped_ == 0) return;
    const qsizetype count = std::min(limit, pending_.Count());
    // An empty document and one empty line look alike; hasLines_ tells them apart.
    const bool afterLines = hasLines_ && !clearPending_;
    QString batch;
    qsizetype chars = 0;
    for (qsizetype i = 0; i < count; ++i) chars += pending_.Chars(i) + 1;
    batch.reserve(chars);
    qsizetype inBlock = 0, blockChars = 0;
    for (qsizetype i = 0; i < count; ++i) {
        const qsizetype size = pending_.Chars(i);
        // A frame starts a block of its own, so the newest lines are a block of their own too.
        const bool shared = i > 0 && inBlock < linesPerBlock_ && blockChars + size < kCharsPerBlock;
        if (shared) {
            batch += QChar::LineSeparator;
        } else {
            if (i > 0 || afterLines) batch += u'\n';
            inBlock = 0;
            blockChars = 0;
        }
        pending_.AppendTo(batch, i);
        ++inBlock;
        blockChars += size + 1;
    }
    flushing_ = true;
    QScrollBar* bar = verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    // One edit for the clearing or the trimmed lines and the new ones: the document tells its
    // layout once, and the cursor does not lay out the last line to find its own place.
    QTextCursor cursor(document());
    cursor.beginEditBlock();
    if (clearPending_) {
        cursor.select(QTextCursor::Document);
        cursor.removeSelectedText();
        hasLines_ = false;
    } else if (dropped_ > 0) {
        cursor.setPosition(int(dropped_), QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    if (count > 0) {
        // Not movePosition(End): that lays out the block the cursor leaves.
        const qsizetype start = document()->characterCount() - 1;
        cursor.setPosition(int(start));
        cursor.insertText(batch);
        hasLines_ = true;
        CountLines(document()->findBlock(int(start)));
    }
    if (dropped_ > 0) CountLines(document()->firstBlock(), true);
    cursor.endEditBlock();
    dropped_ = 0;
    clearPending_ = false;
    pendingSize_ -= chars;
    pending_.DropFront(count);
    pending_.Release();
    if (Size() > budget_) Trim();
    if (atEnd) bar->setValue(bar->maximum());
    flushing_ = false;
    if (!pending_.Empty() || dropped_ > 0) flushTimer_.start();
}

void TMemo::SetBudget(qsizetype characters) {
    budget_ = characters;
    if (Size() > budget_) Trim();
}

qsizetype TMemo::DocumentSize() const {
    // characterCount() counts one break after the last line too, as pendingSize_ does.
    return clearPending_ || !hasLines_ ? 0 : document()->characterCount() - dropped_;
}

qsizetype TMemo::Size() const {
    return DocumentSize() + pendingSize_;
}

void TMemo::Trim() {
    const qsizetype inDocument = DocumentSize();
    const qsizetype newest = !pending_.Empty() ? pending_.Chars(pending_.Count() - 1) + 1
                             : inDocument > 0  ? document()->characterCount() - LastLineStart()
                                               : 0;
    qsizetype excess = Size() - std::max(budget_ - budget_ / 4, newest);
    if (excess <= 0) return;
    if (inDocument > 0 && (excess < inDocument || pending_.Empty())) {
        // Whole lines from the top, up to the one where the excess ends; the last line of the
        // document stays when it is the newest. They leave the text now and the document with
        // the next frame's lines, in the same edit.
        qsizetype end = NextLineStart(dropped_ + std::min(excess, inDocument) - 1);
        if (end < 0 && pending_.Empty()) end = LastLineStart();
        if (end >= 0) {
            dropped_ = end;
            if (!flushTimer_.isActive()) flushTimer_.start();
            return;
        }
    }
    if (inDocument > 0) {
        // The whole document goes: emptied when the pending lines go in.
        excess -= inDocument;
        clearPending_ = true;
        dropped_ = 0;
        if (!flushTimer_.isActive()) flushTimer_.start();
    }
    DropPending(excess);
}

qsizetype TMemo::NextLineStart(qsizetype position) const {
    const QTextBlock block = document()->findBlock(int(position));
    const qsizetype separator =
        linesPerBlock_ > 1 ? block.text().indexOf(QChar::LineSeparator, position - block.position())
                           : -1;
    if (separator >= 0) return block.position() + separator + 1;
    const QTextBlock next = block.next();
    return next.isValid() ? next.position() : -1;
}

std::pair<qsizetype, qsizetype> TMemo::LineAround(qsizetype position) const {
    const QTextBlock block = document()->findBlock(int(position));
    const QString text = block.text();
    const qsizetype in = position - block.position();
    const qsizetype start = in > 0 ? text.lastIndexOf(QChar::LineSeparator, in - 1) + 1 : 0;
    const qsizetype end = text.indexOf(QChar::LineSeparator, in);
    const QTextBlock next = block.next();
    return {block.position() + start, end >= 0         ? block.position() + end + 1
                                      : next.isValid() ? next.position()
                                                       : block.position() + text.size()};
}

void TMemo::mouseDoubleClickEvent(QMouseEvent* e) {
    QPlainTextEdit::mouseDoubleClickEvent(e);
    doubleClicked_.start();
    doubleClickedAt_ = e->position().toPoint();
}

void TMemo::mousePressEvent(QMouseEvent* e) {
    QPlainTextEdit::mousePressEvent(e);
    tripleClicked_ = {-1, -1};
    if (linesPerBlock_ == 1 || e->button() != Qt::LeftButton || !doubleClicked_.isValid() ||
        doubleClicked_.elapsed() >= QApplication::doubleClickInterval() ||
        (e->position().toPoint() - doubleClickedAt_).manhattanLength() >=
            QApplication::startDragDistance()) {
        return;
    }
    doubleClicked_.invalidate();
    tripleClicked_ = LineAround(cursorForPosition(e->position().toPoint()).position());
    QTextCursor line(document());
    line.setPosition(int(tripleClicked_.first));
    line.setPosition(int(tripleClicked_.second), QTextCursor::KeepAnchor);
    setTextCursor(line);
}

void TMemo::mouseMoveEvent(QMouseEvent* e) {
    QPlainTextEdit::mouseMoveEvent(e);
    if (tripleClicked_.first < 0 || !(e->buttons() & Qt::LeftButton)) return;
    // Dragging on from a triple click takes whole lines.
    const auto [start, end] = LineAround(cursorForPosition(e->position().toPoint()).position());
    QTextCursor lines(document());
    if (start < tripleClicked_.first) {
        lines.setPosition(int(tripleClicked_.second));
        lines.setPosition(int(start), QTextCursor::KeepAnchor);
    } else {
        lines.setPosition(int(tripleClicked_.first));
        lines.setPosition(int(end), QTextCursor::KeepAnchor);
    }
    setTextCursor(lines);
}

void TMemo::mouseReleaseEvent(QMouseEvent* e) {
    tripleClicked_ = {-1, -1};
    QPlainTextEdit::mouseReleaseEvent(e);
}

void TMemo::keyPressEvent(QKeyEvent* e) {
    static constexpr struct {
        QKeySequence::StandardKey key;
        bool forward;
        WordAction action;
    } kWordKeys[] = {
        {QKeySequence::MoveToNextWord, true, WordAction::Move},
        {QKeySequence::MoveToPreviousWord, false, WordAction::Move},
        {QKeySequence::SelectNextWord, true, WordAction::Select},
        {QKeySequence::SelectPreviousWord, false, WordAction::Select},
        {QKeySequence::DeleteEndOfWord, true, WordAction::Delete},
        {QKeySequence::DeleteStartOfWord, false, WordAction::Delete},
    };
    if (linesPerBlock_ > 1) {
        for (const auto& word : kWordKeys) {
            if (e->matches(word.key)) {
                ByWord(word.forward, word.action);
                e->accept();
                return;
            }
        }
    }
    QPlainTextEdit::keyPressEvent(e);
}

void TMemo::ByWord(bool forward, WordAction action) {
    QTextCursor cursor = textCursor();
    if (action == WordAction::Delete && cursor.hasSelection()) {
        cursor.removeSelectedText();
        setTextCursor(cursor);
        return;
    }
    const qsizetype position = cursor.position();
    QTextCursor word = cursor;
    word.movePosition(forward ? QTextCursor::NextWord : QTextCursor::PreviousWord);
    qsizetype target = word.position();
    // A line separator stands where a block's end would: the cursor steps over it alone.
    const QTextBlock block = document()->findBlock(int(position));
    const QString text = block.text();
    const qsizetype in = position - block.position();
    if (forward) {
        const qsizetype separator = text.indexOf(QChar::LineSeparator, in);
        if (separator == in) {
            target = position + 1;
        } else if (separator > in) {
            target = std::min(target, block.position() + separator);
        }
    } else {
        const qsizetype separator = in > 0 ? text.lastIndexOf(QChar::LineSeparator, in - 1) : -1;
        if (separator >= 0 && separator == in - 1) {
            target = position - 1;
        } else if (separator >= 0) {
            target = std::max(target, block.position() + separator + 1);
        }
    }
    cursor.setPosition(int(target), action == WordAction::Move ? QTextCursor::MoveAnchor
                                                               : QTextCursor::KeepAnchor);
    if (action == WordAction::Delete) cursor.removeSelectedText();
    setTextCursor(cursor);
}

void TMemo::CountLines(QTextBlock block, bool firstOnly) {
    // Until a block is laid out the view counts it as one line, and the scroll bar's range and
    // steps go by those counts: a block counts its lines, as the blocks of single lines do.
    if (linesPerBlock_ == 1) return;
    for (; block.isValid(); block = block.next()) {
        block.setLineCount(int(block.text().count(QChar::LineSeparator)) + 1);
        if (firstOnly) break;
    }
}

qsizetype TMemo::LastLineStart() const {
    const QTextBlock last = document()->lastBlock();
    const qsizetype separator =
        linesPerBlock_ > 1 ? last.text().lastIndexOf(QChar::LineSeparator) : -1;
    return last.position() + separator + 1;
}

QString TMemo::Lines(QString text) const {
    if (linesPerBlock_ > 1) text.replace(QChar::LineSeparator, u'\n');
    return text;
}

void TMemo::DropPending(qsizetype characters) {
    qsizetype count = 0, dropped = 0;
    while (dropped < characters && count + 1 < pending_.Count()) {
        dropped += pending_.Chars(count) + 1;
        ++count;
    }
    pending_.DropFront(count);
    pendingSize_ -= dropped;
}

void TMemo::OnFrame() {
    // A document nobody sees need not keep up; it catches up when it is shown.
    if (!isVisible()) return;
    qsizetype lines = 0, chars = 0;
    while (lines < std::min(kLinesPerFrame, pending_.Count()) &&
           (lines == 0 || chars + pending_.Chars(lines) <= kCharsPerFrame)) {
        chars += pending_.Chars(lines) + 1;
        ++lines;
    }
    CatchUp(lines);
}

bool TMemo::event(QEvent* e) {
    // What the operator does acts on the text as it stands.
    switch (e->type()) {
        case QEvent::KeyPress:
        case QEvent::InputMethod:
        case QEvent::MouseButtonPress:
        case QEvent::ShortcutOverride:
        case QEvent::ContextMenu:
        case QEvent::Drop:
            Flush();
            break;
        case QEvent::Show:
            if (clearPending_ || !pending_.Empty() || dropped_ > 0) flushTimer_.start();
            break;
        default:
            break;
    }
    return QPlainTextEdit::event(e);
}

}  // namespace ui
