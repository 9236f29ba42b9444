#pragma once

#include "capture/PcapFile.h"
#include "session/CaptureSession.h"

#include <QObject>
#include <QString>

#include <functional>

class QAction;
class QLabel;
class QPushButton;
class QTimer;
class QWidget;

namespace vintrace::app {

/// A companion window's view saved on a worker: "Saving n%" and a Stop button while it runs,
/// Escape anywhere in the window stops it too, and once it ends the window hears how (a
/// failure, or a capture that changed under it; nothing when it was written or stopped).
class SaveProgress : public QObject {
    Q_OBJECT
public:
    using Show = std::function<void(const QString& title, const QString& text)>;

    /// `show` says a failure (the window's message box); the label and the button belong to
    /// `window`, hidden until a save starts.
    SaveProgress(session::CaptureSession& session, session::CaptureSession::SavedView view,
                 QWidget* window, Show show);

    QLabel* label() const { return label_; }
    QPushButton* stopButton() const { return stopButton_; }
    /// True while the session's save of the view runs or waits to be collected.
    bool running() const;
    /// Follows the save just started in the session; `title` heads its messages.
    void follow(const QString& title);
    /// Stops the save; the target stays as it was.
    void stop();
    /// Says how a save (on a worker or not) went, where that needs saying.
    void report(const capture::PcapResult& result, const QString& title) const;

signals:
    /// A save began or ended to be followed (the window's other Escape waits meanwhile).
    void runningChanged(bool running);

private:
    void poll();

    session::CaptureSession& session_;
    session::CaptureSession::SavedView view_;
    Show show_;
    QLabel* label_ = nullptr;
    QPushButton* stopButton_ = nullptr;
    QAction* escape_ = nullptr;
    QTimer* poll_ = nullptr;
    QString title_;
};

} // namespace vintrace::app
