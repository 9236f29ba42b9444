#pragma once

#include "protocol/DeviceTree.h"
#include "protocol/UsbIds.h"
#include "session/CaptureSession.h"
#include "session/Disposal.h"

#include <QAbstractItemModel>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace vintrace::display {

/// The devices of a session as a tree (device, configurations, interfaces, endpoints), each
/// row with the packet that starts the transfer that delivered it. The tree is a snapshot of
/// the store when it was built (a handful of rows per device), so it stays readable until
/// whoever hears of a store change rebuilds it, at once or on a worker (RebuildAside).
class DeviceTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Column { ItemColumn, RecordColumn, ColumnCount };

    /// Builds the rows at once unless `build` is false (then: none until a rebuild).
    explicit DeviceTreeModel(session::CaptureSession& session, QObject* parent = nullptr,
                             bool build = true);
    ~DeviceTreeModel() override;

    /// Starts again from the session's store as it is now.
    void Rebuild();
    /// Builds the rows again on a worker from the devices of the store as it is now, which
    /// must stay unchanged until the rows are adopted or the worker stopped (a change of the
    /// store stops it first). The rows shown stay until adoptRebuilt().
    void RebuildAside(const protocol::DeviceModel& devices);
    /// True from RebuildAside() until its rows are adopted or it is stopped.
    bool rebuildingAside() const { return aside_ != nullptr; }
    /// Once the worker has finished, its rows replace the ones shown (a model reset); true
    /// when they did.
    bool adoptRebuilt();
    /// Stops the worker and waits for it; the rows shown stay.
    void stopRebuild();
    /// Names vendors, products and classes from this list rather than the system's (nothing:
    /// numbers only); rebuilds.
    void setUsbIds(std::optional<protocol::UsbIds> ids);

    /// The first record of the transfer that delivered what `index` shows.
    std::optional<std::size_t> RecordOf(const QModelIndex& index) const;
    /// The last record of that transfer (the first when the transfer is not known).
    std::optional<std::size_t> LastRecordOf(const QModelIndex& index) const;
    /// The row `index` shows; null for an invalid index.
    const protocol::DeviceTreeRow* RowOf(const QModelIndex& index) const;
    /// The names the rows use; null when there are none.
    const protocol::UsbIds* usbIds() const { return ids_ ? &*ids_ : nullptr; }
    /// The rows as built, for a text of the whole view.
    const std::vector<protocol::DeviceTreeRow>& rows() const { return layout_.rows; }
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

    /// Everything the model answers from, built apart from it (on a worker or not).
    struct Layout {
        std::vector<protocol::DeviceTreeRow> rows;
        /// Point into `rows`, whose elements stay where they are when the layout moves.
        std::vector<Node> nodes;
        std::vector<std::size_t> top;
        /// First and last record of each transfer that delivered a row, by first record.
        std::map<std::size_t, std::size_t> spans;
    };
    /// Nothing once `stop` is set.
    static std::optional<Layout> Lay(const protocol::DeviceModel& devices,
                                     const protocol::UsbIds* ids, const std::atomic<bool>& stop);
    static void Flatten(Layout& layout, const protocol::DeviceTreeRow& row, std::size_t parent,
                        int position);
    void adopt(Layout layout);
    const std::vector<std::size_t>& childrenOf(const QModelIndex& parent) const;
    /// The system's names, read once, when the first tree is built.
    void loadIds();

    /// The worker of RebuildAside().
    struct Aside {
        std::atomic<bool> stop{false};
        std::atomic<bool> finished{false};
        std::optional<Layout> result;
        std::thread worker;
    };

    session::CaptureSession& session_;
    std::optional<protocol::UsbIds> ids_;
    bool idsLoaded_ = false;
    Layout layout_;
    std::unique_ptr<Aside> aside_;
    /// Frees replaced rows; null until rows are first replaced.
    std::unique_ptr<session::Disposal> disposal_;
};

} // namespace vintrace::display
