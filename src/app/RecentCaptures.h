#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>

class QMenu;
class QObject;

namespace vintrace::app {

/// File > Recent: the captures opened last, newest first, kept across runs with QSettings.
inline constexpr int kRecentCaptureCount = 5;

/// The list as stored; names that are not absolute are dropped.
QStringList LoadRecentCaptures();
/// `files` with `file` (made absolute) first, its older entry dropped and nothing past the
/// fifth.
QStringList PutRecentFirst(QStringList files, const QString& file);

/// Stores File > Recent on a thread of its own. Storing syncs a lock file and the settings to
/// disk, which a disk busy writing a capture just downloaded holds up for hundreds of
/// milliseconds: the window must not wait for that.
class RecentCaptureWriter {
public:
    /// `stored` runs on `receiver`'s thread with the list as stored after each write (another
    /// instance may have added to it meanwhile); `receiver` must outlive the writer.
    RecentCaptureWriter(QObject* receiver, std::function<void(const QStringList&)> stored);
    /// Waits a bounded time for the lists asked for to be stored; a write still held up then
    /// finishes on its own but tells nobody.
    ~RecentCaptureWriter();
    RecentCaptureWriter(const RecentCaptureWriter&) = delete;
    RecentCaptureWriter& operator=(const RecentCaptureWriter&) = delete;

    /// Asks for `file` to be put first in the stored list; returns at once. Files asked for
    /// before it are stored first, and only the last state is written.
    void remember(const QString& file);
    /// Waits until everything asked for so far is stored, at most `timeout`; true when it is.
    bool waitStored(std::chrono::milliseconds timeout);

    static constexpr std::chrono::milliseconds kExitWait{3000};

private:
    struct State;
    std::shared_ptr<State> state_;
};

/// Makes `menu` offer `files`, each opened by `open` when chosen; disabled when empty.
void FillRecentMenu(QMenu* menu, const QStringList& files,
                    const std::function<void(const QString&)>& open);

/// True when `file` names a pcap or pcapng file (by its extension, in any case), which is
/// imported rather than opened.
bool IsPcapName(const QString& file);

} // namespace vintrace::app
