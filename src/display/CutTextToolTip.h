#pragma once

#include <QStyledItemDelegate>

namespace vintrace::display {

/// Tooltips for an item view: the model's own tooltip where it has one, else a cell's whole
/// text when its column cuts it, and nothing for a cell that fits.
class CutTextToolTip : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
};

} // namespace vintrace::display
