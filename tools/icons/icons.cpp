// Writes the program's icon as freedesktop icon theme files:
//   orvan-icons <dir> <size>...   makes <dir>/<N>x<N>/apps/orvan.png for each size and
//                                 <dir>/scalable/apps/orvan.svg
#include <QDir>
#include <QFile>
#include <cstdio>
#include <cstdlib>

#include "ui/program_icon.h"

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: orvan-icons <dir> <size>...\n");
        return 2;
    }
    const QString theme = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(theme).arg(size);
        if (size <= 0 || !QDir().mkpath(dir) ||
            !ui::RenderProgramIcon(size).save(dir + QStringLiteral("/orvan.png"))) {
            std::fprintf(stderr, "orvan-icons: cannot write %s/orvan.png\n", qPrintable(dir));
            return 1;
        }
    }
    const QByteArray svg = ui::ProgramIconSvg();
    QFile file(theme + QStringLiteral("/scalable/apps/orvan.svg"));
    if (!QDir().mkpath(theme + QStringLiteral("/scalable/apps")) ||
        !file.open(QIODevice::WriteOnly) || file.write(svg) != svg.size()) {
        std::fprintf(stderr, "orvan-icons: cannot write %s\n", qPrintable(file.fileName()));
        return 1;
    }
    return 0;
}
