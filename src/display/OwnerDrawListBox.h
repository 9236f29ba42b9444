#pragma once

#include <QAbstractScrollArea>

#include <cstdint>
#include <functional>

namespace vintrace::display {

/// An owner-drawn list box for captures of any size: it stores nothing per line. It asks its
/// owner for each line's height and has the owner paint each visible line; it scrolls by
/// whole lines, so its position is a line index, not a pixel offset that could overflow.
class OwnerDrawListBox : public QAbstractScrollArea {
    Q_OBJECT
public:
    struct ItemState {
        bool selected = false;
        bool focused = false;
    };
    using MeasureItem = std::function<int(std::int64_t index)>;
    using DrawItem =
        std::function<void(QPainter& painter, std::int64_t index, const QRect& rect, ItemState)>;

    explicit OwnerDrawListBox(QWidget* parent = nullptr);

    void setMeasureItem(MeasureItem measure) { measure_ = std::move(measure); }
    void setDrawItem(DrawItem draw) { draw_ = std::move(draw); }

    /// Replaces all items by `count` placeholders: back to the top, nothing selected.
    void setCount(std::int64_t count);
    std::int64_t count() const { return count_; }

    /// The selected line, -1 for none.
    std::int64_t itemIndex() const { return itemIndex_; }
    /// Selects a line (or none with -1) without scrolling.
    void setItemIndex(std::int64_t index);

    /// The first visible line.
    std::int64_t topIndex() const { return top_; }
    /// Scrolls so `index` is the first visible line, as far as the list can scroll.
    void setTopIndex(std::int64_t index);
    /// The largest first line: the one from which the last line just fits.
    std::int64_t maxTopIndex() const;

    /// The line under a point of the viewport, or -1.
    std::int64_t itemAt(const QPoint& point) const;
    /// The rectangle of a visible line in viewport coordinates (empty when not visible).
    QRect itemRect(std::int64_t index) const;

    /// Scrolls as little as possible to show `index` whole.
    void ensureVisible(std::int64_t index);

signals:
    /// After a mouse press has moved the selection to the line under the pointer.
    void mousePressed(Qt::MouseButton button, const QPoint& position);
    /// After a key press has moved the selection.
    void keyPressed(int key, Qt::KeyboardModifiers modifiers);
    /// After setCount: the lines may now show other records.
    void itemsReplaced();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    int heightOf(std::int64_t index) const;
    /// Lines that fit from `top` downwards (at least 1 when there are lines).
    std::int64_t linesFrom(std::int64_t top) const;
    void updateScrollBar();

    MeasureItem measure_;
    DrawItem draw_;
    std::int64_t count_ = 0;
    std::int64_t itemIndex_ = -1;
    std::int64_t top_ = 0;
    mutable std::int64_t maxTopCache_ = -1;
    bool syncingScrollBar_ = false;
};

} // namespace vintrace::display
