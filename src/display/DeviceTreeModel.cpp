#include "display/DeviceTreeModel.h"

namespace vintrace::display {

DeviceTreeModel::DeviceTreeModel(session::CaptureSession& session, QObject* parent)
    : QAbstractItemModel(parent), session_(session) {
    Rebuild();
}

void DeviceTreeModel::setUsbIds(std::optional<protocol::UsbIds> ids) {
    ids_ = std::move(ids);
    idsLoaded_ = true;
    Rebuild();
}

void DeviceTreeModel::Rebuild() {
    beginResetModel();
    if (!idsLoaded_) {
        // The list is read once, when the first tree is built, and only if someone looks.
        ids_ = protocol::UsbIds::LoadSystem();
        idsLoaded_ = true;
    }
    nodes_.clear();
    top_.clear();
    rows_ = protocol::BuildDeviceTree(session_.devices().devices(), ids_ ? &*ids_ : nullptr);
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        top_.push_back(nodes_.size());
        flatten(rows_[i], kNoParent, static_cast<int>(i));
    }
    spans_.clear();
    for (const Node& n : nodes_) {
        spans_.emplace(n.row->record, n.row->record);
    }
    // A row's record opens its transfer; the transfer's end lets a packet inside it find the
    // row. The devices index is built, so the transfers it came from are at hand.
    const protocol::Transactions& tx = session_.transactions();
    for (const protocol::TransferItem& item : session_.transfers()) {
        const auto span = spans_.find(protocol::FirstRecord(tx, item));
        if (span != spans_.end() && item.type == protocol::TransferType::Control) {
            span->second = protocol::LastRecord(tx, item);
        }
    }
    endResetModel();
}

void DeviceTreeModel::flatten(const protocol::DeviceTreeRow& row, std::size_t parent,
                              int position) {
    const std::size_t self = nodes_.size();
    nodes_.push_back({&row, parent, position, {}});
    for (std::size_t i = 0; i < row.children.size(); ++i) {
        nodes_[self].children.push_back(nodes_.size());
        flatten(row.children[i], self, static_cast<int>(i));
    }
}

const std::vector<std::size_t>& DeviceTreeModel::childrenOf(const QModelIndex& parent) const {
    return parent.isValid() ? nodes_[parent.internalId()].children : top_;
}

std::optional<std::size_t> DeviceTreeModel::RecordOf(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this) {
        return std::nullopt;
    }
    return nodes_[index.internalId()].row->record;
}

const protocol::DeviceTreeRow* DeviceTreeModel::RowOf(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this) {
        return nullptr;
    }
    return nodes_[index.internalId()].row;
}

std::optional<std::size_t> DeviceTreeModel::LastRecordOf(const QModelIndex& index) const {
    const std::optional<std::size_t> first = RecordOf(index);
    if (!first) {
        return std::nullopt;
    }
    const auto span = spans_.find(*first);
    return span == spans_.end() ? *first : span->second;
}

QModelIndex DeviceTreeModel::IndexOfRecord(std::size_t record) const {
    // Transfers to different devices may overlap on the bus: the latest to start wins.
    std::optional<std::size_t> first;
    for (const auto& [from, to] : spans_) {
        if (from > record) {
            break;
        }
        if (record <= to) {
            first = from;
        }
    }
    if (!first) {
        return {};
    }
    // Nodes are in depth-first order: the first match is the outermost, earliest row.
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        if (nodes_[i].row->record == *first) {
            return createIndex(nodes_[i].position, 0, static_cast<quintptr>(i));
        }
    }
    return {};
}

QModelIndex DeviceTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (row < 0 || column < 0 || column >= ColumnCount) {
        return {};
    }
    const std::vector<std::size_t>& children = childrenOf(parent);
    if (static_cast<std::size_t>(row) >= children.size()) {
        return {};
    }
    return createIndex(row, column, static_cast<quintptr>(children[static_cast<std::size_t>(row)]));
}

QModelIndex DeviceTreeModel::parent(const QModelIndex& child) const {
    if (!child.isValid()) {
        return {};
    }
    const std::size_t parent = nodes_[child.internalId()].parent;
    if (parent == kNoParent) {
        return {};
    }
    return createIndex(nodes_[parent].position, 0, static_cast<quintptr>(parent));
}

int DeviceTreeModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() && parent.column() != 0) {
        return 0;
    }
    return static_cast<int>(childrenOf(parent).size());
}

int DeviceTreeModel::columnCount(const QModelIndex&) const {
    return ColumnCount;
}

QVariant DeviceTreeModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || role != Qt::DisplayRole) {
        return {};
    }
    const protocol::DeviceTreeRow& row = *nodes_[index.internalId()].row;
    if (index.column() == ItemColumn) {
        return QString::fromStdString(row.text);
    }
    return QString::number(row.record);
}

QVariant DeviceTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    switch (section) {
    case ItemColumn:
        return QStringLiteral("Device");
    case RecordColumn:
        return QStringLiteral("Packet");
    default:
        return {};
    }
}

} // namespace vintrace::display
