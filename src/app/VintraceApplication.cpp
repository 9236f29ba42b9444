#include "app/VintraceApplication.h"

#include <QMessageBox>

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

} // namespace vintrace::app
