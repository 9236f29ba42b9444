#include "app/TTransfersForm.h"

#include "app/WindowActions.h"
#include "display/CutTextToolTip.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

#include <climits>

namespace vintrace::app {

namespace {

/// Halfway from `colour` to `toward`: a row that is only a picture of what was.
QColor Faded(const QColor& colour, const QColor& toward) {
    return QColor((colour.red() + toward.red()) / 2, (colour.green() + toward.green()) / 2,
                  (colour.blue() + toward.blue()) / 2);
}

int DepthOf(QModelIndex index) {
    int depth = 0;
    for (index = index.parent(); index.isValid(); index = index.parent()) {
        ++depth;
    }
    return depth;
}

} // namespace

TTransfersForm::TTransfersForm(SessionHub& hub, QWidget* parent)
    : QWidget(parent, Qt::Window), hub_(hub), session_(hub.session()),
      model_(hub.session(), nullptr, /*suspended=*/true) {
    setObjectName(QStringLiteral("TransfersForm"));
    setWindowTitle(QStringLiteral("Transfers"));
    resize(980, 640);

    auto* filterLabel = new QLabel(QStringLiteral("Filter:"), this);
    FilterEdit = new QLineEdit(this);
    FilterEdit->setObjectName(QStringLiteral("FilterEdit"));
    FilterEdit->setPlaceholderText(QStringLiteral("all, or 5, 0x5.0x81, stall, hid 3.1..."));
    FilterEdit->setToolTip(
        QStringLiteral("An address or address.endpoint as the command line takes them (5, 0x5, "
                       "5.1, 5.0x81 for IN only), and words that narrow further: ok, stall, "
                       "incomplete, error; control, bulk, interrupt, isochronous, polling, sof; "
                       "hid, msc, cdc, hub, audio, printer, video, dfu, vendor. Escape clears."));
    filterLabel->setBuddy(FilterEdit);
    FoldCheckBox = new QCheckBox(QStringLiteral("Fold SOFs and polling"), this);
    FoldCheckBox->setObjectName(QStringLiteral("FoldCheckBox"));
    FoldCheckBox->setChecked(model_.fold());
    ShowSofsCheckBox = new QCheckBox(QStringLiteral("Show SOFs"), this);
    ShowSofsCheckBox->setObjectName(QStringLiteral("ShowSofsCheckBox"));
    ShowSofsCheckBox->setChecked(model_.showSofs());
    StateLabel = new QLabel(this);
    StateLabel->setObjectName(QStringLiteral("StateLabel"));
    StateLabel->setWordWrap(true);
    StateLabel->hide();

    TransferTree = new QTreeView(this);
    TransferTree->setObjectName(QStringLiteral("TransferTree"));
    // Uniform heights let the view place rows without asking each one: millions scroll.
    TransferTree->setUniformRowHeights(true);
    TransferTree->setSelectionMode(QAbstractItemView::SingleSelection);
    TransferTree->setSelectionBehavior(QAbstractItemView::SelectRows);
    TransferTree->setModel(&model_);
    TransferTree->setItemDelegate(new display::CutTextToolTip(TransferTree));
    // The tree's own bar would span only the window: ItemScrollBar spans the whole tree.
    TransferTree->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ItemScrollBar = new QScrollBar(Qt::Vertical, this);
    ItemScrollBar->setObjectName(QStringLiteral("ItemScrollBar"));
    QHeaderView* header = TransferTree->header();
    header->setStretchLastSection(true);
    // The item column carries the decoded summary: it gets most of the room.
    const int widths[] = {70, 440, 64, 64, 72, 56};
    for (int c = 0; c < static_cast<int>(std::size(widths)); ++c) {
        header->resizeSection(c, widths[c]);
    }
    // Time beside the record number, as the packet list's frame column goes.
    header->moveSection(header->visualIndex(display::TransferTreeModel::FrameColumn), 1);
    header->moveSection(header->visualIndex(display::TransferTreeModel::DurationColumn), 2);
    header->resizeSection(display::TransferTreeModel::FrameColumn, 64);
    header->resizeSection(display::TransferTreeModel::DurationColumn, 52);

    auto* top = new QHBoxLayout;
    top->addWidget(filterLabel);
    top->addWidget(FilterEdit);
    top->addWidget(FoldCheckBox);
    top->addWidget(ShowSofsCheckBox);
    top->addStretch();
    ProgressLabel = new QLabel(this);
    ProgressLabel->setObjectName(QStringLiteral("ProgressLabel"));
    ProgressLabel->hide();
    top->addWidget(ProgressLabel);
    saving_ = new SaveProgress(
        session_, session::CaptureSession::SavedView::Transfers, this,
        [this](const QString& title, const QString& text) { ShowMessage(title, text); });
    SaveLabel = saving_->label();
    StopSaveButton = saving_->stopButton();
    top->addWidget(SaveLabel);
    top->addWidget(StopSaveButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(StateLabel);
    auto* treeBox = new QWidget(this);
    auto* treeRow = new QHBoxLayout(treeBox);
    treeRow->setContentsMargins(0, 0, 0, 0);
    treeRow->setSpacing(0);
    treeRow->addWidget(TransferTree);
    FrozenTree = new QTreeView(this);
    FrozenTree->setObjectName(QStringLiteral("FrozenTree"));
    frozenModel_ = new QStandardItemModel(FrozenTree);
    FrozenTree->setModel(frozenModel_);
    FrozenTree->setUniformRowHeights(true);
    FrozenTree->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    FrozenTree->setEnabled(false);
    FrozenTree->hide();
    treeRow->addWidget(FrozenTree);
    treeRow->addWidget(ItemScrollBar);
    Details = new display::DetailPane(this);
    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(treeBox);
    split->addWidget(Details);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);
    layout->addWidget(split);

    connect(FilterEdit, &QLineEdit::textChanged, this, &TTransfersForm::filterEdited);
    connect(FoldCheckBox, &QCheckBox::toggled, this, &TTransfersForm::foldToggled);
    connect(ShowSofsCheckBox, &QCheckBox::toggled, this, [this](bool show) {
        model_.setShowSofs(show);
        updateState();
    });
    buildPoll_ = new QTimer(this);
    buildPoll_->setInterval(50);
    connect(buildPoll_, &QTimer::timeout, this, &TTransfersForm::pollBuild);
    // The selection, not the current row: a view that takes the focus makes its first row
    // current without anyone choosing it.
    connect(TransferTree->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TTransfersForm::selectionChanged);
    connect(TransferTree->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TTransfersForm::showDetails);
    connect(&model_, &QAbstractItemModel::modelReset, this, &TTransfersForm::showDetails);
    connect(&hub, &SessionHub::storeChanging, this, &TTransfersForm::freeze);
    connect(&hub, &SessionHub::storeChanged, this, &TTransfersForm::Rebuild);
    connect(ItemScrollBar, &QScrollBar::valueChanged, this, &TTransfersForm::scrollBarMoved);
    // After the tree has laid its rows out: queued, and at most once per turn of the loop.
    const auto queueSync = [this] {
        if (!syncQueued_) {
            syncQueued_ = true;
            QTimer::singleShot(0, this, [this] {
                syncQueued_ = false;
                syncScrollBar();
            });
        }
    };
    connect(TransferTree->verticalScrollBar(), &QScrollBar::valueChanged, this, queueSync);
    connect(TransferTree->verticalScrollBar(), &QScrollBar::rangeChanged, this, queueSync);
    connect(&model_, &QAbstractItemModel::modelReset, this, queueSync);
    TransferTree->installEventFilter(this);
    TransferTree->viewport()->installEventFilter(this);
    connect(&hub, &SessionHub::cursorMoved, this, &TTransfersForm::followCursor);
    FilterNote = new QLabel(this);
    FilterNote->setObjectName(QStringLiteral("FilterNote"));
    FilterNote->hide();
    layout->insertWidget(1, FilterNote);
    setUpActions();
    connect(&hub, &SessionHub::loadStarted, this, &TTransfersForm::ShowLoading);
    connect(&hub, &SessionHub::loadFinished, this, [this](bool) {
        loading_.clear();
        // A completed load replaces the store next, which rebuilds the tree; one that did not
        // leaves the capture that was open, whose tree still has to be built.
        QTimer::singleShot(0, this, [this] {
            if (stale_ && isVisible() && loading_.isEmpty()) {
                Rebuild();
            }
            updateState();
        });
        updateState();
    });
    updateState();
}

TTransfersForm::~TTransfersForm() {
    // The widgets go in ~QWidget, after this part of the window, and signal as they go (the
    // tree's scroll bar, its selection): nothing may reach the members already destroyed.
    model_.disconnect(this);
    for (QObject* child : findChildren<QObject*>()) {
        child->disconnect(this);
    }
    TransferTree->removeEventFilter(this);
    TransferTree->viewport()->removeEventFilter(this);
}

void TTransfersForm::ShowLoading(const QString& file) {
    loading_ = file.isEmpty() ? QStringLiteral("a capture") : QFileInfo(file).fileName();
    updateState();
}

void TTransfersForm::updateState() {
    QString state;
    if (!stale_ && session_.packets().empty()) {
        state = QStringLiteral("The capture is empty: it holds no packets.");
    } else if (!stale_ && model_.TopCount() == 0 && !buildPoll_->isActive() &&
               (!model_.filter().empty() || !model_.showSofs())) {
        state = QStringLiteral("No items match: the capture holds other traffic only.");
    }
    ShowWindowState(*this, *StateLabel, QStringLiteral("Transfers"), session_.fileName(), loading_,
                    state);
}

void TTransfersForm::fitRecordColumn() {
    const std::size_t records = session_.packets().size();
    const QString widest = QString::number(records == 0 ? 0 : records - 1);
    const QFontMetrics metrics = TransferTree->fontMetrics();
    const int digits =
        std::max(metrics.horizontalAdvance(widest),
                 metrics.horizontalAdvance(QString(widest.size(), QLatin1Char('0'))));
    // Packet rows sit two levels below the top, each level one indentation deeper than the
    // branch mark of the top level; the style keeps a margin either side of the text. A capture
    // with more transactions than a range covers may put them under a range, a level deeper.
    const int margin = TransferTree->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1;
    const int levels = records > model_.PageSpan() ? 4 : 3;
    TransferTree->header()->resizeSection(display::TransferTreeModel::RecordColumn,
                                          levels * TransferTree->indentation() + digits +
                                              2 * margin + 4);
}

void TTransfersForm::scrollWithParents(const QModelIndex& index) {
    TransferTree->scrollTo(index);
    std::vector<QModelIndex> parents;
    for (QModelIndex up = index.parent(); up.isValid(); up = up.parent()) {
        parents.insert(parents.begin(), up);
    }
    const QRect viewport = TransferTree->viewport()->rect();
    for (const QModelIndex& parent : parents) {
        if (TransferTree->visualRect(parent).top() >= 0) {
            break; // it and the inner ones are in view
        }
        TransferTree->scrollTo(parent, QAbstractItemView::PositionAtTop);
        if (viewport.contains(TransferTree->visualRect(index))) {
            break;
        }
        // Too far apart for both: the selected row wins, with an inner parent if one fits.
        TransferTree->scrollTo(index);
    }
}

void TTransfersForm::Rebuild() {
    // A closed window waits until it is shown again, so that no store change pays for
    // indexes nobody looks at; so does one whose capture is about to be replaced.
    if (!isVisible() || !loading_.isEmpty()) {
        stale_ = true;
        model_.Suspend();
        updateState();
        return;
    }
    stale_ = false;
    showFold(FoldCheckBox->isChecked());
    fitRecordColumn();
    updateState();
}

void TTransfersForm::showEvent(QShowEvent* event) {
    if (stale_ && loading_.isEmpty()) {
        stale_ = false;
        showFold(FoldCheckBox->isChecked());
        fitRecordColumn();
    }
    updateState();
    QWidget::showEvent(event);
}

void TTransfersForm::showFold(bool fold) {
    wantedFold_ = fold;
    if (session_.transfersReady(fold) ||
        (session_.packets().size() < TransfersBackgroundRecords && !buildAside_)) {
        buildPoll_->stop();
        ProgressLabel->hide();
        if (model_.fold() != fold) {
            model_.setFold(fold);
        } else {
            model_.Rebuild();
        }
        if (frozen_) {
            thaw();
        }
        return;
    }
    // The rows would come from indexes not built yet: the tree reads nothing meanwhile (the
    // snapshot of what it showed stands in its place after a change of the store).
    model_.Suspend();
    session_.prepareTransfers(fold);
    ProgressLabel->setText(QStringLiteral("Grouping transfers 0%"));
    ProgressLabel->show();
    buildPoll_->start();
}

void TTransfersForm::pollBuild() {
    session_.collectPrepared();
    if (session_.transfersReady(wantedFold_)) {
        // The other fold of the same store: its rows take the place of the ones shown.
        const bool switching = model_.live() && model_.fold() != wantedFold_;
        const Kept kept = switching ? keptView() : Kept{};
        const bool thawing = frozen_;
        showFold(wantedFold_);
        updateState();
        if (switching) {
            restoreKept(kept);
        } else if (const auto cursor = session_.cursor(); cursor && !thawing) {
            SelectRecord(*cursor);
        }
        return;
    }
    if (const auto progress = session_.preparing()) {
        ProgressLabel->setText(
            QStringLiteral("Grouping transfers %1%").arg(static_cast<int>(*progress * 100)));
    } else {
        // The store changed under the build; its change asks for the next one.
        buildPoll_->stop();
    }
}

void TTransfersForm::foldToggled(bool fold) {
    // The indexes of the fold on screen stay valid as long as the store does, and the worker
    // reads only the store.
    const bool keep = !stale_ && !frozen_ && model_.live();
    if (keep && fold == model_.fold()) {
        // Back before the other fold's list was ready: the tree shows this one already.
        wantedFold_ = fold;
        session_.stopPreparing();
        buildPoll_->stop();
        ProgressLabel->hide();
        return;
    }
    if (keep && !session_.transfersReady(fold) &&
        session_.packets().size() >= TransfersBackgroundRecords) {
        wantedFold_ = fold;
        session_.prepareTransfers(fold);
        ProgressLabel->setText(QStringLiteral("Grouping transfers 0%"));
        ProgressLabel->show();
        buildPoll_->start();
        return;
    }
    showFold(fold);
}

TTransfersForm::Kept TTransfersForm::keptView() const {
    Kept kept;
    const QModelIndexList rows = TransferTree->selectionModel()->selectedRows();
    if (!rows.isEmpty()) {
        kept.record = model_.FirstRecordOf(rows.front());
        kept.depth = DepthOf(rows.front());
    }
    kept.topRecord = model_.FirstRecordOf(TransferTree->indexAt(QPoint(0, 0)));
    kept.records = session_.packets().size();
    return kept;
}

void TTransfersForm::restoreKept(const Kept& kept) {
    const std::size_t records = session_.packets().size();
    if (kept.records != records) {
        return;
    }
    if (kept.topRecord && *kept.topRecord < records) {
        QModelIndex top = model_.IndexOfRecord(*kept.topRecord);
        while (top.parent().isValid()) {
            top = top.parent();
        }
        if (const auto position = model_.PositionOf(top)) {
            scrollToPosition(*position);
        }
    }
    if (!kept.record || *kept.record >= records) {
        return;
    }
    QModelIndex index = model_.IndexOfRecord(*kept.record);
    for (int depth = DepthOf(index); depth > kept.depth; --depth) {
        index = index.parent();
    }
    if (!index.isValid()) {
        return;
    }
    following_ = true;
    TransferTree->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                               QItemSelectionModel::Rows);
    scrollWithParents(index);
    following_ = false;
}

void TTransfersForm::freeze() {
    dropCopy(); // it would read the store about to change
    if (frozen_ || !model_.live()) {
        return;
    }
    if (!isVisible()) {
        model_.Suspend();
        return;
    }
    frozenKept_ = keptView();
    frozenModel_->clear();
    const int columns = model_.columnCount();
    QStringList titles;
    for (int c = 0; c < columns; ++c) {
        titles << model_.headerData(c, Qt::Horizontal).toString();
    }
    frozenModel_->setHorizontalHeaderLabels(titles);
    const QColor base = TransferTree->palette().color(QPalette::Base);
    const QColor text = TransferTree->palette().color(QPalette::Disabled, QPalette::Text);
    // The innermost row added at each depth: the parent of the next row one level deeper.
    std::vector<QStandardItem*> parents;
    const auto add = [&](const QModelIndex& index, int depth) {
        QList<QStandardItem*> cells;
        for (int c = 0; c < columns; ++c) {
            const QModelIndex cell = index.siblingAtColumn(c);
            auto* item = new QStandardItem(cell.data(Qt::DisplayRole).toString());
            if (const QVariant fg = cell.data(Qt::ForegroundRole); fg.canConvert<QColor>()) {
                item->setData(Faded(fg.value<QColor>(), text), Qt::ForegroundRole);
            }
            if (const QVariant bg = cell.data(Qt::BackgroundRole); bg.canConvert<QColor>()) {
                item->setData(Faded(bg.value<QColor>(), base), Qt::BackgroundRole);
            }
            item->setData(cell.data(Qt::DecorationRole), Qt::DecorationRole);
            item->setData(cell.data(Qt::TextAlignmentRole), Qt::TextAlignmentRole);
            cells.append(item);
        }
        QStandardItem* parent = depth == 0 ? frozenModel_->invisibleRootItem()
                                           : parents[static_cast<std::size_t>(depth - 1)];
        parent->appendRow(cells);
        parents.resize(static_cast<std::size_t>(depth));
        parents.push_back(cells.front());
        return cells.front();
    };
    QModelIndex row = TransferTree->indexAt(QPoint(0, 0));
    // The first row keeps its depth: the rows that hold it, scrolled out above, come first.
    std::vector<QModelIndex> above;
    for (QModelIndex up = row.parent(); up.isValid(); up = up.parent()) {
        above.insert(above.begin(), up);
    }
    for (std::size_t i = 0; i < above.size(); ++i) {
        add(above[i], static_cast<int>(i));
    }
    QStandardItem* first = nullptr;
    QStandardItem* current = nullptr;
    const QModelIndex selected = TransferTree->selectionModel()->selectedRows().value(0);
    const int height = TransferTree->viewport()->height();
    // Bounded by the viewport, and by a count in case rows report no height.
    for (int n = 0; row.isValid() && n < 1000; ++n) {
        if (TransferTree->visualRect(row).top() >= height) {
            break;
        }
        QStandardItem* item = add(row, DepthOf(row));
        first = first != nullptr ? first : item;
        if (row == selected) {
            current = item;
        }
        row = TransferTree->indexBelow(row);
    }
    FrozenTree->header()->restoreState(TransferTree->header()->saveState());
    treeHadFocus_ = TransferTree->hasFocus();
    frozen_ = true;
    model_.Suspend();
    TransferTree->hide();
    FrozenTree->show();
    FrozenTree->expandAll();
    ItemScrollBar->setEnabled(false);
    if (current != nullptr) {
        FrozenTree->selectionModel()->select(current->index(), QItemSelectionModel::ClearAndSelect |
                                                                   QItemSelectionModel::Rows);
    }
    if (first != nullptr) {
        FrozenTree->scrollTo(first->index(), QAbstractItemView::PositionAtTop);
    }
}

void TTransfersForm::thaw() {
    frozen_ = false;
    FrozenTree->hide();
    frozenModel_->clear();
    TransferTree->show();
    ItemScrollBar->setEnabled(true);
    if (treeHadFocus_) {
        TransferTree->setFocus();
    }
    // Where the user has put the cursor since, the tree follows it rather than what it showed.
    if (const auto cursor = session_.cursor(); cursor && cursor != frozenKept_.record) {
        frozenKept_.record = cursor;
        frozenKept_.depth = INT_MAX;
        frozenKept_.records = session_.packets().size();
    }
    restoreKept(frozenKept_);
    frozenKept_ = {};
}

void TTransfersForm::filterEdited(const QString& text) {
    const protocol::TransferFilterParse parsed = protocol::ParseTransferFilter(text.toStdString());
    // Text that is no filter filters nothing and says why, rather than keeping what an earlier
    // prefix of it filtered.
    FilterEdit->setStyleSheet(
        parsed.filter ? QString() : QStringLiteral("QLineEdit { border: 2px solid red; }"));
    FilterNote->setText(QString::fromStdString(parsed.error));
    FilterNote->setVisible(!parsed.filter);
    const display::TransferFilter filter =
        parsed.filter ? *parsed.filter : display::TransferFilter{};
    if (!(filter == model_.filter())) {
        applyFilter(filter);
        updateState();
    }
}

void TTransfersForm::selectionChanged() {
    if (following_) {
        return;
    }
    const QModelIndexList selected = TransferTree->selectionModel()->selectedIndexes();
    if (selected.isEmpty()) {
        return;
    }
    if (const auto record = model_.FirstRecordOf(selected.front())) {
        session_.moveCursor(*record, session::CursorFrom::Transfers);
    }
}

void TTransfersForm::showDetails() {
    const QModelIndexList rows = TransferTree->selectionModel()->selectedRows();
    const auto item = rows.isEmpty() ? std::nullopt : model_.ItemOf(rows.front());
    if (!item) {
        Details->Clear();
        return;
    }
    // A range's, a transaction's or a packet's row shows the transfer that holds it.
    Details->ShowFields(
        protocol::TransferFields(session_.packets(), session_.transactions(), session_.devices(),
                                 session_.transferList(model_.fold())[*item], nullptr,
                                 DetailPayloadBytes, DetailPayloadTransactions));
}

void TTransfersForm::followCursor(std::size_t record, session::CursorFrom from) {
    if (from == session::CursorFrom::Devices) {
        // The list shows the transfer's first packet; this window the transfer.
        SelectTransfer(record);
    } else if (from != session::CursorFrom::Transfers) {
        SelectRecord(record);
    }
}

void TTransfersForm::SelectRecord(std::size_t record) {
    select(record, false);
}

void TTransfersForm::SelectTransfer(std::size_t record) {
    select(record, true);
}

void TTransfersForm::select(std::size_t record, bool transfer) {
    if (!isVisible()) {
        return;
    }
    if (frozen_) {
        // Chosen once the tree is back.
        frozenKept_.record = record;
        frozenKept_.depth = transfer ? 0 : INT_MAX;
        frozenKept_.records = session_.packets().size();
        return;
    }
    QModelIndex index = model_.IndexOfRecord(record);
    while (transfer && index.parent().isValid()) {
        index = index.parent();
    }
    following_ = true;
    if (index.isValid()) {
        TransferTree->setCurrentIndex(index);
        scrollWithParents(index);
    } else {
        TransferTree->selectionModel()->clearSelection();
        TransferTree->setCurrentIndex({});
    }
    following_ = false;
}

bool TTransfersForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == TransferTree && event->type() == QEvent::KeyPress) {
        // The tree moves within its window; the ends of the whole tree are the window's
        // business.
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_End || key->key() == Qt::Key_Home) &&
            (key->modifiers() & ~(Qt::ControlModifier | Qt::KeypadModifier)) == 0 &&
            model_.rowCount() > 0) {
            const bool end = key->key() == Qt::Key_End;
            moveWindow(end ? model_.TopCount() : 0);
            const QModelIndex row = model_.index(end ? model_.rowCount() - 1 : 0, 0);
            TransferTree->selectionModel()->setCurrentIndex(
                row, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            TransferTree->scrollTo(row);
            return true;
        }
    } else if (watched == TransferTree->viewport() && event->type() == QEvent::Resize) {
        QTimer::singleShot(0, this, &TTransfersForm::syncScrollBar);
    }
    return QWidget::eventFilter(watched, event);
}

int TTransfersForm::pageRows() const {
    const int rowHeight = std::max(1, TransferTree->sizeHintForRow(0));
    return std::max(1, TransferTree->viewport()->height() / rowHeight);
}

void TTransfersForm::syncScrollBar() {
    const std::size_t count = model_.TopCount();
    const int page = pageRows();
    const std::optional<std::size_t> top = model_.PositionOf(TransferTree->indexAt(QPoint(0, 0)));
    syncing_ = true;
    ItemScrollBar->setRange(0, static_cast<int>(count - std::min<std::size_t>(count, page)));
    ItemScrollBar->setPageStep(page);
    ItemScrollBar->setSingleStep(1);
    if (top) {
        ItemScrollBar->setValue(static_cast<int>(*top));
    }
    syncing_ = false;
    if (!top) {
        return;
    }
    // Near either end of the window while there is more beyond it: centre the window on the
    // viewport before the user runs into its edge.
    const std::size_t start = model_.WindowStart();
    const std::size_t end = start + static_cast<std::size_t>(model_.rowCount());
    const std::size_t margin =
        std::max<std::size_t>(model_.WindowRows() / 4, static_cast<std::size_t>(page) + 1);
    const std::size_t bottom = *top + static_cast<std::size_t>(page);
    if ((start > 0 && *top < start + margin) || (end < count && bottom + margin > end)) {
        const std::size_t middle = *top + static_cast<std::size_t>(page) / 2;
        moveWindow(middle - std::min(middle, model_.WindowRows() / 2));
    }
}

void TTransfersForm::scrollBarMoved(int value) {
    if (!syncing_ && value >= 0) {
        scrollToPosition(static_cast<std::size_t>(value));
    }
}

void TTransfersForm::scrollToPosition(std::size_t position) {
    const std::size_t page = static_cast<std::size_t>(pageRows());
    const std::size_t start = model_.WindowStart();
    const std::size_t end = start + static_cast<std::size_t>(model_.rowCount());
    if (position < start || position + page > end) {
        const std::size_t middle = position + page / 2;
        moveWindow(middle - std::min(middle, model_.WindowRows() / 2));
    }
    const std::size_t now = model_.WindowStart();
    if (position < now) {
        return;
    }
    const QModelIndex index = model_.index(static_cast<int>(position - now), 0);
    if (index.isValid()) {
        TransferTree->scrollTo(index, QAbstractItemView::PositionAtTop);
    }
}

TTransfersForm::ViewState TTransfersForm::viewState() const {
    ViewState state;
    state.topPosition = model_.PositionOf(TransferTree->indexAt(QPoint(0, 0)));
    const QModelIndex current = TransferTree->currentIndex();
    state.currentPosition = model_.PositionOf(current);
    state.currentRecord = model_.FirstRecordOf(current);
    for (QModelIndex up = current.parent(); up.isValid(); up = up.parent()) {
        ++state.currentDepth;
    }
    for (int row = 0; row < model_.rowCount(); ++row) {
        const QModelIndex item = model_.index(row, 0);
        if (!TransferTree->isExpanded(item)) {
            continue;
        }
        std::vector<int> transactions;
        for (int mid = 0; mid < model_.rowCount(item); ++mid) {
            if (TransferTree->isExpanded(model_.index(mid, 0, item))) {
                transactions.push_back(mid);
            }
        }
        state.expanded.emplace_back(model_.WindowStart() + static_cast<std::size_t>(row),
                                    std::move(transactions));
    }
    return state;
}

void TTransfersForm::restoreView(const ViewState& state) {
    const std::size_t start = model_.WindowStart();
    for (const auto& [position, transactions] : state.expanded) {
        if (position < start || position - start >= static_cast<std::size_t>(model_.rowCount())) {
            continue;
        }
        const QModelIndex item = model_.index(static_cast<int>(position - start), 0);
        TransferTree->expand(item);
        while (!transactions.empty() && model_.rowCount(item) <= transactions.back() &&
               model_.canFetchMore(item)) {
            model_.fetchMore(item);
        }
        for (const int mid : transactions) {
            TransferTree->expand(model_.index(mid, 0, item));
        }
    }
    following_ = true;
    const std::size_t end = start + static_cast<std::size_t>(model_.rowCount());
    // A current row the window left behind stays behind: looking it up would move it back.
    if (state.currentRecord && state.currentPosition && *state.currentPosition >= start &&
        *state.currentPosition < end) {
        QModelIndex current = model_.IndexOfRecord(*state.currentRecord);
        {
            int depth = 0;
            for (QModelIndex up = current.parent(); up.isValid(); up = up.parent()) {
                ++depth;
            }
            for (; depth > state.currentDepth; --depth) {
                current = current.parent();
            }
            TransferTree->selectionModel()->setCurrentIndex(
                current, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        }
    }
    following_ = false;
    if (state.topPosition && *state.topPosition >= start) {
        const QModelIndex top = model_.index(static_cast<int>(*state.topPosition - start), 0);
        if (top.isValid()) {
            TransferTree->scrollTo(top, QAbstractItemView::PositionAtTop);
        }
    }
}

void TTransfersForm::moveWindow(std::size_t start) {
    const std::size_t before = model_.WindowStart();
    const ViewState state = viewState();
    model_.MoveWindow(start);
    if (model_.WindowStart() != before) {
        restoreView(state);
    }
}

} // namespace vintrace::app
