// The window's icon and every installed icon file show one picture: each bitmap is compared
// with the installed SVG as another renderer (librsvg, as desktops use it) draws it.
#include <QIcon>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>

#include "ui/program_icon.h"

namespace {

// Mean difference of the premultiplied channels: 0 for equal pictures, 1 for opposite ones.
double Difference(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) return 1;
    const QImage x = a.convertToFormat(QImage::Format_RGBA8888_Premultiplied);
    const QImage y = b.convertToFormat(QImage::Format_RGBA8888_Premultiplied);
    double sum = 0;
    for (int row = 0; row < x.height(); ++row) {
        const uchar* p = x.constScanLine(row);
        const uchar* q = y.constScanLine(row);
        for (int i = 0; i < 4 * x.width(); ++i) sum += std::abs(p[i] - q[i]);
    }
    return sum / (255.0 * 4 * x.width() * x.height());
}

}  // namespace

class ProgramIconTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void windowIconHasTheTwoSizes() {
        QCOMPARE(ui::ProgramIcon().availableSizes(), (QList<QSize>{{16, 16}, {32, 32}}));
    }

    void bitmapsMatchTheScalableIcon_data() {
        QTest::addColumn<QImage>("bitmap");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("same");
        const QIcon window = ui::ProgramIcon();
        for (const int size : {16, 32}) {
            QTest::addRow("window icon %d", size) << window.pixmap(size).toImage() << size << true;
        }
        for (const int size : {16, 32, 48, 64, 128}) {
            QTest::addRow("installed %dx%d", size, size)
                << QImage(QStringLiteral(ORVAN_ICON_DIR "/%1x%1/apps/orvan.png").arg(size)) << size
                << true;
        }
        QTest::newRow("a mirrored picture is told apart")
            << ui::RenderProgramIcon(32).mirrored(true, false) << 32 << false;
    }

    void bitmapsMatchTheScalableIcon() {
        QFETCH(QImage, bitmap);
        QFETCH(int, size);
        QFETCH(bool, same);
        QCOMPARE(bitmap.size(), QSize(size, size));
        const QString rsvg = QStandardPaths::findExecutable(QStringLiteral("rsvg-convert"));
        if (rsvg.isEmpty()) QSKIP("rsvg-convert (librsvg2-bin) is needed");
        QTemporaryDir dir;
        const QString png = dir.filePath(QStringLiteral("svg.png"));
        const QString side = QString::number(size);
        QCOMPARE(
            QProcess::execute(
                rsvg, {QStringLiteral("-w"), side, QStringLiteral("-h"), side, QStringLiteral("-o"),
                       png, QStringLiteral(ORVAN_ICON_DIR "/scalable/apps/orvan.svg")}),
            0);
        const double difference = Difference(bitmap, QImage(png));
        QVERIFY2((difference < 0.01) == same, qPrintable(QString::number(difference)));
    }
};

QTEST_MAIN(ProgramIconTest)
#include "program_icon_test.moc"
