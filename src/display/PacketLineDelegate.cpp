#include "display/PacketLineDelegate.h"

#include "display/KindStyle.h"
#include "display/PacketListModel.h"

#include <QPainter>

namespace vintrace::display {

namespace {
constexpr int kLineHeight = 25;
constexpr int kKindBoxWidth = 80;
constexpr int kShrinkStroke = 20;

QColor ToQColor(Rgb c) { return QColor(c.r, c.g, c.b); }

capture::RecordKind KindAt(const QModelIndex& index) {
    return static_cast<capture::RecordKind>(index.data(PacketListModel::KindRole).toInt());
}
} // namespace

void PacketLineDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    const capture::RecordKind kind = KindAt(index);
    const QRect r = option.rect;
    painter->save();
    painter->fillRect(r, Qt::white);
    const QRect box(r.left() + 4, r.top() + 3, kKindBoxWidth, r.height() - 6);
    painter->setPen(Qt::black);
    painter->setBrush(ToQColor(KindColour(kind)));
    painter->drawRect(box.adjusted(0, 0, -1, -1));
    painter->setPen(ToQColor(KindLabelColour(kind)));
    const auto label = KindLabel(kind);
    painter->drawText(box.adjusted(4, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft,
                      QString::fromLatin1(label.data(), static_cast<qsizetype>(label.size())));
    painter->setPen(Qt::black);
    const auto* model = static_cast<const PacketListModel*>(index.model());
    const QString detail = DetailText(model->record(index.row()));
    painter->drawText(QRect(box.right() + 12, r.top(), r.width() - box.width() - 16, r.height()),
                      Qt::AlignVCenter | Qt::AlignLeft, detail);
    if (option.state & QStyle::State_HasFocus) {
        painter->setPen(QPen(Qt::black, 1, Qt::DotLine));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(r.adjusted(0, 0, -1, -1));
    }
    painter->restore();
}

QSize PacketLineDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    return {kKindBoxWidth, kLineHeight};
}

void ShrinkLineDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    const QRect r = option.rect;
    painter->fillRect(r, Qt::white);
    painter->fillRect(QRect(r.left(), r.top(), kShrinkStroke, r.height()),
                      ToQColor(KindColour(KindAt(index))));
}

QSize ShrinkLineDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    return {kShrinkStroke, 1};
}

} // namespace vintrace::display
