#include "display/OwnerDrawListBox.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <climits>

namespace vintrace::display {

OwnerDrawListBox::OwnerDrawListBox(QWidget* parent) : QAbstractScrollArea(parent) {
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setAutoFillBackground(false);
    verticalScrollBar()->setSingleStep(1);
}

int OwnerDrawListBox::heightOf(std::int64_t index) const {
    return std::max(1, measure_ ? measure_(index) : 16);
}

void OwnerDrawListBox::setCount(std::int64_t count) {
    count_ = std::max<std::int64_t>(0, count);
    itemIndex_ = -1;
    top_ = 0;
    maxTopCache_ = -1;
    updateScrollBar();
    viewport()->update();
    emit itemsReplaced();
}

void OwnerDrawListBox::setItemIndex(std::int64_t index) {
    itemIndex_ = (index >= 0 && index < count_) ? index : -1;
    viewport()->update();
}

std::int64_t OwnerDrawListBox::maxTopIndex() const {
    if (maxTopCache_ >= 0) {
        return maxTopCache_;
    }
    // Walk back from the last line while the lines still fit the viewport.
    const int room = viewport()->height();
    std::int64_t top = count_;
    int used = 0;
    while (top > 0) {
        const int h = heightOf(top - 1);
        if (used + h > room && top < count_) {
            break;
        }
        used += h;
        --top;
    }
    maxTopCache_ = std::min(top, count_ > 0 ? count_ - 1 : 0);
    return maxTopCache_;
}

void OwnerDrawListBox::setTopIndex(std::int64_t index) {
    top_ = std::clamp<std::int64_t>(index, 0, maxTopIndex());
    updateScrollBar();
    viewport()->update();
}

std::int64_t OwnerDrawListBox::linesFrom(std::int64_t top) const {
    const int room = viewport()->height();
    std::int64_t n = 0;
    int used = 0;
    while (top + n < count_ && used < room) {
        used += heightOf(top + n);
        ++n;
    }
    return n;
}

void OwnerDrawListBox::updateScrollBar() {
    QScrollBar* bar = verticalScrollBar();
    syncingScrollBar_ = true;
    // Qt's scroll bar counts in int; past INT_MAX lines the keyboard still reaches every line.
    const std::int64_t maxTop = maxTopIndex();
    bar->setRange(0, static_cast<int>(std::min<std::int64_t>(maxTop, INT_MAX)));
    bar->setPageStep(static_cast<int>(std::max<std::int64_t>(1, linesFrom(top_))));
    bar->setValue(static_cast<int>(std::min<std::int64_t>(top_, INT_MAX)));
    syncingScrollBar_ = false;
}

void OwnerDrawListBox::scrollContentsBy(int, int) {
    if (syncingScrollBar_) {
        return;
    }
    top_ = std::clamp<std::int64_t>(verticalScrollBar()->value(), 0, maxTopIndex());
    viewport()->update();
}

std::int64_t OwnerDrawListBox::itemAt(const QPoint& point) const {
    if (point.y() < 0) {
        return -1;
    }
    int y = 0;
    for (std::int64_t i = top_; i < count_ && y < viewport()->height(); ++i) {
        const int h = heightOf(i);
        if (point.y() < y + h) {
            return i;
        }
        y += h;
    }
    return -1;
}

QRect OwnerDrawListBox::itemRect(std::int64_t index) const {
    if (index < top_ || index >= count_) {
        return {};
    }
    int y = 0;
    for (std::int64_t i = top_; i < index; ++i) {
        y += heightOf(i);
        if (y >= viewport()->height()) {
            return {};
        }
    }
    return QRect(0, y, viewport()->width(), heightOf(index));
}

void OwnerDrawListBox::ensureVisible(std::int64_t index) {
    if (index < 0 || index >= count_) {
        return;
    }
    if (index < top_) {
        setTopIndex(index);
        return;
    }
    // Is the line whole within the viewport from the current top?
    const int room = viewport()->height();
    int y = 0;
    for (std::int64_t i = top_; i <= index; ++i) {
        y += heightOf(i);
        if (y > room) {
            break;
        }
    }
    if (y <= room) {
        return;
    }
    // Make it the last whole line.
    std::int64_t top = index;
    int used = heightOf(index);
    while (top > 0 && used + heightOf(top - 1) <= room) {
        --top;
        used += heightOf(top);
    }
    setTopIndex(top);
}

void OwnerDrawListBox::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const QRect area = viewport()->rect();
    painter.fillRect(area, palette().color(QPalette::Base));
    int y = 0;
    for (std::int64_t i = top_; i < count_ && y < area.height(); ++i) {
        const int h = heightOf(i);
        const QRect rect(0, y, area.width(), h);
        const ItemState state{i == itemIndex_, hasFocus() && i == itemIndex_};
        if (state.selected) {
            // What the list itself paints for a selected line; an owner may paint over it.
            painter.fillRect(rect, palette().color(QPalette::Highlight));
        }
        if (draw_) {
            painter.save();
            painter.setClipRect(rect);
            draw_(painter, i, rect, state);
            painter.restore();
        }
        if (state.focused) {
            QPen dotted(Qt::black, 1, Qt::DotLine);
            painter.setPen(dotted);
            painter.setBrush(Qt::NoBrush);
            painter.drawRect(rect.adjusted(0, 0, -1, -1));
        }
        y += h;
    }
}

void OwnerDrawListBox::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    maxTopCache_ = -1;
    top_ = std::min(top_, maxTopIndex());
    updateScrollBar();
}

void OwnerDrawListBox::mousePressEvent(QMouseEvent* event) {
    const std::int64_t hit = itemAt(event->position().toPoint());
    if (hit >= 0) {
        itemIndex_ = hit;
        viewport()->update();
    }
    emit mousePressed(event->button(), event->position().toPoint());
}

void OwnerDrawListBox::keyPressEvent(QKeyEvent* event) {
    if (count_ == 0) {
        emit keyPressed(event->key(), event->modifiers());
        return;
    }
    const std::int64_t current = std::max<std::int64_t>(itemIndex_, 0);
    const std::int64_t page = std::max<std::int64_t>(1, linesFrom(top_) - 1);
    std::int64_t next = itemIndex_;
    switch (event->key()) {
    case Qt::Key_Down:
        next = itemIndex_ < 0 ? 0 : current + 1;
        break;
    case Qt::Key_Up:
        next = itemIndex_ < 0 ? 0 : current - 1;
        break;
    case Qt::Key_PageDown:
        next = current + page;
        break;
    case Qt::Key_PageUp:
        next = current - page;
        break;
    case Qt::Key_Home:
        next = 0;
        break;
    case Qt::Key_End:
        next = count_ - 1;
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
        emit keyPressed(event->key(), event->modifiers());
        return;
    }
    itemIndex_ = std::clamp<std::int64_t>(next, 0, count_ - 1);
    ensureVisible(itemIndex_);
    viewport()->update();
    emit keyPressed(event->key(), event->modifiers());
}

} // namespace vintrace::display
