#include "app/FileChoosers.h"

#include <QFileDialog>
#include <QMimeData>
#include <QUrl>

namespace vintrace::app {

namespace {
std::optional<std::string> Chosen(const QString& file) {
    return file.isEmpty() ? std::nullopt : std::optional(file.toStdString());
}
} // namespace

std::optional<std::string> AskCaptureToOpen(QWidget* parent) {
    return Chosen(
        QFileDialog::getOpenFileName(parent, QString(), QString(), QStringLiteral("*.dat")));
}

std::optional<std::string> AskCaptureSaveName(QWidget* parent) {
    return Chosen(QFileDialog::getSaveFileName(parent, QString(), QString(),
                                               QStringLiteral("*.dat"), nullptr,
                                               QFileDialog::DontConfirmOverwrite));
}

std::optional<std::string> AskPcapToImport(QWidget* parent) {
    return Chosen(QFileDialog::getOpenFileName(parent, QString(), QString(),
                                               QStringLiteral("USB captures (*.pcap *.pcapng)")));
}

std::optional<std::string> AskPcapToExport(QWidget* parent) {
    return Chosen(
        QFileDialog::getSaveFileName(parent, QString(), QString(), QStringLiteral("*.pcap")));
}

std::optional<QString> DraggedFile(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls() || data->urls().size() != 1 ||
        !data->urls().first().isLocalFile()) {
        return std::nullopt;
    }
    return data->urls().first().toLocalFile();
}

} // namespace vintrace::app
