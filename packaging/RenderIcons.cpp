// Draws the window's own icon into the hicolor theme tree at the sizes desktops look for:
// OUT_DIR/NxN/apps/kellovaran.png. Run at build time without a display.
#include "res/Resource.h"

#include <QDir>
#include <QGuiApplication>
#include <QPixmap>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT_DIR\n", argv[0]);
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString root = QString::fromLocal8Bit(argv[1]);
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
        const QString path = dir + QStringLiteral("/kellovaran.png");
        const QPixmap pixmap = DrawFrameIcon(size);
        if (!QDir().mkpath(dir) || pixmap.width() != size || !pixmap.save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
