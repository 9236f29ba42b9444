#pragma once

#include <QApplication>

#include <functional>

namespace vintrace::app {

/// The application object. An exception that escapes an event handler is shown to the user
/// with its message, and the program goes on.
class VintraceApplication : public QApplication {
    Q_OBJECT
public:
    using Reporter = std::function<void(const QString& message)>;

    VintraceApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    /// Replaces how an escaped exception is shown (a message box by default).
    void setExceptionReporter(Reporter reporter) { reporter_ = std::move(reporter); }

    /// Shows an escaped exception's message in a message box.
    static void ShowException(const QString& message);

private:
    Reporter reporter_;
};

} // namespace vintrace::app
