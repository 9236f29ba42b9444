// vintrace-icons OUTDIR: writes the window icon into an icon theme tree (hicolor layout) for
// installation: OUTDIR/scalable/apps/vintrace.svg and OUTDIR/NxN/apps/vintrace.png.

#include "app/Pictures.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vintrace-icons OUTDIR\n");
        return 2;
    }
    // Painting into images needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const auto fail = [](const QString& what) {
        std::fprintf(stderr, "vintrace-icons: cannot write %s\n", qPrintable(what));
        return 1;
    };
    const QString svgPath = out.filePath(QStringLiteral("scalable/apps/vintrace.svg"));
    if (!out.mkpath(QStringLiteral("scalable/apps"))) {
        return fail(svgPath);
    }
    QFile svg(svgPath);
    if (!svg.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        svg.write(vintrace::app::WindowIconSvg().toUtf8()) < 0 || !svg.flush()) {
        return fail(svgPath);
    }
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString folder = QStringLiteral("%1x%1/apps").arg(size);
        const QString path = out.filePath(folder + QStringLiteral("/vintrace.png"));
        if (!out.mkpath(folder) || !vintrace::app::WindowIconImage(size).save(path, "PNG")) {
            return fail(path);
        }
    }
    return 0;
}
