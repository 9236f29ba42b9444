#include "app/SaveProgress.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

namespace vintrace::app {

SaveProgress::SaveProgress(session::CaptureSession& session,
                           session::CaptureSession::SavedView view, QWidget* window, Show show)
    : QObject(window), session_(session), view_(view), show_(std::move(show)) {
    label_ = new QLabel(window);
    label_->setObjectName(QStringLiteral("SaveLabel"));
    label_->hide();
    stopButton_ = new QPushButton(QStringLiteral("Stop"), window);
    stopButton_->setObjectName(QStringLiteral("StopSaveButton"));
    stopButton_->hide();
    connect(stopButton_, &QPushButton::clicked, this, &SaveProgress::stop);
    // Enabled only while a save runs, so that it takes Escape from no one otherwise.
    escape_ = new QAction(window);
    escape_->setShortcut(Qt::Key_Escape);
    escape_->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    escape_->setEnabled(false);
    window->addAction(escape_);
    connect(escape_, &QAction::triggered, this, &SaveProgress::stop);
    poll_ = new QTimer(this);
    poll_->setInterval(100);
    connect(poll_, &QTimer::timeout, this, &SaveProgress::poll);
}

bool SaveProgress::running() const {
    return session_.backgroundSave(view_) != nullptr;
}

void SaveProgress::follow(const QString& title) {
    title_ = title;
    label_->setText(QStringLiteral("Saving 0%"));
    label_->show();
    stopButton_->show();
    escape_->setEnabled(true);
    poll_->start();
    emit runningChanged(true);
}

void SaveProgress::poll() {
    const session::FileJob* job = session_.backgroundSave(view_);
    if (job != nullptr && !job->finished()) {
        const std::uint64_t total = std::max<std::uint64_t>(job->total(), 1);
        label_->setText(QStringLiteral("Saving %1%").arg(job->done() * 100 / total));
        return;
    }
    const std::optional<capture::PcapResult> result = session_.finishSave(view_);
    stop();
    if (result) {
        report(*result, title_);
    }
}

void SaveProgress::stop() {
    session_.cancelSave(view_);
    const bool was = poll_->isActive();
    poll_->stop();
    label_->hide();
    stopButton_->hide();
    escape_->setEnabled(false);
    if (was) {
        emit runningChanged(false);
    }
}

void SaveProgress::report(const capture::PcapResult& result, const QString& title) const {
    switch (result.status) {
    case capture::PcapStatus::Ok:
        return;
    case capture::PcapStatus::Stopped:
        // Only a change of the store stops a save that the user did not stop.
        show_(title, QStringLiteral("\"%1\" was not written: the capture changed while it was "
                                    "being saved.")
                         .arg(QString::fromStdString(result.file)));
        return;
    default:
        show_(title,
              QStringLiteral("Cannot write %1: %2")
                  .arg(QString::fromStdString(result.file), QString::fromStdString(result.reason)));
    }
}

} // namespace vintrace::app
