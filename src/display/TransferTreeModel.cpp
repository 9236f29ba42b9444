#include "display/TransferTreeModel.h"

#include "capture/RecordKind.h"
#include "display/FindingListModel.h"
#include "display/KindStyle.h"
#include "display/StatusStyle.h"
#include "protocol/FindingMarks.h"
#include "protocol/Frames.h"
#include "protocol/SafeText.h"
#include "protocol/TransferSpan.h"
#include "protocol/TransferSummary.h"

#include <QColor>
#include <QIcon>
#include <QLocale>

#include <algorithm>
#include <cstdio>

namespace vintrace::display {

namespace {

using protocol::Direction;
using protocol::Transaction;
using protocol::TransactionKind;
using protocol::TransferItem;
using protocol::TransferType;

// Internal id: level (2 bits) | under a range (1 bit) | transfer row (33 bits) | 28 bits: the
// range row of a transaction under a range, the transaction of a packet (for one under a
// range, range * page span + its row in the range).
constexpr int kTopShift = 28;
constexpr std::uint64_t kMidMask = (std::uint64_t{1} << kTopShift) - 1;
constexpr std::uint64_t kTopMask = (std::uint64_t{1} << 33) - 1;
constexpr int kPagedBit = 61;

quintptr MakeId(std::uint64_t level, std::size_t top, std::size_t mid, bool paged = false) {
    return static_cast<quintptr>((level << 62) | (std::uint64_t{paged} << kPagedBit) |
                                 ((top & kTopMask) << kTopShift) | (mid & kMidMask));
}

/// Members of a top row and range as one key.
std::uint64_t MembersKey(std::size_t top, std::size_t range) {
    return (static_cast<std::uint64_t>(top) << kTopShift) | (range & kMidMask);
}

QString Grouped(std::size_t n) {
    QLocale c = QLocale::c();
    c.setNumberOptions(QLocale::DefaultNumberOptions);
    return c.toString(static_cast<qulonglong>(n));
}

QString Latin(std::string_view s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

QString DirectionText(Direction d) {
    return d == Direction::In ? QStringLiteral("IN") : QStringLiteral("OUT");
}

bool HasEndpoint(const TransferItem& item) {
    return item.type != TransferType::Sof && item.type != TransferType::Malformed;
}

QString HexBytes(std::span<const std::uint8_t> bytes, std::size_t n, std::size_t perLine) {
    QString out;
    n = std::min(n, bytes.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0) {
            out += i % perLine == 0 ? QLatin1Char('\n') : QLatin1Char(' ');
        }
        out += QStringLiteral("%1").arg(bytes[i], 2, 16, QLatin1Char('0')).toUpper();
    }
    return out;
}

constexpr std::size_t kPayloadShown = 16;
/// A tooltip shows this much of a payload; a full-speed bulk transfer may be megabytes.
constexpr std::size_t kPayloadTipBytes = 256;

/// The column's first bytes; "…" says there are more (`total`: the payload's size, when
/// `bytes` is only the part read of it).
QString Hex16(std::span<const std::uint8_t> bytes, std::size_t total = 0) {
    QString out = HexBytes(bytes, kPayloadShown, kPayloadShown);
    if (std::max(total, bytes.size()) <= std::min(bytes.size(), kPayloadShown)) {
        return out;
    }
    return out.isEmpty() ? QStringLiteral("…") : out + QStringLiteral(" …");
}

/// The whole of a payload the column cut, up to kPayloadTipBytes, sixteen bytes a line.
/// `bytes` is its start (at least kPayloadTipBytes + 1 when there is more, less when the read
/// stopped short), `total` its size.
QVariant PayloadTip(std::span<const std::uint8_t> bytes, std::size_t total = 0) {
    total = std::max(total, bytes.size());
    if (total <= kPayloadShown) {
        return {};
    }
    QString out = HexBytes(bytes, kPayloadTipBytes, kPayloadShown);
    if (total > std::min(bytes.size(), kPayloadTipBytes)) {
        out += QStringLiteral("%1… %2 bytes")
                   .arg(out.isEmpty() ? QString() : QStringLiteral("\n"))
                   .arg(total);
    }
    return out;
}

QVariant ToneRole(StatusTone tone, int role) {
    const auto colours = ToneColours(tone);
    if (!colours) {
        return {};
    }
    const Rgb c = role == Qt::ForegroundRole ? colours->text : colours->fill;
    return QColor(c.r, c.g, c.b);
}

QVariant ToneTip(StatusTone tone) {
    const std::string_view meaning = ToneMeaning(tone);
    return meaning.empty() ? QVariant() : QVariant(Latin(meaning));
}

QString Endpoint(std::uint8_t address, std::uint8_t endpoint) {
    return QStringLiteral("%1.%2").arg(address).arg(endpoint);
}

} // namespace

TransferTreeModel::TransferTreeModel(session::CaptureSession& session, QObject* parent,
                                     bool suspended, std::size_t pageSpan)
    : QAbstractItemModel(parent), session_(session), live_(!suspended),
      pageSpan_(std::max<std::size_t>(pageSpan, 1)) {
    if (!suspended) {
        Rebuild();
    }
}

void TransferTreeModel::Rebuild() {
    beginResetModel();
    live_ = true;
    members_.clear();
    ranges_.clear();
    visible_.clear();
    if (narrowed()) {
        // One pass over the items, each judged by what it holds: the cost the address alone
        // had, but for a class, which looks up the item's device.
        const protocol::TransferList& all = items();
        const protocol::TransferFilterMatch passes(
            filter_, session_.packets(), session_.transactions(),
            filter_.classes.empty() ? nullptr : &session_.devices());
        for (std::size_t i = 0; i < all.size(); ++i) {
            if ((showSofs_ || all[i].type != TransferType::Sof) && passes(all[i])) {
                visible_.push_back(static_cast<std::uint32_t>(i));
            }
        }
    }
    windowStart_ = 0;
    endResetModel();
}

void TransferTreeModel::Suspend() {
    beginResetModel();
    live_ = false;
    members_.clear();
    ranges_.clear();
    visible_.clear();
    windowStart_ = 0;
    endResetModel();
}

void TransferTreeModel::setWindowRows(std::size_t rows) {
    beginResetModel();
    members_.clear();
    ranges_.clear();
    windowRows_ = std::max<std::size_t>(rows, 1);
    windowStart_ = std::min(windowStart_, TopCount() - std::min(TopCount(), windowRows_));
    endResetModel();
}

void TransferTreeModel::MoveWindow(std::size_t start) {
    const std::size_t count = TopCount();
    start = std::min(start, count - std::min(count, windowRows_));
    if (start == windowStart_) {
        return;
    }
    beginResetModel();
    members_.clear();
    ranges_.clear();
    windowStart_ = start;
    endResetModel();
}

void TransferTreeModel::ShowPosition(std::size_t position) {
    if (position < windowStart_ || position >= windowStart_ + windowRows_) {
        MoveWindow(position - std::min(position, windowRows_ / 2));
    }
}

std::optional<std::size_t> TransferTreeModel::PositionOf(const QModelIndex& index) const {
    if (!index.isValid() || !live_) {
        return std::nullopt;
    }
    return windowStart_ + node(index).top;
}

void TransferTreeModel::setFold(bool fold) {
    fold_ = fold;
    Rebuild();
}

void TransferTreeModel::setFindings(const std::vector<protocol::Finding>* findings) {
    findings_ = findings;
    // Marks go when the store changes, and the rebuild that follows repaints the rows; the
    // view must not read them before (it would build the new store's indexes). New marks
    // repaint the rows of the window the view shows.
    const int rows = findings != nullptr && live_ ? rowCount() : 0;
    if (rows > 0) {
        emit dataChanged(index(0, StatusColumn), index(rows - 1, StatusColumn),
                         {Qt::DecorationRole, Qt::ToolTipRole});
    }
}

void TransferTreeModel::setFilter(const TransferFilter& filter) {
    filter_ = filter;
    // A suspended tree waits for indexes a worker builds: reading them now would build them
    // again on this thread. The rebuild that ends the wait applies the filter.
    if (live_) {
        Rebuild();
    }
}

void TransferTreeModel::setShowSofs(bool show) {
    if (show != showSofs_) {
        showSofs_ = show;
        // As for the filter: a suspended tree reads nothing until its rebuild.
        if (live_) {
            Rebuild();
        }
    }
}

const protocol::TransferList& TransferTreeModel::items() const {
    return session_.transferList(fold_);
}

std::size_t TransferTreeModel::TopCount() const {
    if (!live_) {
        return 0;
    }
    return narrowed() ? visible_.size() : items().size();
}

std::size_t TransferTreeModel::itemNumber(std::size_t topRow) const {
    const std::size_t position = windowStart_ + topRow;
    return narrowed() ? visible_[position] : position;
}

TransferItem TransferTreeModel::itemAt(std::size_t topRow) const {
    return items()[itemNumber(topRow)];
}

bool TransferTreeModel::paged(const TransferItem& item) const {
    return item.lastTransaction >= item.firstTransaction &&
           item.lastTransaction - item.firstTransaction >= pageSpan_;
}

std::size_t TransferTreeModel::rangeCount(const TransferItem& item) const {
    return paged(item) ? (item.lastTransaction - item.firstTransaction) / pageSpan_ + 1 : 0;
}

std::pair<std::size_t, std::size_t> TransferTreeModel::rangeSpan(const TransferItem& item,
                                                                 std::size_t range) const {
    const std::size_t from = item.firstTransaction + range * pageSpan_;
    return {from, std::min(item.lastTransaction, from + (pageSpan_ - 1))};
}

const TransferTreeModel::RangeSummary& TransferTreeModel::rangeSummary(std::size_t topRow,
                                                                       std::size_t range) const {
    const std::uint64_t key = MembersKey(topRow, range);
    auto found = ranges_.find(key);
    if (found == ranges_.end()) {
        const TransferItem item = itemAt(topRow);
        RangeSummary r;
        std::tie(r.from, r.to) = rangeSpan(item, range);
        if (const auto part = protocol::SpanPart(item, r.from, r.to)) {
            protocol::ForEachMember(session_.transactions(), *part,
                                    [&r](std::size_t x, const Transaction&) {
                                        r.first = r.first.value_or(x);
                                        r.last = x;
                                        ++r.count;
                                    });
        }
        found = ranges_.emplace(key, r).first;
    }
    return found->second;
}

TransferTreeModel::Members& TransferTreeModel::members(std::size_t topRow,
                                                       std::size_t range) const {
    const std::uint64_t key = MembersKey(topRow, range);
    auto found = members_.find(key);
    if (found == members_.end()) {
        Members m;
        if (live_) {
            const TransferItem item = itemAt(topRow);
            if (!paged(item)) {
                m.transactions = protocol::Members(session_.transactions(), item);
            } else if (const auto part = protocol::SpanPart(item, rangeSpan(item, range).first,
                                                            rangeSpan(item, range).second)) {
                // Only the range's part of the span: the cost of a page, not of the item.
                m.transactions = protocol::Members(session_.transactions(), *part);
            }
        }
        found = members_.emplace(key, std::move(m)).first;
    }
    return found->second;
}

TransferTreeModel::Node TransferTreeModel::node(const QModelIndex& index) const {
    const auto id = static_cast<std::uint64_t>(index.internalId());
    const auto level = static_cast<Level>(id >> 62);
    const bool underRange = ((id >> kPagedBit) & 1) != 0;
    const std::size_t top = (id >> kTopShift) & kTopMask;
    const std::size_t mid = id & kMidMask;
    const auto row = static_cast<std::size_t>(index.row());
    switch (level) {
    case TransferLevel:
        return {TransferLevel, false, row, 0, 0, row};
    case RangeLevel:
        return {RangeLevel, false, top, row, 0, row};
    case TransactionLevel:
        return {TransactionLevel, underRange, top, underRange ? mid : 0, row, row};
    default:
        return underRange ? Node{PacketLevel, true, top, mid / pageSpan_, mid % pageSpan_, row}
                          : Node{PacketLevel, false, top, 0, mid, row};
    }
}

QModelIndex TransferTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (row < 0 || column < 0 || column >= ColumnCount || row >= rowCount(parent)) {
        return {};
    }
    if (!parent.isValid()) {
        return createIndex(row, column, MakeId(TransferLevel, 0, 0));
    }
    const Node p = node(parent);
    switch (p.level) {
    case TransferLevel:
        return createIndex(row, column,
                           paged(itemAt(p.top)) ? MakeId(RangeLevel, p.top, 0)
                                                : MakeId(TransactionLevel, p.top, 0));
    case RangeLevel:
        return createIndex(row, column, MakeId(TransactionLevel, p.top, p.range, true));
    default:
        return createIndex(
            row, column,
            MakeId(PacketLevel, p.top, p.paged ? p.range * pageSpan_ + p.mid : p.mid, p.paged));
    }
}

QModelIndex TransferTreeModel::parent(const QModelIndex& child) const {
    if (!child.isValid()) {
        return {};
    }
    const Node n = node(child);
    switch (n.level) {
    case TransferLevel:
        return {};
    case RangeLevel:
        return createIndex(static_cast<int>(n.top), 0, MakeId(TransferLevel, 0, 0));
    case TransactionLevel:
        return n.paged ? createIndex(static_cast<int>(n.range), 0, MakeId(RangeLevel, n.top, 0))
                       : createIndex(static_cast<int>(n.top), 0, MakeId(TransferLevel, 0, 0));
    default:
        return createIndex(static_cast<int>(n.mid), 0,
                           MakeId(TransactionLevel, n.top, n.paged ? n.range : 0, n.paged));
    }
}

int TransferTreeModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid()) {
        return static_cast<int>(std::min(windowRows_, TopCount() - windowStart_));
    }
    if (parent.column() != 0) {
        return 0;
    }
    const Node p = node(parent);
    if (p.level == TransferLevel && live_) {
        if (const TransferItem item = itemAt(p.top); paged(item)) {
            return static_cast<int>(rangeCount(item));
        }
    }
    if (p.level == TransferLevel || p.level == RangeLevel) {
        const auto found = members_.find(MembersKey(p.top, p.range));
        return found == members_.end() ? 0 : static_cast<int>(found->second.fetched);
    }
    if (p.level == TransactionLevel) {
        const Members& m = members(p.top, p.range);
        if (p.mid >= m.transactions.size()) {
            return 0;
        }
        return session_.transactions()[m.transactions[p.mid]].count;
    }
    return 0;
}

int TransferTreeModel::columnCount(const QModelIndex&) const {
    return ColumnCount;
}

bool TransferTreeModel::hasChildren(const QModelIndex& parent) const {
    if (!parent.isValid()) {
        return rowCount() > 0;
    }
    if (parent.column() != 0) {
        return false;
    }
    const Node p = node(parent);
    if (p.level == TransferLevel) {
        return live_ && itemAt(p.top).count > 0;
    }
    if (p.level == RangeLevel) {
        // The view asks every row it lays out, each range of a long item included: only what
        // is known already, else yes (opening an empty range shows that it is empty).
        if (!live_) {
            return false;
        }
        const std::uint64_t key = MembersKey(p.top, p.range);
        if (const auto m = members_.find(key); m != members_.end()) {
            return !m->second.transactions.empty();
        }
        const auto r = ranges_.find(key);
        return r == ranges_.end() || r->second.count > 0;
    }
    return p.level == TransactionLevel && rowCount(parent) > 0;
}

bool TransferTreeModel::listsMembers(const QModelIndex& parent) const {
    if (!parent.isValid() || parent.column() != 0 || !live_) {
        return false;
    }
    const Node p = node(parent);
    return p.level == RangeLevel || (p.level == TransferLevel && !paged(itemAt(p.top)));
}

bool TransferTreeModel::canFetchMore(const QModelIndex& parent) const {
    if (!listsMembers(parent)) {
        return false;
    }
    const Node p = node(parent);
    const Members& m = members(p.top, p.range);
    return m.fetched < m.transactions.size();
}

void TransferTreeModel::fetchMore(const QModelIndex& parent) {
    if (listsMembers(parent)) {
        const Node p = node(parent);
        fetchMembers(parent, members(p.top, p.range).fetched + kChunk - 1);
    }
}

void TransferTreeModel::fetchMembers(const QModelIndex& parent, std::size_t upTo) {
    const Node p = node(parent);
    Members& m = members(p.top, p.range);
    const std::size_t end = std::min(upTo + 1, m.transactions.size());
    if (end <= m.fetched || inserting_) {
        return;
    }
    inserting_ = true;
    beginInsertRows(parent, static_cast<int>(m.fetched), static_cast<int>(end - 1));
    m.fetched = end;
    endInsertRows();
    inserting_ = false;
}

std::optional<std::size_t> TransferTreeModel::FirstRecordOf(const QModelIndex& index) const {
    if (!index.isValid() || !live_) {
        return std::nullopt;
    }
    const Node n = node(index);
    const protocol::Transactions& tx = session_.transactions();
    if (n.level == TransferLevel) {
        return protocol::FirstRecord(tx, itemAt(n.top));
    }
    if (n.level == RangeLevel) {
        // A range without transactions of the item holds none of its records.
        const auto first = rangeSummary(n.top, n.range).first;
        return first ? std::optional(tx[*first].first) : std::nullopt;
    }
    const Members& m = members(n.top, n.range);
    const std::size_t mid = n.level == TransactionLevel ? n.row : n.mid;
    if (mid >= m.transactions.size()) {
        return std::nullopt;
    }
    const Transaction t = tx[m.transactions[mid]];
    return n.level == TransactionLevel ? t.first : t.first + n.row;
}

std::optional<std::size_t> TransferTreeModel::ItemOf(const QModelIndex& index) const {
    if (!index.isValid() || !live_) {
        return std::nullopt;
    }
    return itemNumber(node(index).top);
}

int TransferTreeModel::DepthOf(const QModelIndex& index) const {
    if (!index.isValid()) {
        return 0;
    }
    const Node n = node(index);
    switch (n.level) {
    case TransferLevel:
        return 0;
    case RangeLevel:
        return 1;
    case TransactionLevel:
        return n.paged ? 2 : 1;
    default:
        return n.paged ? 3 : 2;
    }
}

bool TransferTreeModel::IsRange(const QModelIndex& index) const {
    return index.isValid() && node(index).level == RangeLevel;
}

bool TransferTreeModel::RangeCounted(const QModelIndex& range) const {
    if (!IsRange(range) || !live_) {
        return true;
    }
    const Node n = node(range);
    return ranges_.contains(MembersKey(n.top, n.range));
}

void TransferTreeModel::CountRange(const QModelIndex& range) const {
    if (IsRange(range) && live_) {
        const Node n = node(range);
        rangeSummary(n.top, n.range);
    }
}

std::optional<std::size_t> TransferTreeModel::LastRecordOf(const QModelIndex& index) const {
    if (!index.isValid() || !live_) {
        return std::nullopt;
    }
    const Node n = node(index);
    const protocol::Transactions& tx = session_.transactions();
    if (n.level == TransferLevel) {
        return protocol::LastRecord(tx, itemAt(n.top));
    }
    if (n.level == PacketLevel) {
        return FirstRecordOf(index);
    }
    if (n.level == RangeLevel) {
        const auto last = rangeSummary(n.top, n.range).last;
        return last ? std::optional(tx[*last].last()) : std::nullopt;
    }
    const Members& m = members(n.top, n.range);
    if (n.row >= m.transactions.size()) {
        return std::nullopt;
    }
    const Transaction t = tx[m.transactions[n.row]];
    return t.first + (t.count > 0 ? t.count - 1 : 0);
}

std::vector<std::uint8_t> TransferTreeModel::PayloadOf(const QModelIndex& index,
                                                       std::size_t limit) const {
    if (!index.isValid() || !live_) {
        return {};
    }
    const Node n = node(index);
    const capture::PacketList& packets = session_.packets();
    const protocol::Transactions& tx = session_.transactions();
    if (n.level == TransferLevel) {
        return protocol::DeliveredPayload(packets, tx, itemAt(n.top), limit);
    }
    if (n.level == RangeLevel) {
        const RangeSummary& r = rangeSummary(n.top, n.range);
        return protocol::DeliveredPayloadWithin(packets, tx, itemAt(n.top), r.from, r.to, limit);
    }
    if (n.level == PacketLevel) {
        const auto record = FirstRecordOf(index);
        if (!record) {
            return {};
        }
        const auto bytes = packets[*record].bytes;
        return {bytes.begin(),
                bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), limit))};
    }
    const Members& m = members(n.top, n.range);
    if (n.row >= m.transactions.size()) {
        return {};
    }
    const auto bytes = protocol::TransactionPayload(packets, tx[m.transactions[n.row]]);
    return {bytes.begin(),
            bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), limit))};
}

QModelIndex TransferTreeModel::IndexOfRecord(std::size_t record) {
    if (!live_ || record >= session_.packets().size()) {
        return {};
    }
    const auto owner = session_.itemOfRecord(record, fold_);
    if (!owner) {
        return {};
    }
    const protocol::Transactions& tx = session_.transactions();
    const std::size_t t = tx.indexOfRecord(record);
    const std::size_t item = *owner;
    std::size_t position = item;
    if (narrowed()) {
        const auto at =
            std::lower_bound(visible_.begin(), visible_.end(), static_cast<std::uint32_t>(item));
        if (at == visible_.end() || *at != item) {
            return {};
        }
        position = static_cast<std::size_t>(at - visible_.begin());
    }
    ShowPosition(position);
    const std::size_t top = position - windowStart_;
    const QModelIndex transfer = index(static_cast<int>(top), 0);
    // A long item lists the range that holds the transaction: only that part is read.
    const TransferItem it = itemAt(top);
    QModelIndex parent = transfer;
    std::size_t range = 0;
    if (paged(it)) {
        if (t < it.firstTransaction || t > it.lastTransaction) {
            return transfer;
        }
        range = (t - it.firstTransaction) / pageSpan_;
        parent = index(static_cast<int>(range), 0, transfer);
    }
    const Members& m = members(top, range);
    const auto at = std::lower_bound(m.transactions.begin(), m.transactions.end(), t);
    if (at == m.transactions.end() || *at != t) {
        return parent;
    }
    const auto mid = static_cast<std::size_t>(at - m.transactions.begin());
    fetchMembers(parent, mid);
    const QModelIndex transaction = index(static_cast<int>(mid), 0, parent);
    return index(static_cast<int>(record - tx[t].first), 0, transaction);
}

QVariant TransferTreeModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || !live_ ||
        (role != Qt::DisplayRole && role != Qt::BackgroundRole && role != Qt::TextAlignmentRole &&
         role != Qt::ToolTipRole && role != Qt::DecorationRole && role != Qt::ForegroundRole)) {
        return {};
    }
    if (role == Qt::TextAlignmentRole) {
        const int c = index.column();
        return c == RecordColumn || c == BytesColumn || c == FrameColumn || c == DurationColumn
                   ? QVariant(int(Qt::AlignRight | Qt::AlignVCenter))
                   : QVariant();
    }
    const Node n = node(index);
    if (n.level == TransferLevel) {
        return transferData(n.top, index.column(), role);
    }
    if (n.level == RangeLevel) {
        return rangeData(n.top, n.range, index.column(), role);
    }
    if (role == Qt::DecorationRole) {
        return {};
    }
    const Members& m = members(n.top, n.range);
    const std::size_t mid = n.level == TransactionLevel ? n.row : n.mid;
    if (mid >= m.transactions.size()) {
        return {};
    }
    const Transaction t = session_.transactions()[m.transactions[mid]];
    if (index.column() == FrameColumn || index.column() == DurationColumn) {
        // A transaction and its packets stand in one frame.
        if (role != Qt::DisplayRole || index.column() == DurationColumn) {
            return {};
        }
        const auto frame =
            session_.frames().at(session_.packets(), session_.transactions(), m.transactions[mid]);
        return frame ? QVariant(static_cast<qulonglong>(*frame)) : QVariant();
    }
    if (n.level == TransactionLevel) {
        return transactionData(t, index.column(), role);
    }
    return n.row < t.count ? packetData(t.first + n.row, index.column(), role) : QVariant();
}

QVariant TransferTreeModel::transferData(std::size_t topRow, int column, int role) const {
    const TransferItem item = itemAt(topRow);
    const protocol::Transactions& tx = session_.transactions();
    const capture::PacketList& packets = session_.packets();
    if (column == StatusColumn && (role == Qt::DecorationRole || role == Qt::ToolTipRole)) {
        const protocol::Transaction& last = tx[item.lastTransaction];
        const auto mark =
            findings_ == nullptr
                ? std::nullopt
                : protocol::MarkOf(*findings_, tx[item.firstTransaction].first,
                                   last.first + std::max<std::size_t>(last.count, 1) - 1,
                                   HasEndpoint(item) ? std::optional(item.address) : std::nullopt,
                                   HasEndpoint(item) ? std::optional(item.endpoint) : std::nullopt);
        if (role == Qt::ToolTipRole) {
            const QVariant tone = ToneTip(ToneOf(item));
            if (!mark) {
                return tone;
            }
            const QString text = QString::fromStdString(mark->text);
            return tone.isValid() ? tone.toString() + QLatin1Char('\n') + text : QVariant(text);
        }
        if (!mark) {
            return {};
        }
        return SeverityIcon(mark->worst);
    }
    if (role == Qt::DecorationRole) {
        return {};
    }
    if (role == Qt::ToolTipRole && column == PayloadColumn) {
        return item.bytes > kPayloadShown
                   // Only the start a tip shows: the item may deliver megabytes.
                   ? PayloadTip(protocol::DeliveredPayloadStart(packets, tx, item,
                                                                kPayloadTipBytes + 1, kPayloadSpan)
                                    .bytes,
                                item.bytes)
                   : QVariant();
    }
    if (role == Qt::ToolTipRole) {
        // The whole of what the column shortens: the request in full and every decoded line.
        if (column != ItemColumn) {
            return {};
        }
        std::string text =
            protocol::TransferSummary(packets, tx, item, protocol::SummaryForm::Line);
        if (const auto decoded = session_.decoded(itemNumber(topRow), fold_)) {
            text += '\n';
            // Line breaks kept; the rest shown as the CLI and the item column show it.
            text += protocol::EscapeText(*decoded, {.newlines = true, .backslashes = true});
        }
        return QString::fromUtf8(text);
    }
    if (role == Qt::BackgroundRole || role == Qt::ForegroundRole) {
        return column == StatusColumn ? ToneRole(ToneOf(item), role) : QVariant();
    }
    if (column == FrameColumn || column == DurationColumn) {
        const auto frames = protocol::FramesOf(session_.frames(), packets, tx, item);
        if (!frames) {
            return {};
        }
        return static_cast<qulonglong>(column == FrameColumn ? frames->frame : frames->duration);
    }
    switch (column) {
    case RecordColumn:
        return static_cast<qulonglong>(protocol::FirstRecord(tx, item));
    case ItemColumn: {
        // The headline only: detail lines (a transfer's other reports, a command's wrapper)
        // are the tooltip's. A long one shows its start.
        constexpr qsizetype kShown = 200;
        QString text = QString::fromUtf8(protocol::TransferTitle(
            packets, tx, item, session_.decodedItem(itemNumber(topRow), fold_)));
        if (const std::uint64_t missing =
                protocol::MissingFramesBefore(session_.frames(), packets, tx, item)) {
            text += QStringLiteral(", after %1 missing frame%2")
                        .arg(missing)
                        .arg(missing == 1 ? QString() : QStringLiteral("s"));
        }
        if (text.size() > kShown) {
            text = text.left(kShown) + QStringLiteral("…");
        }
        return text;
    }
    case EndpointColumn:
        return HasEndpoint(item) ? Endpoint(item.address, item.endpoint) : QString();
    case DirectionColumn:
        return HasEndpoint(item) ? DirectionText(item.direction) : QString();
    case StatusColumn: {
        if (item.type == TransferType::Polling) {
            return QStringLiteral("NAK");
        }
        const std::string_view s = protocol::StatusName(item.status);
        return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
    }
    case BytesColumn:
        return HasEndpoint(item) && item.type != TransferType::Polling
                   ? QVariant(static_cast<qulonglong>(item.bytes))
                   : QVariant();
    case PayloadColumn:
        if (item.bytes == 0) {
            return QString();
        }
        // One byte past what is shown says whether there is more: a bulk transfer may
        // hold millions of transactions, and every row painted reads its payload.
        return Hex16(
            protocol::DeliveredPayloadStart(packets, tx, item, kPayloadShown + 1, kPayloadSpan)
                .bytes,
            item.bytes);
    default:
        return {};
    }
}

QVariant TransferTreeModel::rangeData(std::size_t topRow, std::size_t range, int column,
                                      int role) const {
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) {
        return {};
    }
    const TransferItem item = itemAt(topRow);
    const std::size_t ranges = rangeCount(item);
    if (role == Qt::ToolTipRole) {
        return column == ItemColumn
                   ? QVariant(QStringLiteral("Part %1 of %2: the transfer spans too many "
                                             "transactions to list at once; each part covers "
                                             "%3 transactions of the capture, other pipes' "
                                             "among them")
                                  .arg(Grouped(range + 1), Grouped(ranges), Grouped(pageSpan_)))
                   : QVariant();
    }
    const RangeSummary& r = rangeSummary(topRow, range);
    const protocol::Transactions& tx = session_.transactions();
    if (column == RecordColumn) {
        return r.first ? QVariant(static_cast<qulonglong>(tx[*r.first].first)) : QVariant();
    }
    if (column != ItemColumn) {
        return {};
    }
    const QString part = QStringLiteral("(part %1 of %2)").arg(Grouped(range + 1), Grouped(ranges));
    if (!r.first || !r.last) {
        return QStringLiteral("Records %1–%2: none of its transactions %3")
            .arg(Grouped(tx[r.from].first), Grouped(tx[r.to].last()), part);
    }
    return QStringLiteral("Records %1–%2: %3 transaction%4 %5")
        .arg(Grouped(tx[*r.first].first), Grouped(tx[*r.last].last()), Grouped(r.count),
             r.count == 1 ? QString() : QStringLiteral("s"), part);
}

QVariant TransferTreeModel::transactionData(const Transaction& t, int column, int role) const {
    const capture::PacketList& packets = session_.packets();
    if (role == Qt::BackgroundRole || role == Qt::ForegroundRole) {
        return column == StatusColumn ? ToneRole(ToneOf(t), role) : QVariant();
    }
    if (role == Qt::ToolTipRole) {
        if (column == StatusColumn) {
            return ToneTip(ToneOf(t));
        }
        return column == PayloadColumn && t.hasData()
                   ? PayloadTip(protocol::TransactionPayload(packets, t))
                   : QVariant();
    }
    switch (column) {
    case RecordColumn:
        return static_cast<qulonglong>(t.first);
    case ItemColumn: {
        const std::string_view kind = protocol::KindName(t.kind);
        QString text = QString::fromLatin1(kind.data(), static_cast<qsizetype>(kind.size()));
        if (t.hasData()) {
            text += QStringLiteral(" DATA%1").arg(protocol::TransactionToggle(packets, t));
        }
        return text;
    }
    case EndpointColumn:
        return t.hasToken() ? Endpoint(t.address, t.endpoint) : QString();
    case DirectionColumn:
        return t.hasToken() ? DirectionText(t.direction()) : QString();
    case StatusColumn: {
        const std::string_view s = protocol::OutcomeName(t.outcome);
        if (t.kind == TransactionKind::Sof) {
            return QString();
        }
        QString text = QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
        // The receiver discarded the data: the transfer waits for the retry.
        return t.corruptData ? text + QStringLiteral(", bad CRC16") : text;
    }
    case BytesColumn:
        return t.hasData() ? QVariant(static_cast<qulonglong>(
                                 protocol::TransactionPayloadLength(packets, t)))
                           : QVariant();
    case PayloadColumn:
        return t.hasData() ? Hex16(protocol::TransactionPayload(packets, t)) : QString();
    default:
        return {};
    }
}

QVariant TransferTreeModel::packetData(std::size_t record, int column, int role) const {
    const capture::PacketList& packets = session_.packets();
    const capture::RecordKind kind = packets.kind(record);
    if (role == Qt::BackgroundRole || role == Qt::ForegroundRole) {
        return column == StatusColumn ? ToneRole(ToneOf(kind), role) : QVariant();
    }
    const capture::CaptureRecord r = packets[record];
    if (role == Qt::ToolTipRole) {
        if (column == StatusColumn) {
            return ToneTip(ToneOf(kind));
        }
        return column == PayloadColumn && capture::IsData(kind) ? PayloadTip(r.bytes) : QVariant();
    }
    switch (column) {
    case RecordColumn:
        return static_cast<qulonglong>(record);
    case ItemColumn:
        return Latin(capture::KindName(kind));
    case EndpointColumn:
        return capture::IsToken(kind) && kind != capture::RecordKind::Sof
                   ? Endpoint(r.address, r.endpoint)
                   : QString();
    case BytesColumn:
        return capture::IsData(kind) ? QVariant(static_cast<qulonglong>(r.length)) : QVariant();
    case PayloadColumn:
        return capture::IsData(kind) ? Hex16(r.bytes) : QString();
    default:
        return {};
    }
}

QVariant TransferTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::ToolTipRole) {
        switch (section) {
        case StatusColumn:
            return QString::fromStdString(StatusLegend());
        case FrameColumn:
            return QStringLiteral("The frame number of the last SOF at or before the row, "
                                  "counted on across wraps of the 11-bit counter");
        case DurationColumn:
            return QStringLiteral("Frames from the item's first packet to its last");
        default:
            return {};
        }
    }
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    // The address and endpoint number of the item's pipe, as "5.1".
    static const char* const kTitles[] = {"Record", "Item",    "Addr.EP", "Direction", "Status",
                                          "Bytes",  "Payload", "Frame",   "Frames"};
    return section >= 0 && section < ColumnCount ? QString::fromLatin1(kTitles[section])
                                                 : QVariant();
}

} // namespace vintrace::display
