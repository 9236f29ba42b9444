#include "app/SessionHub.h"

namespace vintrace::app {

SessionHub::SessionHub(session::CaptureSession& session, QObject* parent)
    : QObject(parent), session_(session) {
    session_.addListener(relay_);
    // The worker only posts; the result is taken on this thread. A post still queued when
    // the hub goes is dropped with it.
    findings_.setFinishedCallback([this] {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (findings_.collect()) {
                    emit findingsReady();
                }
            },
            Qt::QueuedConnection);
    });
}

SessionHub::~SessionHub() {
    session_.removeListener(relay_);
}

void SessionHub::Relay::storeChanging() {
    emit hub_.storeChanging();
}

void SessionHub::Relay::storeChanged() {
    emit hub_.storeChanged();
}

void SessionHub::Relay::cursorMoved(std::size_t record, session::CursorFrom from) {
    emit hub_.cursorMoved(record, from);
}

void SessionHub::Relay::loadStarted(const std::string& file) {
    emit hub_.loadStarted(QString::fromStdString(file));
}

void SessionHub::Relay::loadProgress(std::uint64_t done, std::uint64_t total) {
    emit hub_.loadProgress(done, total);
}

void SessionHub::Relay::loadFinished(const capture::LoadResult& result) {
    emit hub_.loadFinished(result.ok());
}

} // namespace vintrace::app
