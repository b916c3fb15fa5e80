#include "ui/program_icon.h"

#include <QPainter>
#include <QPixmap>
#include <QRgb>
#include <cmath>
#include <numbers>

namespace ui {

namespace {

constexpr double kIconCanvas = 60;  // the side of the square the shapes are drawn on

struct IconShape {
    enum class Kind { RoundedSquare, Disc, Arc };
    Kind kind;
    double x, y;  // top-left corner of a square, centre of a disc or an arc
    double size;  // side of a square, radius of a disc or an arc
    QRgb colour;
    double corner = 0;           // square
    double stroke = 0;           // arc, drawn with round caps
    double start = 0, span = 0;  // arc, degrees counter-clockwise from three o'clock
};

constexpr QRgb kBlue = qRgb(0x1F, 0x4E, 0x8C);
constexpr QRgb kWhite = qRgb(0xFF, 0xFF, 0xFF);

// A handset's signal on a blue tile: a dot and two arcs spreading up and to the right.
constexpr IconShape kDesign[] = {
    {.kind = IconShape::Kind::RoundedSquare,
     .x = 0,
     .y = 0,
     .size = 60,
     .colour = kBlue,
     .corner = 12},
    {.kind = IconShape::Kind::Disc, .x = 18, .y = 42, .size = 8, .colour = kWhite},
    {.kind = IconShape::Kind::Arc,
     .x = 18,
     .y = 42,
     .size = 18,
     .colour = kWhite,
     .stroke = 6,
     .start = 0,
     .span = 90},
    {.kind = IconShape::Kind::Arc,
     .x = 18,
     .y = 42,
     .size = 30,
     .colour = kWhite,
     .stroke = 6,
     .start = 0,
     .span = 90},
};

QByteArray Number(double value) {
    return QByteArray::number(value, 'g', 6);
}

// A point on an arc's circle; y grows downwards on both canvases.
QByteArray ArcPoint(const IconShape& arc, double degrees) {
    const double radians = degrees * std::numbers::pi / 180;
    return Number(arc.x + arc.size * std::cos(radians)) + ' ' +
           Number(arc.y - arc.size * std::sin(radians));
}

}  // namespace

QImage RenderProgramIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / kIconCanvas, size / kIconCanvas);
    for (const IconShape& s : kDesign) {
        const QColor colour = QColor::fromRgb(s.colour);
        switch (s.kind) {
            case IconShape::Kind::RoundedSquare:
                painter.setPen(Qt::NoPen);
                painter.setBrush(colour);
                painter.drawRoundedRect(QRectF(s.x, s.y, s.size, s.size), s.corner, s.corner);
                break;
            case IconShape::Kind::Disc:
                painter.setPen(Qt::NoPen);
                painter.setBrush(colour);
                painter.drawEllipse(QPointF(s.x, s.y), s.size, s.size);
                break;
            case IconShape::Kind::Arc:
                painter.setPen(QPen(colour, s.stroke, Qt::SolidLine, Qt::RoundCap));
                painter.setBrush(Qt::NoBrush);
                painter.drawArc(QRectF(s.x - s.size, s.y - s.size, 2 * s.size, 2 * s.size),
                                qRound(s.start * 16), qRound(s.span * 16));
                break;
        }
    }
    return image;
}

QByteArray ProgramIconSvg() {
    const QByteArray canvas = Number(kIconCanvas);
    QByteArray svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + canvas +
                     "\" height=\"" + canvas + "\" viewBox=\"0 0 " + canvas + ' ' + canvas +
                     "\">\n";
    for (const IconShape& s : kDesign) {
        const QByteArray colour = QColor::fromRgb(s.colour).name().toLatin1();
        switch (s.kind) {
            case IconShape::Kind::RoundedSquare:
                svg += "  <rect x=\"" + Number(s.x) + "\" y=\"" + Number(s.y) + "\" width=\"" +
                       Number(s.size) + "\" height=\"" + Number(s.size) + "\" rx=\"" +
                       Number(s.corner) + "\" fill=\"" + colour + "\"/>\n";
                break;
            case IconShape::Kind::Disc:
                svg += "  <circle cx=\"" + Number(s.x) + "\" cy=\"" + Number(s.y) + "\" r=\"" +
                       Number(s.size) + "\" fill=\"" + colour + "\"/>\n";
                break;
            case IconShape::Kind::Arc: {
                // Counter-clockwise on screen is SVG's negative sweep.
                const QByteArray large = std::abs(s.span) > 180 ? "1" : "0";
                const QByteArray sweep = s.span > 0 ? "0" : "1";
                svg += "  <path d=\"M " + ArcPoint(s, s.start) + " A " + Number(s.size) + ' ' +
                       Number(s.size) + " 0 " + large + ' ' + sweep + ' ' +
                       ArcPoint(s, s.start + s.span) + "\" fill=\"none\" stroke=\"" + colour +
                       "\" stroke-width=\"" + Number(s.stroke) + "\" stroke-linecap=\"round\"/>\n";
                break;
            }
        }
    }
    return svg + "</svg>\n";
}

QIcon ProgramIcon() {
    QIcon icon;
    for (const int size : {16, 32}) icon.addPixmap(QPixmap::fromImage(RenderProgramIcon(size)));
    return icon;
}

}  // namespace ui
