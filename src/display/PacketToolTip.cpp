#include "display/PacketToolTip.h"

#include "display/PacketToolTipText.h"

#include <QHelpEvent>
#include <QToolTip>

namespace vintrace::display {

PacketToolTip::PacketToolTip(OwnerDrawListBox* list, const capture::PacketList& packets)
    : QObject(list), list_(list), packets_(packets) {
    list_->viewport()->installEventFilter(this);
    connect(list_, &OwnerDrawListBox::itemsReplaced, this, [this] { findings_.reset(); });
}

PacketToolTip::PacketToolTip(OwnerDrawListBox* list, session::CaptureSession& session)
    : PacketToolTip(list, session.packets()) {
    session_ = &session;
}

QString PacketToolTip::textFor(std::int64_t index) {
    if (index < 0 || static_cast<std::size_t>(index) >= packets_.size()) {
        return {};
    }
    if (!findings_ || findings_->size() != packets_.size()) {
        findings_ = capture::CheckCapture(packets_);
    }
    const auto i = static_cast<std::size_t>(index);
    const std::optional<std::string> meaning =
        session_ ? session_->meaningOfDataPacket(i) : std::nullopt;
    return QString::fromStdString(PacketToolTipText(packets_, i, (*findings_)[i], meaning));
}

bool PacketToolTip::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::ToolTip || watched != list_->viewport()) {
        return QObject::eventFilter(watched, event);
    }
    const auto* help = static_cast<QHelpEvent*>(event);
    const std::int64_t index = list_->itemAt(help->pos());
    const QString text = textFor(index);
    if (text.isEmpty()) {
        QToolTip::hideText();
    } else {
        QToolTip::showText(help->globalPos(), text, list_->viewport(), list_->itemRect(index));
    }
    return true;
}

} // namespace vintrace::display
