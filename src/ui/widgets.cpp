#include "ui/widgets.h"

#include <QApplication>
#include <QPalette>

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

TLabel::TLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
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
        panel->setTextFormat(Qt::PlainText);  // the panels show host texts the operator typed
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

}  // namespace ui
