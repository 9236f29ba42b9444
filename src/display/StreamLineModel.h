#pragma once

#include "display/StreamLines.h"
#include "protocol/EndpointStream.h"

#include <QAbstractListModel>
#include <QColor>

#include <memory>

namespace vintrace::display {

/// The colours of one direction of a conversation: its text and the band behind it.
QColor StreamTextColour(protocol::Direction direction);
QColor StreamBandColour(protocol::Direction direction);

/// A conversation's lines, one row each, laid out on demand by StreamLines: nothing per row is
/// kept but the line's place. Each row is coloured by its direction.
class StreamLineModel : public QAbstractListModel {
    Q_OBJECT
public:
    /// The direction of a row's bytes, as an int (protocol::Direction).
    static constexpr int DirectionRole = Qt::UserRole;

    explicit StreamLineModel(QObject* parent = nullptr);

    /// Shows `conversation` (nothing: no rows) in `view`.
    void Show(std::shared_ptr<const protocol::Conversation> conversation, StreamView view);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    std::shared_ptr<const protocol::Conversation> conversation_;
    StreamLayout layout_;
};

} // namespace vintrace::display
