#include "app/VintraceApplication.h"

#include <QMessageBox>

#include <cstdio>
#include <exception>

namespace vintrace::app {

VintraceApplication::VintraceApplication(int& argc, char** argv)
    : QApplication(argc, argv), reporter_(&VintraceApplication::ShowException) {}

bool VintraceApplication::notify(QObject* receiver, QEvent* event) {
    // Qt cannot propagate exceptions through its event loop; catch them here, at the one
    // place every event passes.
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        reporter_(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        reporter_(QStringLiteral("Unknown exception"));
    }
    return false;
}

void VintraceApplication::ShowException(const QString& message) {
    QMessageBox::critical(QApplication::activeWindow(), QStringLiteral("Vintrace"), message);
}

int RunReportingExceptions(const std::function<void()>& program,
                           const VintraceApplication::Reporter& report) {
    try {
        program();
    } catch (const std::exception& e) {
        report(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        report(QStringLiteral("Unknown exception"));
    }
    return 0;
}

void ReportStartUpException(const QString& message) {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr) {
        VintraceApplication::ShowException(message);
    } else {
        // No application object, so no message box either.
        std::fprintf(stderr, "vintrace: %s\n", message.toLocal8Bit().constData());
    }
}

} // namespace vintrace::app
