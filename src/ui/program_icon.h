#pragma once

#include <QIcon>

namespace ui {

// The program's own icon, 16 x 16 and 32 x 32.
QIcon ProgramIcon();

}  // namespace ui
