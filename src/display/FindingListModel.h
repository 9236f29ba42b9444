#pragma once

#include "protocol/Diagnostics.h"
#include "session/FindingsJob.h"

#include <QAbstractTableModel>

#include <cstddef>
#include <optional>

class QIcon;

namespace vintrace::display {

/// The standard icon of a severity, for every view that marks findings.
QIcon SeverityIcon(protocol::Severity severity);

/// The findings of a FindingsJob, one row each in the checker's order (by first record). The
/// rows are read from the job's last result; whoever hears that the result changed calls
/// Rebuild(). Qt::UserRole gives each column's sort key (the record as a number).
class FindingListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { SeverityColumn, RuleColumn, MessageColumn, RecordColumn, ColumnCount };

    explicit FindingListModel(const session::FindingsJob& job, QObject* parent = nullptr);

    /// Shows the job's result as it is now.
    void Rebuild();
    /// The finding a row shows; nothing for an invalid index.
    const protocol::Finding* FindingAt(const QModelIndex& index) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    const session::FindingsJob& job_;
};

} // namespace vintrace::display
