#pragma once

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QString>
#include <QWidget>
#include <array>

namespace ui {

// The two colours a handler gives an edit when it enables or disables it.
enum class Colour { Window, Light3D };  // clWindow, cl3DLight
void SetColour(QLineEdit* edit, Colour colour);
Colour ColourOf(const QLineEdit* edit);
// Enables or disables an edit and gives it the matching colour, in one action.
void SetEditEnabled(QLineEdit* edit, bool enabled);

// A label sizes itself to its caption.
// Shows its caption literally, never as markup: captions carry operator and received text.
class TLabel : public QLabel {
public:
    explicit TLabel(QWidget* parent);
    void SetCaption(const QString& caption);
    QString Caption() const { return caption_; }

private:
    QString caption_;  // as given, "\r\n" included
};

class TPanel : public QFrame {
public:
    explicit TPanel(QWidget* parent);
};

class TBevel : public QFrame {
public:
    explicit TBevel(QWidget* parent);
};

class TTabSheet : public QWidget {
public:
    using QWidget::QWidget;
};

// Two fixed-width panels docked along the bottom edge; the second runs past the bar's end.
class TStatusBar : public QFrame {
public:
    static constexpr int kHeight = 19;
    static constexpr int kConnectionPanel = 0;  // the TCP connection's state
    static constexpr int kClientPanel = 1;      // written once, by the layout
    explicit TStatusBar(QWidget* parent);
    void SetPanelText(int panel, const QString& text);
    QString PanelText(int panel) const;

private:
    std::array<QLabel*, 2> panels_{};
};

}  // namespace ui
