// What the operator reads must stand out from what it is drawn on: measured on the rendered
// window, pixel by pixel, on every page, with programming mode off and on.
#include <QAbstractButton>
#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <map>

#include "support/fake_env.h"
#include "support/form_support.h"
#include "ui/form1.h"

using namespace testing_support;

namespace {

double Luminance(QRgb rgb) {
    const auto channel = [](int value) {
        const double c = value / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(rgb)) + 0.7152 * channel(qGreen(rgb)) +
           0.0722 * channel(qBlue(rgb));
}

double Contrast(QRgb a, QRgb b) {
    const double x = Luminance(a), y = Luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

// The background is the commonest colour of the area; the text, the pixel that stands out
// most from it (the core of a stroke).
struct Measured {
    QRgb background = 0;
    double contrast = 0;
};
Measured Measure(const QImage& image, const QRect& area) {
    std::map<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) ++counts[image.pixel(x, y)];
    Measured m;
    m.background = std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) {
                       return a.second < b.second;
                   })->first;
    for (const auto& [rgb, count] : counts)
        m.contrast = std::max(m.contrast, Contrast(rgb, m.background));
    return m;
}

// Where a control draws its caption, inside its own picture.
QRect TextArea(QAbstractButton* button) {
    QStyleOptionButton option;
    option.initFrom(button);
    QStyle::SubElement element = QStyle::SE_PushButtonContents;
    if (qobject_cast<QCheckBox*>(button)) element = QStyle::SE_CheckBoxContents;
    if (qobject_cast<QRadioButton*>(button)) element = QStyle::SE_RadioButtonContents;
    return button->style()->subElementRect(element, &option, button) & button->rect();
}

}  // namespace

class Form1ContrastTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void readableOnEveryPage_data() {
        QTest::addColumn<bool>("programming");
        QTest::newRow("programming mode off") << false;
        QTest::newRow("programming mode on") << true;
    }
    void readableOnEveryPage() {
        QFETCH(bool, programming);
        FakeEnv env;
        auto form = Shown(env);
        if (programming) form->CheckBox3->click();
        QList<QRgb> editable, fixed;  // the backgrounds of edits that take input, and not
        QStringList faint;            // what falls short, with its contrast
        int measured = 0;
        for (int page = 0; page < form->PageControl1->count(); ++page) {
            form->PageControl1->setCurrentIndex(page);
            QTest::qWait(20);
            const QWidget* sheet = form->PageControl1->widget(page);
            for (QLineEdit* edit : sheet->findChildren<QLineEdit*>()) {
                if (!edit->isVisible() || edit->text().isEmpty()) continue;
                const QImage image = edit->grab().toImage();
                const Measured m = Measure(image, edit->rect().adjusted(2, 2, -2, -2));
                // Six edits take input from the start in the light colour, as laid out.
                if (!edit->isEnabled() || edit->isReadOnly()) {
                    fixed.append(m.background);
                } else if (ui::ColourOf(edit) == ui::Colour::Window) {
                    editable.append(m.background);
                }
                if (m.contrast < 4.5) {
                    faint.append(edit->objectName() + QStringLiteral(" \"") + edit->text() +
                                 QStringLiteral("\" ") + QString::number(m.contrast, 'f', 2));
                }
                ++measured;
            }
            for (QAbstractButton* button : sheet->findChildren<QAbstractButton*>()) {
                if (!button->isVisible() || button->text().isEmpty()) continue;
                const Measured m = Measure(button->grab().toImage(), TextArea(button));
                const double least = button->isEnabled() ? 4.5 : 3.0;
                if (m.contrast < least) {
                    faint.append(button->objectName() + QStringLiteral(" ") +
                                 QString::number(m.contrast, 'f', 2));
                }
                ++measured;
            }
        }
        QVERIFY2(faint.isEmpty(), qPrintable(faint.join(QStringLiteral(", "))));
        QVERIFY(measured > 40);
        // An edit that takes input looks unlike one that does not.
        QVERIFY(!editable.isEmpty() && !fixed.isEmpty());
        for (QRgb a : editable)
            for (QRgb b : fixed) QVERIFY2(Contrast(a, b) >= 1.2, "editable and fixed edits alike");
    }
};

QTEST_MAIN(Form1ContrastTest)
#include "form1_contrast_test.moc"
