// Every caption of the layout fits the place the layout gives its control, in the font it is
// drawn with: labels within their width and clear of the label beside them, check boxes and
// radio buttons with their indicator, buttons within their frame.
#include <QCheckBox>
#include <QFontInfo>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>

#include <algorithm>

#include "support/fake_env.h"
#include "ui/form1.h"

using namespace testing_support;
using ui::TForm1;

namespace {

QRect LayoutRect(const QWidget* w) {
    return w->property("orvanLayoutRect").toRect();
}

// The widest line of a caption as the control draws it.
int CaptionWidth(const QWidget* w, const QString& caption) {
    int widest = 0;
    for (const QString& line : caption.split(u'\n')) {
        widest = std::max(widest, w->fontMetrics().horizontalAdvance(line));
    }
    return widest;
}

QString Describe(const QWidget* w, const QString& caption, int need, int room) {
    return QStringLiteral("%1 \"%2\" in %3 %4px: needs %5px, has %6px")
        .arg(w->objectName(), caption, QFontInfo(w->font()).family())
        .arg(w->font().pixelSize())
        .arg(need)
        .arg(room);
}

// The room a check box or radio button leaves its caption beside its indicator, by the style.
int ButtonTextRoom(QAbstractButton* button) {
    QStyleOptionButton option;
    option.initFrom(button);
    option.rect = QRect(QPoint(), LayoutRect(button).size());
    option.text = button->text();
    const bool radio = qobject_cast<QRadioButton*>(button) != nullptr;
    const bool check = qobject_cast<QCheckBox*>(button) != nullptr;
    const QStyle::SubElement element = radio   ? QStyle::SE_RadioButtonContents
                                       : check ? QStyle::SE_CheckBoxContents
                                               : QStyle::SE_PushButtonContents;
    return button->style()->subElementRect(element, &option, button).width();
}

}  // namespace

class Form1CaptionsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void captionsFitTheirControls() {
        FakeEnv env;
        env.holdLookups = true;
        TForm1 form(env);  // not shown: the labels keep the captions the layout gave them
        // The font the package depends on is the one drawn: no fallback decides the test.
        QCOMPARE(QFontInfo(form.Label10->font()).family(),
                 QStringLiteral("Liberation Sans Narrow"));
        QList<const ui::TLabel*> labels;  // without the status bar's panels, which are no TLabel
        for (const QLabel* label : form.findChildren<QLabel*>()) {
            if (auto* own = dynamic_cast<const ui::TLabel*>(label)) labels << own;
        }
        const auto buttons = form.findChildren<QAbstractButton*>();
        QVERIFY(labels.size() > 40 && buttons.size() > 15);
        QStringList faults;
        for (const ui::TLabel* label : labels) {
            const QString caption = label->text();
            const QRect place = LayoutRect(label);
            const int need = CaptionWidth(label, caption);
            if (need > place.width()) faults << Describe(label, caption, need, place.width());
            const int tall = label->fontMetrics().height() * int(caption.count(u'\n') + 1);
            if (tall > place.height()) {
                faults << Describe(label, caption, tall, place.height()) +
                              QStringLiteral(" of height");
            }
            // The next label to the right on the same line, in the same container.
            for (const ui::TLabel* other : labels) {
                const QRect there = LayoutRect(other);
                const bool sameLine =
                    there.top() < place.bottom() + 1 && place.top() < there.bottom() + 1;
                if (other == label || other->parentWidget() != label->parentWidget() || !sameLine ||
                    there.left() <= place.left()) {
                    continue;
                }
                const int room = there.left() - place.left();
                if (need > room) {
                    faults << Describe(label, caption, need, room) + QStringLiteral(" before ") +
                                  other->objectName();
                }
            }
        }
        for (QAbstractButton* button : buttons) {
            if (!LayoutRect(button).isValid()) continue;  // the tab bar's own scroll buttons
            const int need = CaptionWidth(button, button->text());
            const int room = ButtonTextRoom(button);
            if (need > room) faults << Describe(button, button->text(), need, room);
        }
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QStringLiteral("\n"))));
    }

    // A control that pokes out of its parent is drawn with that edge cut off.
    void everyControlInsideItsParent() {
        testing_support::FakeEnv env;
        ui::TForm1 form(env);
        form.show();
        QStringList cut;
        for (const QWidget* w : form.findChildren<QWidget*>()) {
            if (!LayoutRect(w).isValid() || w->parentWidget() == nullptr) continue;
            const QRect room = w->parentWidget()->rect();
            // Wholly outside is never seen at all, which the layout means for a few.
            if (room.intersects(w->geometry()) && !room.contains(w->geometry())) {
                cut << w->objectName();
            }
        }
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QStringLiteral(", "))));
    }
};

QTEST_MAIN(Form1CaptionsTest)
#include "form1_captions_test.moc"
