#pragma once

#include "session/CaptureSession.h"
#include "session/FindingsJob.h"

#include <QObject>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace vintrace::app {

/// Turns what the capture session tells its listeners into Qt signals, for the main window,
/// the Transfers and Devices windows and their models. The signals come at once, inside the
/// session call that caused them, on the user interface thread.
class SessionHub : public QObject {
    Q_OBJECT
public:
    /// Listens to `session`, which must outlive the hub.
    explicit SessionHub(session::CaptureSession& session, QObject* parent = nullptr);
    ~SessionHub() override;

    session::CaptureSession& session() const { return session_; }
    /// The findings of the capture, checked on a worker once a window asks for them.
    session::FindingsJob& findings() { return findings_; }

signals:
    /// The store is about to be changed or replaced: what reads it must let go now.
    void storeChanging();
    /// The store was changed or replaced; the cursor is gone.
    void storeChanged();
    /// The cursor stands on `record`; `from` says who put it there.
    void cursorMoved(std::size_t record, vintrace::session::CursorFrom from);
    /// A capture began loading in the background.
    void loadStarted(const QString& file);
    /// `done` of `total` bytes of the background load are decoded.
    void loadProgress(std::uint64_t done, std::uint64_t total);
    /// The background load ended; `completed` when its store replaces the open one.
    void loadFinished(bool completed);
    /// A check of the store as it is now has ended: findings() holds its result.
    void findingsReady();

private:
    /// The session's listener, passing each notification on as a signal.
    class Relay : public session::SessionListener {
    public:
        explicit Relay(SessionHub& hub) : hub_(hub) {}
        void storeChanging() override;
        void storeChanged() override;
        void cursorMoved(std::size_t record, session::CursorFrom from) override;
        void loadStarted(const std::string& file) override;
        void loadProgress(std::uint64_t done, std::uint64_t total) override;
        void loadFinished(const capture::LoadResult& result) override;

    private:
        SessionHub& hub_;
    };

    session::CaptureSession& session_;
    /// Listens before the relay, so the windows told of a new store find its check under way.
    session::FindingsJob findings_{session_};
    Relay relay_{*this};
};

} // namespace vintrace::app
