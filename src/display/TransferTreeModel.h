#pragma once

#include "protocol/TransferFilter.h"
#include "session/CaptureSession.h"

#include <QAbstractItemModel>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vintrace::display {

/// What narrows the transfer tree: an address or endpoint, statuses, types, classes.
using TransferFilter = protocol::TransferFilter;

/// The transfers of a session as a tree: transfers and folded runs at the top, their
/// transactions below, the packets of each transaction below those. Nothing is stored per
/// row. The view sees a window of the top level (positions [WindowStart(), WindowStart() +
/// rowCount())) that its owner moves as the user scrolls, so a view whose layout grows with
/// its rows stays as quick at the end of a capture of millions of items as at its start; each
/// item's transactions are handed to the view in chunks as it scrolls.
///
/// An item whose span holds more than PageSpan() transactions (a pipe polled across the whole
/// capture) lists ranges instead: one row per PageSpan() transactions of its span, holding
/// the item's transactions there. Opening a range or finding a record in it reads that part
/// of the span only, however long the item.
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
        /// The counted frame of the last SOF at or before the row.
        FrameColumn,
        /// Frames an item spans.
        DurationColumn,
        ColumnCount
    };
    /// Transactions handed to the view at a time.
    static constexpr int kChunk = 2048;
    /// Top-level rows the view sees at a time.
    static constexpr std::size_t kWindowRows = 8192;
    /// Transactions of an item's span one range row covers: reading them and laying out as
    /// many rows takes a millisecond or two, and a span of a hundred million transactions
    /// still makes few enough ranges to lay out at once.
    static constexpr std::size_t kPageSpan = 8192;
    /// The range size models take when built; a test lowers it to page small captures.
    static inline std::size_t DefaultPageSpan = kPageSpan;
    /// How many transactions of an item's span its payload cell or tooltip reads at most: the
    /// data of a transfer polled for hours lies spread over millions of NAKs.
    static constexpr std::size_t kPayloadSpan = 65536;

    /// Built from the session at once, or `suspended` (empty until Rebuild()).
    explicit TransferTreeModel(session::CaptureSession& session, QObject* parent = nullptr,
                               bool suspended = false, std::size_t pageSpan = DefaultPageSpan);
    /// Transactions of an item's span one range row covers (at least 1).
    std::size_t PageSpan() const { return pageSpan_; }

    /// Starts again from the session's store as it is now.
    void Rebuild();
    /// Empties the tree until the next Rebuild(), without reading the session: the store
    /// changed while nobody looks.
    void Suspend();
    /// False from Suspend() to Rebuild(): the tree is empty and reads nothing of the session.
    bool live() const { return live_; }
    /// Folds runs of SOFs and NAKed polls or lists them one by one.
    void setFold(bool fold);
    bool fold() const { return fold_; }
    /// Shows only the items the filter passes (everything for the empty filter).
    void setFilter(const TransferFilter& filter);
    const TransferFilter& filter() const { return filter_; }
    /// Shows or leaves out the SOF items (the store keeps them).
    void setShowSofs(bool show);
    bool showSofs() const { return showSofs_; }
    /// Marks the transfers that carry one of `findings` (a severity icon and the findings'
    /// messages on the status column); nothing marks none. They must be the findings of the
    /// store as it is now and stay as they are until replaced; take them away before the
    /// store changes or as it does, ahead of Rebuild().
    void setFindings(const std::vector<protocol::Finding>* findings);

    /// Top-level items of the whole tree (the filter applied), in and out of the window.
    std::size_t TopCount() const;
    /// Position among all top-level items of the window's first row.
    std::size_t WindowStart() const { return windowStart_; }
    /// How many top-level rows the view sees at most (at least 1).
    std::size_t WindowRows() const { return windowRows_; }
    void setWindowRows(std::size_t rows);
    /// Moves the window to begin at `start` (kept within the tree) and resets the view.
    void MoveWindow(std::size_t start);
    /// Moves the window, when `position` lies outside it, so that it stands in its middle.
    void ShowPosition(std::size_t position);
    /// Position among all top-level items of the top-level row that holds `index`.
    std::optional<std::size_t> PositionOf(const QModelIndex& index) const;

    /// The store index of the first record of what `index` shows (nothing for a range that
    /// holds none of its item's transactions).
    std::optional<std::size_t> FirstRecordOf(const QModelIndex& index) const;
    /// The innermost row that holds `record` (moving the window to it and handing the rows
    /// down to it to the view); invalid when the filter hides it.
    QModelIndex IndexOfRecord(std::size_t record);

    /// The item of transferList(fold()) whose row holds `index` (its transfer's, for a
    /// transaction or packet row).
    std::optional<std::size_t> ItemOf(const QModelIndex& index) const;
    /// The store index of the last record of what `index` shows.
    std::optional<std::size_t> LastRecordOf(const QModelIndex& index) const;
    /// The bytes `index` carries: a transfer's delivered payload, the part of it a range's
    /// transactions delivered, a transaction's data, a packet's stored bytes. At most the first
    /// `limit` of them: a bulk transfer may hold hundreds of megabytes.
    std::vector<std::uint8_t> PayloadOf(const QModelIndex& index,
                                        std::size_t limit = SIZE_MAX) const;
    /// The row's depth in the tree: 0 for a transfer, 1 for a transaction or a range, one
    /// more for each row under a range.
    int DepthOf(const QModelIndex& index) const;
    /// True for a range row of a long item.
    bool IsRange(const QModelIndex& index) const;
    /// Whether a range row's counts are known, or need a read of its part of the capture
    /// (each range's first shown, or copied, costs that).
    bool RangeCounted(const QModelIndex& range) const;
    /// Reads the range's part of the capture for the counts its row shows.
    void CountRange(const QModelIndex& range) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    /// Hands more of an item's transactions to the view.
    void fetchMore(const QModelIndex& parent) override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    enum Level : std::uint64_t {
        TransferLevel = 0,
        TransactionLevel = 1,
        PacketLevel = 2,
        RangeLevel = 3
    };
    struct Node {
        Level level;
        bool paged;        // under a range row
        std::size_t top;   // row of the transfer in the window
        std::size_t range; // row of the range within the transfer (paged rows)
        std::size_t mid;   // row of the transaction within its transfer or range
        std::size_t row;   // own row
    };
    struct Members {
        std::vector<std::size_t> transactions;
        std::size_t fetched = 0;
    };
    /// What a range row shows: the item's first and last transaction there, how many.
    struct RangeSummary {
        std::size_t from = 0; // the part of the span, [from, to]
        std::size_t to = 0;
        std::optional<std::size_t> first;
        std::optional<std::size_t> last;
        std::size_t count = 0;
    };

    Node node(const QModelIndex& index) const;
    const protocol::TransferList& items() const;
    /// Index into items() of a top row of the window.
    std::size_t itemNumber(std::size_t topRow) const;
    protocol::TransferItem itemAt(std::size_t topRow) const;
    /// The item lists ranges rather than its transactions.
    bool paged(const protocol::TransferItem& item) const;
    std::size_t rangeCount(const protocol::TransferItem& item) const;
    /// The part [from, to] of the item's span that range `range` covers.
    std::pair<std::size_t, std::size_t> rangeSpan(const protocol::TransferItem& item,
                                                  std::size_t range) const;
    const RangeSummary& rangeSummary(std::size_t topRow, std::size_t range) const;
    /// The transactions of a top row (range 0), or of one of its ranges when it is paged.
    Members& members(std::size_t topRow, std::size_t range = 0) const;
    /// Some items are left out: the top rows come from visible_.
    bool narrowed() const { return !filter_.empty() || !showSofs_; }
    /// The rows a transfer (not paged) or a range row hands the view in chunks.
    bool listsMembers(const QModelIndex& parent) const;
    void fetchMembers(const QModelIndex& parent, std::size_t upTo);
    QVariant transferData(std::size_t topRow, int column, int role) const;
    QVariant rangeData(std::size_t topRow, std::size_t range, int column, int role) const;
    QVariant transactionData(const protocol::Transaction& t, int column, int role) const;
    QVariant packetData(std::size_t record, int column, int role) const;

    session::CaptureSession& session_;
    /// False from Suspend() to Rebuild(): the rows would come from a store that is gone.
    bool live_ = true;
    bool fold_ = true;
    TransferFilter filter_;
    bool showSofs_ = true;
    const std::vector<protocol::Finding>* findings_ = nullptr;
    /// Item index per top row when a filter is set (items in capture order).
    std::vector<std::uint32_t> visible_;
    std::size_t windowStart_ = 0;
    std::size_t windowRows_ = kWindowRows;
    bool inserting_ = false;
    std::size_t pageSpan_ = kPageSpan;
    /// By top row of the window and range; emptied when the window moves.
    mutable std::unordered_map<std::uint64_t, Members> members_;
    mutable std::unordered_map<std::uint64_t, RangeSummary> ranges_;
};

} // namespace vintrace::display
