#include "display/DeviceTreeModel.h"

#include "platform/ThreadPriority.h"

namespace vintrace::display {

DeviceTreeModel::DeviceTreeModel(session::CaptureSession& session, QObject* parent, bool build)
    : QAbstractItemModel(parent), session_(session) {
    if (build) {
        Rebuild();
    }
}

DeviceTreeModel::~DeviceTreeModel() {
    stopRebuild();
}

void DeviceTreeModel::setUsbIds(std::optional<protocol::UsbIds> ids) {
    // A worker may be reading the names.
    stopRebuild();
    ids_ = std::move(ids);
    idsLoaded_ = true;
    Rebuild();
}

void DeviceTreeModel::loadIds() {
    if (!idsLoaded_) {
        // Read only if someone looks.
        ids_ = protocol::UsbIds::LoadSystem();
        idsLoaded_ = true;
    }
}

void DeviceTreeModel::Rebuild() {
    stopRebuild();
    loadIds();
    const std::atomic<bool> never{false};
    adopt(*Lay(session_.devices(), usbIds(), never));
}

void DeviceTreeModel::RebuildAside(const protocol::DeviceModel& devices) {
    stopRebuild();
    loadIds();
    aside_ = std::make_unique<Aside>();
    Aside* aside = aside_.get();
    aside->worker = std::thread([aside, &devices, ids = usbIds()] {
        platform::RunBehindTheWindow();
        aside->result = Lay(devices, ids, aside->stop);
        aside->finished.store(true, std::memory_order_release);
    });
}

bool DeviceTreeModel::adoptRebuilt() {
    if (!aside_ || !aside_->finished.load(std::memory_order_acquire)) {
        return false;
    }
    // Finished, the worker touches nothing of the job any more: left to end alone, as joining
    // a thread still winding down would hold up the window.
    aside_->worker.detach();
    std::optional<Layout> result = std::move(aside_->result);
    aside_.reset();
    if (!result) {
        return false;
    }
    adopt(std::move(*result));
    return true;
}

void DeviceTreeModel::stopRebuild() {
    if (!aside_) {
        return;
    }
    aside_->stop.store(true, std::memory_order_relaxed);
    aside_->worker.join();
    aside_.reset();
}

void DeviceTreeModel::adopt(Layout layout) {
    beginResetModel();
    std::swap(layout_, layout);
    endResetModel();
    if (!layout.nodes.empty()) {
        // The rows of tens of thousands of devices (a device in a reset loop) take a while to
        // free.
        if (!disposal_) {
            disposal_ = std::make_unique<session::Disposal>();
        }
        disposal_->free(std::move(layout));
    }
}

std::optional<DeviceTreeModel::Layout> DeviceTreeModel::Lay(const protocol::DeviceModel& devices,
                                                            const protocol::UsbIds* ids,
                                                            const std::atomic<bool>& stop) {
    Layout layout;
    // A device at a time: a capture of a device in a reset loop holds tens of thousands.
    layout.rows.reserve(devices.devices().size());
    for (const protocol::DeviceInfo& device : devices.devices()) {
        if (stop.load(std::memory_order_relaxed)) {
            return std::nullopt;
        }
        layout.rows.push_back(protocol::BuildDeviceRow(device, ids));
    }
    for (std::size_t i = 0; i < layout.rows.size(); ++i) {
        layout.top.push_back(layout.nodes.size());
        Flatten(layout, layout.rows[i], kNoParent, static_cast<int>(i));
    }
    // A row's record opens its transfer; the transfer's end lets a packet inside it find the
    // row. Only control transfers deliver descriptors; a device opened by another transfer
    // keeps its one record.
    for (const Node& n : layout.nodes) {
        layout.spans.emplace(n.row->record,
                             devices.controlTransferEnd(n.row->record).value_or(n.row->record));
    }
    return layout;
}

void DeviceTreeModel::Flatten(Layout& layout, const protocol::DeviceTreeRow& row,
                              std::size_t parent, int position) {
    const std::size_t self = layout.nodes.size();
    layout.nodes.push_back({&row, parent, position, {}});
    for (std::size_t i = 0; i < row.children.size(); ++i) {
        layout.nodes[self].children.push_back(layout.nodes.size());
        Flatten(layout, row.children[i], self, static_cast<int>(i));
    }
}

const std::vector<std::size_t>& DeviceTreeModel::childrenOf(const QModelIndex& parent) const {
    return parent.isValid() ? layout_.nodes[parent.internalId()].children : layout_.top;
}

std::optional<std::size_t> DeviceTreeModel::RecordOf(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this) {
        return std::nullopt;
    }
    return layout_.nodes[index.internalId()].row->record;
}

const protocol::DeviceTreeRow* DeviceTreeModel::RowOf(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this) {
        return nullptr;
    }
    return layout_.nodes[index.internalId()].row;
}

std::optional<std::size_t> DeviceTreeModel::LastRecordOf(const QModelIndex& index) const {
    const std::optional<std::size_t> first = RecordOf(index);
    if (!first) {
        return std::nullopt;
    }
    const auto span = layout_.spans.find(*first);
    return span == layout_.spans.end() ? *first : span->second;
}

QModelIndex DeviceTreeModel::IndexOfRecord(std::size_t record) const {
    // Transfers to different devices may overlap on the bus: the latest to start wins.
    std::optional<std::size_t> first;
    for (const auto& [from, to] : layout_.spans) {
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
    for (std::size_t i = 0; i < layout_.nodes.size(); ++i) {
        if (layout_.nodes[i].row->record == *first) {
            return createIndex(layout_.nodes[i].position, 0, static_cast<quintptr>(i));
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
    const std::size_t parent = layout_.nodes[child.internalId()].parent;
    if (parent == kNoParent) {
        return {};
    }
    return createIndex(layout_.nodes[parent].position, 0, static_cast<quintptr>(parent));
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
    const protocol::DeviceTreeRow& row = *layout_.nodes[index.internalId()].row;
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
