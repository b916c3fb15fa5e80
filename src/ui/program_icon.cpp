#include "ui/program_icon.h"

#include <QPainter>
#include <QPixmap>

namespace ui {

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
