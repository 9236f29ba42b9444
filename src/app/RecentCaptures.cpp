#include "app/RecentCaptures.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace vintrace::app {

namespace {
const QString kKey = QStringLiteral("recentCaptures");

QSettings Settings() {
    return QSettings(QStringLiteral("Vintrace"), QStringLiteral("vintrace"));
}
} // namespace

QStringList LoadRecentCaptures() {
    QStringList files;
    for (const QString& file : Settings().value(kKey).toStringList()) {
        if (QDir::isAbsolutePath(file) && !files.contains(file) &&
            files.size() < kRecentCaptureCount) {
            files.append(file);
        }
    }
    return files;
}

QStringList RememberRecentCapture(const QString& file) {
    const QString absolute = QFileInfo(file).absoluteFilePath();
    QStringList files = LoadRecentCaptures();
    files.removeAll(absolute);
    files.prepend(absolute);
    while (files.size() > kRecentCaptureCount) {
        files.removeLast();
    }
    QSettings settings = Settings();
    settings.setValue(kKey, files);
    settings.sync();
    return files;
}

bool IsPcapName(const QString& file) {
    const QString suffix = QFileInfo(file).suffix().toLower();
    return suffix == QStringLiteral("pcap") || suffix == QStringLiteral("pcapng");
}

} // namespace vintrace::app
