#pragma once

#include "session/CaptureSession.h"

#include <QAbstractItemModel>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace vintrace::display {

/// Address, or address and endpoint, that narrows the transfer tree.
struct TransferFilter {
    std::optional<std::uint8_t> address;
    std::optional<std::uint8_t> endpoint;

    /// "" (everything), "5" or "5.1" (decimal); nothing for any other text.
    static std::optional<TransferFilter> Parse(const QString& text);
    friend bool operator==(const TransferFilter&, const TransferFilter&) = default;
};

/// The transfers of a session as a tree: transfers and folded runs at the top, their
/// transactions below, the packets of each transaction below those. Nothing is stored per
/// row: the top level and each item's transactions are handed to the view in chunks as it
/// scrolls, so a capture of millions of records opens at once.
class TransferTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Column {
        RecordColumn,
        ItemColumn,
        EndpointColumn,
        DirectionColumn,
        StatusColumn,
        BytesColumn,
        PayloadColumn,
        ColumnCount
    };
    /// Rows handed to the view at a time.
    static constexpr int kChunk = 2048;

    explicit TransferTreeModel(session::CaptureSession& session, QObject* parent = nullptr);

    /// Starts again from the session's store as it is now.
    void Rebuild();
    /// Empties the tree until the next Rebuild(), without reading the session: the store
    /// changed while nobody looks.
    void Suspend();
    /// Folds runs of SOFs and NAKed polls or lists them one by one.
    void setFold(bool fold);
    bool fold() const { return fold_; }
    /// Shows only the items of one address (or endpoint).
    void setFilter(const TransferFilter& filter);
    const TransferFilter& filter() const { return filter_; }
    /// Marks the transfers that carry one of `findings` (a severity icon and the findings'
    /// messages on the status column); nothing marks none. They must be the findings of the
    /// store as it is now and stay as they are until replaced; take them away before the
    /// store changes or as it does, ahead of Rebuild().
    void setFindings(const std::vector<protocol::Finding>* findings);

    /// The store index of the first record of what `index` shows.
    std::optional<std::size_t> FirstRecordOf(const QModelIndex& index) const;
    /// The innermost row that holds `record` (handing the rows down to it to the view);
    /// invalid when the filter hides it.
    QModelIndex IndexOfRecord(std::size_t record);

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    enum Level : std::uint64_t { TransferLevel = 0, TransactionLevel = 1, PacketLevel = 2 };
    struct Node {
        Level level;
        std::size_t top; // row of the transfer
        std::size_t mid; // row of the transaction within the transfer
        std::size_t row; // own row
    };
    struct Members {
        std::vector<std::size_t> transactions;
        std::size_t fetched = 0;
    };

    Node node(const QModelIndex& index) const;
    const std::vector<protocol::TransferItem>& items() const;
    /// Index into items() of a top row.
    std::size_t itemNumber(std::size_t topRow) const;
    const protocol::TransferItem& itemAt(std::size_t topRow) const;
    Members& members(std::size_t topRow) const;
    std::size_t topCount() const;
    bool passes(const protocol::TransferItem& item) const;
    void fetchTop(std::size_t upTo);
    void fetchMembers(const QModelIndex& parent, std::size_t upTo);
    QVariant transferData(std::size_t topRow, int column, int role) const;
    QVariant transactionData(const protocol::Transaction& t, int column, int role) const;
    QVariant packetData(std::size_t record, int column, int role) const;

    session::CaptureSession& session_;
    /// False from Suspend() to Rebuild(): the rows would come from a store that is gone.
    bool live_ = true;
    bool fold_ = true;
    TransferFilter filter_;
    const std::vector<protocol::Finding>* findings_ = nullptr;
    /// Item index per top row when a filter is set (items in capture order).
    std::vector<std::uint32_t> visible_;
    std::size_t topFetched_ = 0;
    bool inserting_ = false;
    mutable std::unordered_map<std::size_t, Members> members_;
};

} // namespace vintrace::display
