#pragma once

#include "capture/Command.h"

#include <QEvent>

class QObject;

namespace vintrace::app {

/// Carries the shared command record to a window. Sent synchronously: the command has run
/// when the send returns.
class CommandEvent : public QEvent {
public:
    explicit CommandEvent(capture::CommandMessage& message) : QEvent(Type()), message_(message) {}

    static QEvent::Type Type() { return static_cast<QEvent::Type>(QEvent::User + 0x190); }
    capture::CommandMessage& message() const { return message_; }

private:
    capture::CommandMessage& message_;
};

/// The record every sender fills; it lives for the whole run and starts zeroed.
capture::CommandMessage& SharedCommand();

/// Hands the shared record, with `Msg` set, to `target` and returns once it has been handled.
void SendCommand(QObject* target);

/// Offers the shared record to every top-level window in turn; only the main window acts.
void BroadcastCommand();

} // namespace vintrace::app
