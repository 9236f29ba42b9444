#include "app/StatusText.h"

#include <QFileInfo>

namespace vintrace::app {

QString StatusText(device::Status status) {
    using device::Status;
    switch (status) {
    case Status::Empty:
        return {};
    case Status::Armed:
        return QStringLiteral("Armed");
    case Status::WaitingForTrigger:
        return QStringLiteral("Waiting for Trigger");
    case Status::Triggered:
        return QStringLiteral("Triggered");
    case Status::WaitForFifoFull:
        return QStringLiteral("Wait For FIFO Full");
    case Status::Downloading:
        return QStringLiteral("Downloading");
    case Status::ReadFailed:
        return QStringLiteral("Read Failed");
    case Status::Stopped:
        return QStringLiteral("Stopped");
    // The label has room for a few words only: the tooltip tells the rest.
    case Status::NothingReceived:
        return QStringLiteral("Nothing received");
    case Status::CannotWrite:
        return QStringLiteral("Cannot write file");
    case Status::AnalyzerBusy:
        return QStringLiteral("Analyzer busy");
    case Status::Incomplete:
        return QStringLiteral("Incomplete");
    }
    return {};
}

namespace {
/// The whole story behind a short status text; empty when the text says it all.
QString StatusDetail(device::Status status, const device::Acquisition& acquisition,
                     bool captureOnScreen) {
    using device::Status;
    // Only a capture on screen can have been kept.
    const QString kept =
        captureOnScreen ? QStringLiteral("; the previous capture is kept") : QString();
    switch (status) {
    case Status::NothingReceived:
        return QStringLiteral("Nothing was downloaded") + kept;
    case Status::CannotWrite:
        return QStringLiteral("Cannot write %1 (%2)")
                   .arg(QFileInfo(QString::fromStdString(acquisition.target())).fileName(),
                        QString::fromStdString(acquisition.lastDownload().reason)) +
               kept;
    case Status::AnalyzerBusy:
        return QStringLiteral("another acquisition is using this analyzer");
    case Status::Incomplete:
        return QStringLiteral("Download incomplete: %1 bytes")
            .arg(static_cast<qulonglong>(acquisition.lastDownload().bytes));
    default:
        return {};
    }
}
} // namespace

QString StatusToolTip(device::Status status, const device::Acquisition& acquisition,
                      bool captureOnScreen) {
    QString tip = StatusDetail(status, acquisition, captureOnScreen);
    if (const std::string& problem = acquisition.lockProblem(); !problem.empty()) {
        if (!tip.isEmpty()) {
            tip += QLatin1Char('\n');
        }
        tip += QStringLiteral("Not locked against other acquisitions (%1)")
                   .arg(QString::fromStdString(problem));
    }
    return tip;
}

bool SpeaksOfLastDownload(device::Status status) {
    using device::Status;
    return status == Status::NothingReceived || status == Status::CannotWrite ||
           status == Status::Incomplete;
}

} // namespace vintrace::app
