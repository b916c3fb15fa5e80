#pragma once

#include <QByteArray>
#include <QIcon>
#include <QImage>

namespace ui {

// The program's icon exists once, as one list of shapes. QPainter draws them for the window
// and the installed bitmaps, and the installed SVG writes the same shapes out, so the pictures
// cannot drift apart.

// The design at size x size pixels, on a transparent background.
QImage RenderProgramIcon(int size);

// The design as a standalone SVG document.
QByteArray ProgramIconSvg();

// The window's icon: the design at 16 x 16 and 32 x 32.
QIcon ProgramIcon();

}  // namespace ui
