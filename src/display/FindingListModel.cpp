#include "display/FindingListModel.h"

#include <QApplication>
#include <QIcon>
#include <QStyle>

namespace vintrace::display {

namespace {

QString Text(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

QIcon SeverityIcon(protocol::Severity severity) {
    switch (severity) {
    case protocol::Severity::Error:
        return QApplication::style()->standardIcon(QStyle::SP_MessageBoxCritical);
    case protocol::Severity::Warning:
        return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
    case protocol::Severity::Info:
        break;
    }
    return QApplication::style()->standardIcon(QStyle::SP_MessageBoxInformation);
}

FindingListModel::FindingListModel(const session::FindingsJob& job, QObject* parent)
    : QAbstractTableModel(parent), job_(job) {}

void FindingListModel::Rebuild() {
    beginResetModel();
    endResetModel();
}

const protocol::Finding* FindingListModel::FindingAt(const QModelIndex& index) const {
    const std::vector<protocol::Finding>* all = job_.findings();
    if (!index.isValid() || index.model() != this || all == nullptr ||
        static_cast<std::size_t>(index.row()) >= all->size()) {
        return nullptr;
    }
    return &(*all)[static_cast<std::size_t>(index.row())];
}

int FindingListModel::rowCount(const QModelIndex& parent) const {
    const std::vector<protocol::Finding>* all = job_.findings();
    // At most a few hundred thousand: the checker lists a bounded number per rule.
    return parent.isValid() || all == nullptr ? 0 : static_cast<int>(all->size());
}

int FindingListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant FindingListModel::data(const QModelIndex& index, int role) const {
    const protocol::Finding* f = FindingAt(index);
    if (f == nullptr) {
        return {};
    }
    const int column = index.column();
    if (role == Qt::DecorationRole && column == SeverityColumn) {
        return SeverityIcon(f->severity);
    }
    if (role == Qt::ToolTipRole) {
        // The whole line, with the section it rests on and the span it covers.
        QString where = QStringLiteral("packets %1 to %2").arg(f->first).arg(f->last);
        if (f->first == f->last) {
            where = QStringLiteral("packet %1").arg(f->first);
        }
        return QStringLiteral("%1 (%2), %3").arg(Text(f->message), Text(f->reference), where);
    }
    if (role != Qt::DisplayRole && role != Qt::UserRole) {
        return {};
    }
    switch (column) {
    case SeverityColumn:
        return role == Qt::UserRole ? QVariant(static_cast<int>(f->severity))
                                    : QVariant(Text(protocol::SeverityName(f->severity)));
    case RuleColumn:
        return Text(f->rule);
    case MessageColumn:
        return Text(f->message);
    case RecordColumn:
        return role == Qt::UserRole ? QVariant(static_cast<qulonglong>(f->first))
                                    : QVariant(QString::number(f->first));
    default:
        return {};
    }
}

QVariant FindingListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    switch (section) {
    case SeverityColumn:
        return QStringLiteral("Severity");
    case RuleColumn:
        return QStringLiteral("Rule");
    case MessageColumn:
        return QStringLiteral("Message");
    case RecordColumn:
        return QStringLiteral("Packet");
    default:
        return {};
    }
}

} // namespace vintrace::display
