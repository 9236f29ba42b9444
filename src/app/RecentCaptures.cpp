#include "app/RecentCaptures.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
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
    // Reloading the newest capture changes nothing here: no write, since the write waits for
    // the disk (a synced lock file), which a capture just saved may keep busy for long.
    if (settings.value(kKey).toStringList() != files) {
        settings.setValue(kKey, files);
        settings.sync();
    }
    return files;
}

bool IsPcapName(const QString& file) {
    const QString suffix = QFileInfo(file).suffix().toLower();
    return suffix == QStringLiteral("pcap") || suffix == QStringLiteral("pcapng");
}

void FillRecentMenu(QMenu* menu, const QStringList& files,
                    const std::function<void(const QString&)>& open) {
    // Opening from this menu refills it: the old items go once their signals have returned.
    for (QAction* old : menu->actions()) {
        menu->removeAction(old);
        old->deleteLater();
    }
    for (const QString& file : files) {
        QAction* item = menu->addAction(file);
        QObject::connect(item, &QAction::triggered, menu, [open, file] { open(file); });
    }
    menu->setEnabled(!files.isEmpty());
}

} // namespace vintrace::app
