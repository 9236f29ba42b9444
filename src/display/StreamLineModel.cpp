#include "display/StreamLineModel.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace vintrace::display {

// The host's side in red and the device's in blue, as packet analyzers colour a conversation.
QColor StreamTextColour(protocol::Direction direction) {
    return direction == protocol::Direction::Out ? QColor(0x8B, 0x00, 0x00)
                                                 : QColor(0x00, 0x00, 0x8B);
}

QColor StreamBandColour(protocol::Direction direction) {
    return direction == protocol::Direction::Out ? QColor(0xFB, 0xED, 0xED)
                                                 : QColor(0xED, 0xED, 0xFB);
}

StreamLineModel::StreamLineModel(QObject* parent) : QAbstractListModel(parent) {}

void StreamLineModel::Show(std::shared_ptr<const protocol::Conversation> conversation,
                           StreamView view) {
    beginResetModel();
    conversation_ = std::move(conversation);
    layout_ = conversation_ ? LayOutStream(*conversation_, view) : StreamLayout{};
    endResetModel();
}

int StreamLineModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid()) {
        return 0;
    }
    // A view counts rows in an int; a kept conversation is far smaller than that.
    return static_cast<int>(std::min<std::size_t>(layout_.lines.size(), INT_MAX));
}

QVariant StreamLineModel::data(const QModelIndex& index, int role) const {
    if (!conversation_ || !index.isValid() || index.row() < 0 ||
        static_cast<std::size_t>(index.row()) >= layout_.lines.size()) {
        return {};
    }
    const StreamLine& line = layout_.lines[static_cast<std::size_t>(index.row())];
    const protocol::Direction direction = conversation_->chunks[line.chunk].direction;
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromStdString(StreamLineText(*conversation_, layout_, line));
    case Qt::ForegroundRole:
        return StreamTextColour(direction);
    case Qt::BackgroundRole:
        return StreamBandColour(direction);
    case DirectionRole:
        return static_cast<int>(direction);
    default:
        return {};
    }
}

} // namespace vintrace::display
