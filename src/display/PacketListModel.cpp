#include "display/PacketListModel.h"

#include <climits>

namespace vintrace::display {

using capture::RecordKind;

PacketListModel::PacketListModel(const capture::PacketList& packets, QObject* parent)
    : QAbstractListModel(parent), packets_(packets) {}

int PacketListModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid()) {
        return 0;
    }
    // Qt counts rows in int; a larger capture shows its first INT_MAX packets.
    return static_cast<int>(std::min<std::size_t>(packets_.size(), INT_MAX));
}

QVariant PacketListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const auto row = static_cast<std::size_t>(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return SummaryText(packets_[row]);
    case KindRole:
        return static_cast<int>(packets_.kind(row));
    default:
        return {};
    }
}

QString DetailText(const capture::CaptureRecord& r) {
    QString text;
    if (capture::IsToken(r.kind)) {
        text = QStringLiteral("Address %1  Endpoint %2").arg(r.address).arg(r.endpoint);
    } else if (r.kind == RecordKind::Sof) {
        const unsigned frame = (r.byteAt(0) | (r.byteAt(1) << 8)) & 0x7FF;
        text = QStringLiteral("Frame %1").arg(frame);
    } else if (capture::IsData(r.kind) || r.kind == RecordKind::Unknown) {
        // Data packets end in their CRC16, which is not payload.
        std::size_t shown = r.bytes.size();
        if (capture::IsData(r.kind)) {
            shown = r.length >= 2 ? std::min<std::size_t>(shown, r.length - 2u) : 0;
        }
        for (std::size_t i = 0; i < shown; ++i) {
            if (i != 0) {
                text += QLatin1Char(' ');
            }
            text += QStringLiteral("%1").arg(r.bytes[i], 2, 16, QLatin1Char('0')).toUpper();
        }
    }
    return text;
}

QString SummaryText(const capture::CaptureRecord& r) {
    const std::string_view name = capture::KindName(r.kind);
    const QString detail = DetailText(r);
    QString text = QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
    return detail.isEmpty() ? text : text + QStringLiteral("  ") + detail;
}

} // namespace vintrace::display
