#include "ui/widgets.h"

#include <QApplication>
#include <QPainter>
#include <QPalette>
#include <QPixmap>

#include "app/text.h"

namespace ui {
namespace {
const char* const kColourProperty = "orvanColour";
}

void SetColour(QLineEdit* edit, Colour colour) {
    const QPalette::ColorRole role = colour == Colour::Window ? QPalette::Base : QPalette::Midlight;
    QPalette palette = edit->palette();
    // The colour holds whether the edit is enabled or not, as the operator expects to see it.
    const QColor shade = QApplication::palette().color(QPalette::Active, role);
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Base, shade);
    }
    edit->setPalette(palette);
    edit->setProperty(kColourProperty, static_cast<int>(colour));
}

Colour ColourOf(const QLineEdit* edit) {
    return static_cast<Colour>(edit->property(kColourProperty).toInt());
}

void SetEditEnabled(QLineEdit* edit, bool enabled) {
    edit->setEnabled(enabled);
    SetColour(edit, enabled ? Colour::Window : Colour::Light3D);
}

void TLabel::SetCaption(const QString& caption) {
    caption_ = caption;
    // Qt breaks lines at "\n"; the caption keeps its "\r\n".
    QString shown = caption;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    setText(shown);
    adjustSize();
}

TPanel::TPanel(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setLineWidth(1);
}

TBevel::TBevel(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Box | QFrame::Sunken);
    setLineWidth(1);
}

TStatusBar::TStatusBar(QWidget* parent) : QFrame(parent) {
    constexpr int kWidths[] = {160, 846};
    int left = 0;
    for (int i = 0; i < 2; ++i) {
        auto* panel = new QLabel(this);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setIndent(2);
        panel->setGeometry(left, 2, kWidths[i] - 2, kHeight - 2);
        left += kWidths[i];
        panels_[static_cast<std::size_t>(i)] = panel;
    }
}

void TStatusBar::SetPanelText(int panel, const QString& text) {
    panels_.at(static_cast<std::size_t>(panel))->setText(text);
}

QString TStatusBar::PanelText(int panel) const {
    return panels_.at(static_cast<std::size_t>(panel))->text();
}

int TStatusBar::PanelWidth(int panel) const {
    return panels_.at(static_cast<std::size_t>(panel))->width() + 2;
}

}  // namespace ui

namespace ui {

std::string TextOf(const QLineEdit* edit) {
    return app::FromQString(edit->text());
}

void SetTextOf(QLineEdit* edit, std::string_view text) {
    // Setting the same text again still lays the edit out anew.
    const QString value = app::ToQString(text);
    if (edit->text() != value) edit->setText(value);
}

QString DisplayText(std::string_view message) {
    QString text = app::ToQString(message);
    const auto special = [](char16_t c) {
        return (c < 0x20 && c != u'\n' && c != u'\t') || c == 0x7F;
    };
    // Most messages hold no control character: look before building another text.
    const QChar* in = text.constData();
    const qsizetype size = text.size();
    qsizetype i = 0;
    while (i < size && !special(in[i].unicode())) ++i;
    if (i == size) return text;
    QString out;
    out.reserve(size);
    out.append(in, i);
    for (; i < size; ++i) {
        const char16_t c = in[i].unicode();
        if (c == u'\r') {
            if (i + 1 < size && in[i + 1] == u'\n') continue;
            out += u'\n';
        } else if (special(c)) {
            out += QChar(c == 0x7F ? char16_t(0x2421) : char16_t(0x2400 + c));
        } else {
            out += QChar(c);
        }
    }
    return out;
}

QIcon ProgramIcon() {
    QIcon icon;
    for (const int size : {16, 32}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor(0x1F, 0x4E, 0x8C));
        painter.setPen(Qt::NoPen);
        painter.drawRoundedRect(QRectF(0, 0, size, size), size / 5.0, size / 5.0);
        // A handset's signal: a dot and two arcs.
        painter.setPen(QPen(Qt::white, size / 10.0));
        painter.setBrush(Qt::white);
        const QPointF origin(size * 0.3, size * 0.7);
        painter.drawEllipse(origin, size / 12.0, size / 12.0);
        painter.setBrush(Qt::NoBrush);
        for (const double r : {0.3, 0.5}) {
            const double d = size * r;
            painter.drawArc(QRectF(origin.x() - d, origin.y() - d, 2 * d, 2 * d), 0, 90 * 16);
        }
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace ui
