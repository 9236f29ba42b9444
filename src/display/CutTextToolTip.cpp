#include "display/CutTextToolTip.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QToolTip>

namespace vintrace::display {

bool CutTextToolTip::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                               const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() != QEvent::ToolTip || index.data(Qt::ToolTipRole).isValid()) {
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
    const QString text = index.data().toString();
    QStyleOptionViewItem item = option;
    initStyleOption(&item, index);
    // The room the style leaves for the text (beside an icon, if any), less its margins.
    const QRect textRect = view->style()->subElementRect(QStyle::SE_ItemViewItemText, &item, view);
    const int room =
        textRect.width() -
        2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, &item, view) + 1);
    if (text.isEmpty() || item.fontMetrics.horizontalAdvance(text) <= room) {
        QToolTip::hideText();
        event->ignore();
        return true;
    }
    QToolTip::showText(event->globalPos(), text, view);
    return true;
}

} // namespace vintrace::display
