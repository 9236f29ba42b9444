#include "display/DetailPane.h"

#include <QFontDatabase>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTreeView>

#include <algorithm>

namespace vintrace::display {

namespace {

constexpr int kOffsetRole = Qt::UserRole;
constexpr int kLengthRole = Qt::UserRole + 1;
/// "00000010  " before the first byte; the ASCII column after the hex and one space.
constexpr int kHexStart = 10;
constexpr int kAsciiStart = kHexStart + 16 * 3 + 1 + 1;
constexpr int kLineColumns = kAsciiStart + 16;
constexpr int kMargin = 4;

} // namespace

HexDumpView::HexDumpView(QWidget* parent) : QAbstractScrollArea(parent) {
    setObjectName(QStringLiteral("BytesView"));
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
}

int HexDumpView::hexColumn(std::size_t column) {
    return kHexStart + static_cast<int>(column) * 3 + (column >= 8 ? 1 : 0);
}

int HexDumpView::asciiColumn(std::size_t column) {
    return kAsciiStart + static_cast<int>(column);
}

std::size_t HexDumpView::lineCount() const {
    return (bytes_.size() + kBytesPerLine - 1) / kBytesPerLine;
}

int HexDumpView::visibleLines() const {
    return std::max(1, viewport()->height() / std::max(1, fontMetrics().height()));
}

void HexDumpView::updateScrollBar() {
    const std::size_t lines = lineCount();
    const std::size_t shown = static_cast<std::size_t>(visibleLines());
    verticalScrollBar()->setRange(
        0, static_cast<int>(std::min<std::size_t>(lines > shown ? lines - shown : 0, INT32_MAX)));
    verticalScrollBar()->setPageStep(static_cast<int>(shown));
    const int width =
        kLineColumns * fontMetrics().horizontalAdvance(QLatin1Char('0')) + 2 * kMargin;
    horizontalScrollBar()->setRange(0, std::max(0, width - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
}

QSize HexDumpView::sizeHint() const {
    const int width = kLineColumns * fontMetrics().horizontalAdvance(QLatin1Char('0')) +
                      2 * kMargin + verticalScrollBar()->sizeHint().width() + 2 * frameWidth();
    return {width, QAbstractScrollArea::sizeHint().height()};
}

void HexDumpView::setBytes(std::vector<std::uint8_t> bytes) {
    bytes_ = std::move(bytes);
    highlightOffset_ = 0;
    highlightLength_ = 0;
    updateScrollBar();
    verticalScrollBar()->setValue(0);
    viewport()->update();
}

void HexDumpView::setHighlight(std::size_t offset, std::size_t length) {
    highlightOffset_ = offset;
    highlightLength_ = length;
    const auto line = static_cast<int>(std::min<std::size_t>(offset / kBytesPerLine, INT32_MAX));
    const int first = verticalScrollBar()->value();
    if (length > 0 && (line < first || line >= first + visibleLines())) {
        verticalScrollBar()->setValue(std::max(0, line - visibleLines() / 3));
    }
    viewport()->update();
}

std::optional<std::size_t> HexDumpView::byteAt(QPoint point) const {
    const QFontMetrics fm = fontMetrics();
    const int cw = std::max(1, fm.horizontalAdvance(QLatin1Char('0')));
    if (point.y() < 0 || point.x() + horizontalScrollBar()->value() < kMargin) {
        return std::nullopt;
    }
    const std::size_t line = static_cast<std::size_t>(verticalScrollBar()->value()) +
                             static_cast<std::size_t>(point.y() / std::max(1, fm.height()));
    const int column = (point.x() + horizontalScrollBar()->value() - kMargin) / cw;
    for (std::size_t j = 0; j < kBytesPerLine; ++j) {
        if ((column >= hexColumn(j) && column < hexColumn(j) + 2) || column == asciiColumn(j)) {
            const std::size_t offset = line * kBytesPerLine + j;
            if (offset < bytes_.size()) {
                return offset;
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

QRect HexDumpView::hexRect(std::size_t offset) const {
    const QFontMetrics fm = fontMetrics();
    const int cw = fm.horizontalAdvance(QLatin1Char('0'));
    const std::size_t line = offset / kBytesPerLine;
    const auto first = static_cast<std::size_t>(verticalScrollBar()->value());
    if (offset >= bytes_.size() || line < first ||
        line >= first + static_cast<std::size_t>(visibleLines())) {
        return {};
    }
    const int x = kMargin + hexColumn(offset % kBytesPerLine) * cw - horizontalScrollBar()->value();
    return {x, static_cast<int>(line - first) * fm.height(), 2 * cw, fm.height()};
}

void HexDumpView::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    p.setFont(font());
    const QFontMetrics fm = fontMetrics();
    const int cw = fm.horizontalAdvance(QLatin1Char('0'));
    const int lh = fm.height();
    const int x0 = kMargin - horizontalScrollBar()->value();
    const auto first = static_cast<std::size_t>(verticalScrollBar()->value());
    const QColor text = palette().color(QPalette::Text);
    const QColor marked = palette().color(QPalette::HighlightedText);
    const QColor markBack = palette().color(QPalette::Highlight);
    const std::size_t highlightEnd = highlightOffset_ + highlightLength_;
    static constexpr char kDigits[] = "0123456789abcdef";
    // Only the lines in view: a payload of megabytes costs no more than one of a line.
    for (int l = 0; l <= visibleLines(); ++l) {
        const std::size_t line = first + static_cast<std::size_t>(l);
        if (line >= lineCount()) {
            break;
        }
        const int y = l * lh;
        const int baseline = y + fm.ascent();
        const std::size_t start = line * kBytesPerLine;
        p.setPen(text);
        p.drawText(x0, baseline, QStringLiteral("%1").arg(start, 8, 16, QLatin1Char('0')));
        for (std::size_t j = 0; j < kBytesPerLine && start + j < bytes_.size(); ++j) {
            const std::size_t at = start + j;
            const std::uint8_t b = bytes_[at];
            const bool lit = at >= highlightOffset_ && at < highlightEnd;
            const int hx = x0 + hexColumn(j) * cw;
            const int ax = x0 + asciiColumn(j) * cw;
            if (lit) {
                // Runs of lit bytes join across the space between them.
                const bool joined =
                    at + 1 < highlightEnd && j + 1 < kBytesPerLine && at + 1 < bytes_.size();
                const int width = joined ? (hexColumn(j + 1) - hexColumn(j)) * cw : 2 * cw;
                p.fillRect(hx, y, width, lh, markBack);
                p.fillRect(ax, y, cw, lh, markBack);
            }
            p.setPen(lit ? marked : text);
            const char hex[2] = {kDigits[b >> 4], kDigits[b & 0x0F]};
            p.drawText(hx, baseline, QString::fromLatin1(hex, 2));
            p.drawText(ax, baseline,
                       QString(QChar(b >= 0x20 && b < 0x7F ? static_cast<char16_t>(b) : u'.')));
        }
    }
}

void HexDumpView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        if (const auto offset = byteAt(event->position().toPoint())) {
            emit byteClicked(*offset);
        }
    }
    QAbstractScrollArea::mousePressEvent(event);
}

void HexDumpView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBar();
}

DetailPane::DetailPane(QWidget* parent) : QSplitter(Qt::Horizontal, parent) {
    setObjectName(QStringLiteral("DetailPane"));
    model_ = new QStandardItemModel(this);
    model_->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Value")});
    FieldView = new QTreeView(this);
    FieldView->setObjectName(QStringLiteral("FieldView"));
    FieldView->setModel(model_);
    FieldView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FieldView->setSelectionBehavior(QAbstractItemView::SelectRows);
    FieldView->setSelectionMode(QAbstractItemView::SingleSelection);
    FieldView->header()->resizeSection(0, 220);
    BytesView = new HexDumpView(this);
    addWidget(FieldView);
    addWidget(BytesView);
    // Extra room goes to the fields; the dump keeps a whole line's width.
    setStretchFactor(0, 1);
    setStretchFactor(1, 0);
    connect(FieldView->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &DetailPane::fieldChosen);
    FieldView->setMouseTracking(true);
    FieldView->viewport()->installEventFilter(this);
    connect(FieldView, &QAbstractItemView::entered, this, &DetailPane::light);
    connect(BytesView, &HexDumpView::byteClicked, this, [this](std::size_t offset) {
        if (!SelectByte(offset)) {
            FieldView->setCurrentIndex({});
            BytesView->setHighlight(offset, 1);
        }
    });
}

void DetailPane::append(QStandardItem* parent, const protocol::FieldNode& node) {
    auto* name = new QStandardItem(QString::fromStdString(node.name));
    auto* value = new QStandardItem(QString::fromStdString(node.value));
    name->setData(QVariant::fromValue<qulonglong>(node.offset), kOffsetRole);
    name->setData(QVariant::fromValue<qulonglong>(node.length), kLengthRole);
    // Long names (report items) and values (strings) are cut by their columns.
    name->setToolTip(name->text());
    value->setToolTip(value->text());
    for (const protocol::FieldNode& child : node.children) {
        append(name, child);
    }
    parent->appendRow({name, value});
}

void DetailPane::ShowFields(protocol::FieldTree tree) {
    model_->removeRows(0, model_->rowCount());
    for (const protocol::FieldNode& node : tree.fields) {
        append(model_->invisibleRootItem(), node);
    }
    BytesView->setBytes(std::move(tree.payload));
    FieldView->expandToDepth(0);
    // A field that holds a single one (a data stage's descriptor) opens it too.
    for (int row = 0; row < model_->rowCount(); ++row) {
        QModelIndex index = model_->index(row, 0);
        while (model_->rowCount(index) == 1) {
            index = model_->index(0, 0, index);
            FieldView->expand(index);
        }
    }
}

void DetailPane::Clear() {
    ShowFields({});
}

void DetailPane::fieldChosen() {
    light(FieldView->currentIndex());
}

void DetailPane::light(const QModelIndex& index) {
    const QModelIndex field = index.siblingAtColumn(0);
    if (!field.isValid()) {
        BytesView->setHighlight(0, 0);
        return;
    }
    BytesView->setHighlight(field.data(kOffsetRole).toULongLong(),
                            field.data(kLengthRole).toULongLong());
}

bool DetailPane::eventFilter(QObject* watched, QEvent* event) {
    // The pointer left the fields: the chosen field's bytes again.
    if (watched == FieldView->viewport() && event->type() == QEvent::Leave) {
        fieldChosen();
    }
    return QSplitter::eventFilter(watched, event);
}

bool DetailPane::SelectFieldAt(std::size_t place) {
    // Depth first without recursion: the tree of a report descriptor can be deep.
    std::vector<QModelIndex> pending;
    for (int row = model_->rowCount() - 1; row >= 0; --row) {
        pending.push_back(model_->index(row, 0));
    }
    for (std::size_t seen = 0; !pending.empty(); ++seen) {
        const QModelIndex index = pending.back();
        pending.pop_back();
        if (seen == place) {
            FieldView->setCurrentIndex(index);
            FieldView->scrollTo(index);
            return true;
        }
        for (int row = model_->rowCount(index) - 1; row >= 0; --row) {
            pending.push_back(model_->index(row, 0, index));
        }
    }
    return false;
}

bool DetailPane::SelectByte(std::size_t offset) {
    QModelIndex innermost;
    QModelIndex parent;
    // Down the tree through the first field at each level that holds the byte.
    for (bool deeper = true; deeper;) {
        deeper = false;
        for (int row = 0; row < model_->rowCount(parent); ++row) {
            const QModelIndex index = model_->index(row, 0, parent);
            const auto at = static_cast<std::size_t>(index.data(kOffsetRole).toULongLong());
            const auto length = static_cast<std::size_t>(index.data(kLengthRole).toULongLong());
            if (offset >= at && offset - at < length) {
                innermost = index;
                parent = index;
                deeper = true;
                break;
            }
        }
    }
    if (!innermost.isValid()) {
        return false;
    }
    FieldView->setCurrentIndex(innermost);
    FieldView->scrollTo(innermost);
    return true;
}

} // namespace vintrace::display
