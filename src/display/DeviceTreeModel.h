#pragma once

#include "protocol/DeviceTree.h"
#include "protocol/UsbIds.h"
#include "session/CaptureSession.h"

#include <QAbstractItemModel>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace vintrace::display {

/// The devices of a session as a tree (device, configurations, interfaces, endpoints), each
/// row with the packet that starts the transfer that delivered it. The tree is a snapshot of
/// the store when it was built (a handful of rows per device), so it stays readable until
/// whoever hears of a store change rebuilds it.
class DeviceTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Column { ItemColumn, RecordColumn, ColumnCount };

    explicit DeviceTreeModel(session::CaptureSession& session, QObject* parent = nullptr);

    /// Starts again from the session's store as it is now.
    void Rebuild();
    /// Names vendors, products and classes from this list rather than the system's (nothing:
    /// numbers only); rebuilds.
    void setUsbIds(std::optional<protocol::UsbIds> ids);

    /// The first record of the transfer that delivered what `index` shows.
    std::optional<std::size_t> RecordOf(const QModelIndex& index) const;
    /// The last record of that transfer (the first when the transfer is not known).
    std::optional<std::size_t> LastRecordOf(const QModelIndex& index) const;
    /// The row `index` shows; null for an invalid index.
    const protocol::DeviceTreeRow* RowOf(const QModelIndex& index) const;
    /// The rows as built, for a text of the whole view.
    const std::vector<protocol::DeviceTreeRow>& rows() const { return rows_; }
    /// The first row delivered by the transfer that holds `record`; invalid when no row came
    /// from it.
    QModelIndex IndexOfRecord(std::size_t record) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    static constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);
    /// A row of the tree, flattened: its index in `nodes_` is the model index's id.
    struct Node {
        const protocol::DeviceTreeRow* row;
        std::size_t parent;
        int position; // among its siblings
        std::vector<std::size_t> children;
    };

    void flatten(const protocol::DeviceTreeRow& row, std::size_t parent, int position);
    const std::vector<std::size_t>& childrenOf(const QModelIndex& parent) const;

    session::CaptureSession& session_;
    std::optional<protocol::UsbIds> ids_;
    bool idsLoaded_ = false;
    std::vector<protocol::DeviceTreeRow> rows_;
    std::vector<Node> nodes_;
    std::vector<std::size_t> top_;
    /// First and last record of each transfer that delivered a row, by first record.
    std::map<std::size_t, std::size_t> spans_;
};

} // namespace vintrace::display
