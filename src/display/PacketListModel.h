#pragma once

#include "capture/PacketList.h"

#include <QAbstractListModel>

namespace vintrace::display {

/// Read-only list model over the PacketList: one row per record, nothing stored per row.
/// Views paint each row from the record it names.
class PacketListModel : public QAbstractListModel {
    Q_OBJECT
public:
    /// Role that gives a row's RecordKind code.
    static constexpr int KindRole = Qt::UserRole + 1;

    explicit PacketListModel(const capture::PacketList& packets, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    /// The record behind a valid row.
    capture::CaptureRecord record(int row) const { return packets_[static_cast<std::size_t>(row)]; }

    /// Announces that the PacketList is about to change / has changed wholesale.
    void beginRefresh() { beginResetModel(); }
    void endRefresh() { endResetModel(); }

private:
    const capture::PacketList& packets_;
};

/// The fields of a record after its kind, e.g. "Address 5  Endpoint 1" or "80 06 00 01".
QString DetailText(const capture::CaptureRecord& record);
/// One readable line for a record: its kind name, then its details.
QString SummaryText(const capture::CaptureRecord& record);

} // namespace vintrace::display
