#include "app/RecentCaptures.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QSettings>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>

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

QStringList PutRecentFirst(QStringList files, const QString& file) {
    const QString absolute = QFileInfo(file).absoluteFilePath();
    files.removeAll(absolute);
    files.prepend(absolute);
    while (files.size() > kRecentCaptureCount) {
        files.removeLast();
    }
    return files;
}

namespace {
/// Puts `files` first in the stored list, in the order given, and returns the list.
QStringList StoreRecent(const QStringList& files) {
    QStringList list = LoadRecentCaptures();
    for (const QString& file : files) {
        list = PutRecentFirst(std::move(list), file);
    }
    // Reopening the newest capture changes nothing: no write, since the write waits for the
    // disk (a synced lock file).
    QSettings settings = Settings();
    if (settings.value(kKey).toStringList() != list) {
        settings.setValue(kKey, list);
        settings.sync();
    }
    return list;
}
} // namespace

struct RecentCaptureWriter::State {
    std::mutex mutex;
    /// The worker waits here for files or the stop.
    std::condition_variable wake;
    /// waitStored() waits here for the worker to catch up.
    std::condition_variable caughtUp;
    /// Files asked for and not yet taken by the worker, oldest first.
    QStringList pending;
    /// How many files were asked for, and how many of them are stored.
    std::uint64_t asked = 0;
    std::uint64_t stored = 0;
    bool stop = false;
    /// Null once the writer has gone: nobody is told any more.
    QObject* receiver = nullptr;
    std::function<void(const QStringList&)> onStored;
    std::thread worker;
};

RecentCaptureWriter::RecentCaptureWriter(QObject* receiver,
                                         std::function<void(const QStringList&)> stored)
    : state_(std::make_shared<State>()) {
    state_->receiver = receiver;
    state_->onStored = std::move(stored);
}

RecentCaptureWriter::~RecentCaptureWriter() {
    if (!state_->worker.joinable()) {
        return;
    }
    const bool done = waitStored(kExitWait);
    {
        const std::lock_guard lock(state_->mutex);
        state_->stop = true;
        state_->receiver = nullptr;
    }
    state_->wake.notify_all();
    if (done) {
        state_->worker.join();
    } else {
        // Held up by the disk or another instance's lock: quitting must not wait for that.
        // The worker keeps the state alive and ends after its write.
        state_->worker.detach();
    }
}

void RecentCaptureWriter::remember(const QString& file) {
    {
        const std::lock_guard lock(state_->mutex);
        state_->pending.append(file);
        ++state_->asked;
    }
    state_->wake.notify_all();
    if (state_->worker.joinable()) {
        return;
    }
    state_->worker = std::thread([state = state_] {
        std::unique_lock lock(state->mutex);
        for (;;) {
            state->wake.wait(lock, [&] { return state->stop || !state->pending.isEmpty(); });
            if (state->pending.isEmpty()) {
                return;
            }
            // Everything asked for meanwhile goes in one write.
            const QStringList files = std::exchange(state->pending, {});
            const std::uint64_t upTo = state->asked;
            lock.unlock();
            // Settings objects belong to the thread that made them: this one is the worker's.
            const QStringList list = StoreRecent(files);
            lock.lock();
            state->stored = upTo;
            state->caughtUp.notify_all();
            if (state->receiver == nullptr) {
                continue;
            }
            // Under the lock, so the receiver cannot go meanwhile; a list overtaken by a file
            // asked for since is not shown.
            QMetaObject::invokeMethod(
                state->receiver,
                [state, list, upTo] {
                    std::function<void(const QStringList&)> tell;
                    {
                        const std::lock_guard inner(state->mutex);
                        if (state->asked == upTo && state->receiver != nullptr) {
                            tell = state->onStored;
                        }
                    }
                    if (tell) {
                        tell(list);
                    }
                },
                Qt::QueuedConnection);
        }
    });
}

bool RecentCaptureWriter::waitStored(std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    return state_->caughtUp.wait_for(lock, timeout,
                                     [&] { return state_->stored == state_->asked; });
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
