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

/// Runs the program's start-up steps and message loop. An exception of any type that escapes
/// them is reported with its message ("Unknown exception" when it carries none) and the
/// program still ends normally: the result is 0 either way.
int RunReportingExceptions(const std::function<void()>& program,
                           const VintraceApplication::Reporter& report);

/// Reports an exception that escaped start-up: in a message box when the application object
/// exists, else on the standard error stream.
void ReportStartUpException(const QString& message);

} // namespace vintrace::app
