#pragma once

#include <QByteArray>
#include <QIcon>
#include <QImage>
#include <QRgb>
#include <span>

namespace ui {

// The program's icon exists once, as these shapes on a kIconCanvas-unit square. QPainter draws
// them for the window and the installed bitmaps, and the installed SVG writes the same shapes
// out, so the pictures cannot drift apart.
inline constexpr double kIconCanvas = 60;

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

std::span<const IconShape> ProgramIconDesign();

// The design at size x size pixels, on a transparent background.
QImage RenderProgramIcon(int size);

// The design as a standalone SVG document.
QByteArray ProgramIconSvg();

// The window's icon: the design at 16 x 16 and 32 x 32.
QIcon ProgramIcon();

}  // namespace ui
