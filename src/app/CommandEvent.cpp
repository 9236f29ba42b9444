#include "app/CommandEvent.h"

#include <QApplication>
#include <QPointer>
#include <QWidget>

namespace vintrace::app {

capture::CommandMessage& SharedCommand() {
    static capture::CommandMessage message;
    return message;
}

void SendCommand(QObject* target) {
    capture::CommandMessage& message = SharedCommand();
    message.Msg = capture::UM_COMMAND;
    CommandEvent event(message);
    QCoreApplication::sendEvent(target, &event);
}

void BroadcastCommand() {
    // Windows may close while a command runs; skip those that went away.
    QList<QPointer<QWidget>> windows;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        windows.append(w);
    }
    for (const QPointer<QWidget>& w : windows) {
        if (w) {
            SendCommand(w);
        }
    }
}

} // namespace vintrace::app
