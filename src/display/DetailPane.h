#pragma once

#include "protocol/FieldTree.h"

#include <QAbstractScrollArea>
#include <QSplitter>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

class QStandardItem;
class QStandardItemModel;
class QTreeView;

namespace vintrace::display {

/// A hex and ASCII dump of a payload, 16 bytes a line behind an offset, in a fixed font. Only
/// the lines in view are drawn, so a payload of megabytes scrolls as quickly as one of ten
/// bytes. A range of bytes can be highlighted; a click on a byte reports its offset.
class HexDumpView : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr std::size_t kBytesPerLine = 16;

    explicit HexDumpView(QWidget* parent = nullptr);

    /// Shows `bytes` from the top, nothing highlighted.
    void setBytes(std::vector<std::uint8_t> bytes);
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    /// Highlights [offset, offset + length) and scrolls its first line into view.
    void setHighlight(std::size_t offset, std::size_t length);
    std::size_t highlightOffset() const { return highlightOffset_; }
    std::size_t highlightLength() const { return highlightLength_; }
    /// The byte whose hex digits or ASCII character lie under `point` (viewport coordinates).
    std::optional<std::size_t> byteAt(QPoint point) const;
    /// Where byte `offset`'s hex digits are drawn (viewport coordinates); empty when out of
    /// view.
    QRect hexRect(std::size_t offset) const;
    /// Room for a whole line and the scroll bar.
    QSize sizeHint() const override;

signals:
    void byteClicked(std::size_t offset);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    /// Character column of a byte's hex digits and of its ASCII character.
    static int hexColumn(std::size_t column);
    static int asciiColumn(std::size_t column);
    std::size_t lineCount() const;
    int visibleLines() const;
    void updateScrollBar();

    std::vector<std::uint8_t> bytes_;
    std::size_t highlightOffset_ = 0;
    std::size_t highlightLength_ = 0;
};

/// The selected item's decoded fields (Name and Value) beside a dump of its whole payload,
/// as Wireshark's details and bytes panes: choosing a field highlights its bytes (hovering one
/// too, until the pointer leaves the fields), and a click on a byte chooses the innermost field
/// that holds it.
class DetailPane : public QSplitter {
    Q_OBJECT
public:
    explicit DetailPane(QWidget* parent = nullptr);

    QTreeView* FieldView = nullptr;
    HexDumpView* BytesView = nullptr;

    /// Shows `tree`, its top-level fields expanded.
    void ShowFields(protocol::FieldTree tree);
    /// Shows nothing.
    void Clear();
    /// Chooses the field at `place`, counting every field depth first from 0; false when
    /// there are fewer.
    bool SelectFieldAt(std::size_t place);
    /// Chooses the innermost field whose bytes hold `offset`; false when none does.
    bool SelectByte(std::size_t offset);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void fieldChosen();
    /// Lights the bytes of the field `index` shows.
    void light(const QModelIndex& index);
    void append(QStandardItem* parent, const protocol::FieldNode& node);

    QStandardItemModel* model_ = nullptr;
};

} // namespace vintrace::display
