#include "ui/memo.h"

#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextDocument>

namespace ui {

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent) {
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    connect(this, &QPlainTextEdit::textChanged, this, &TMemo::Changed);
}

void TMemo::ClearSilently() {
    const QSignalBlocker blocker(this);
    clear();
}

void TMemo::AddLine(const QString& line) { appendPlainText(line); }

QString TMemo::FirstLine() const { return document()->firstBlock().text(); }

}  // namespace ui
