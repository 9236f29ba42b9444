#include "app/TTransfersForm.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QTreeView>
#include <QVBoxLayout>

namespace vintrace::app {

TTransfersForm::TTransfersForm(SessionHub& hub, QWidget* parent)
    : QWidget(parent, Qt::Window), session_(hub.session()), model_(hub.session()) {
    setObjectName(QStringLiteral("TransfersForm"));
    setWindowTitle(QStringLiteral("Transfers"));
    resize(980, 440);

    auto* filterLabel = new QLabel(QStringLiteral("Address:"), this);
    FilterEdit = new QLineEdit(this);
    FilterEdit->setObjectName(QStringLiteral("FilterEdit"));
    FilterEdit->setPlaceholderText(QStringLiteral("all, or 5, or 5.1"));
    filterLabel->setBuddy(FilterEdit);
    FoldCheckBox = new QCheckBox(QStringLiteral("Fold SOFs and polling"), this);
    FoldCheckBox->setObjectName(QStringLiteral("FoldCheckBox"));
    FoldCheckBox->setChecked(model_.fold());

    TransferTree = new QTreeView(this);
    TransferTree->setObjectName(QStringLiteral("TransferTree"));
    // Uniform heights let the view place rows without asking each one: millions scroll.
    TransferTree->setUniformRowHeights(true);
    TransferTree->setSelectionMode(QAbstractItemView::SingleSelection);
    TransferTree->setSelectionBehavior(QAbstractItemView::SelectRows);
    TransferTree->setModel(&model_);
    QHeaderView* header = TransferTree->header();
    header->setStretchLastSection(true);
    // The item column carries the decoded summary: it gets most of the room.
    const int widths[] = {70, 440, 64, 64, 72, 56};
    for (int c = 0; c < static_cast<int>(std::size(widths)); ++c) {
        header->resizeSection(c, widths[c]);
    }

    auto* top = new QHBoxLayout;
    top->addWidget(filterLabel);
    top->addWidget(FilterEdit);
    top->addWidget(FoldCheckBox);
    top->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(TransferTree);

    connect(FilterEdit, &QLineEdit::textChanged, this, &TTransfersForm::filterEdited);
    connect(FoldCheckBox, &QCheckBox::toggled, this,
            [this](bool checked) { model_.setFold(checked); });
    // The selection, not the current row: a view that takes the focus makes its first row
    // current without anyone choosing it.
    connect(TransferTree->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TTransfersForm::selectionChanged);
    connect(&hub, &SessionHub::storeChanged, this, &TTransfersForm::Rebuild);
    connect(&hub, &SessionHub::cursorMoved, this, &TTransfersForm::followCursor);
}

void TTransfersForm::Rebuild() {
    // A closed window waits until it is shown again, so that no store change pays for
    // indexes nobody looks at.
    if (!isVisible()) {
        stale_ = true;
        model_.Suspend();
        return;
    }
    stale_ = false;
    model_.Rebuild();
}

void TTransfersForm::showEvent(QShowEvent* event) {
    if (stale_) {
        stale_ = false;
        model_.Rebuild();
    }
    QWidget::showEvent(event);
}

void TTransfersForm::filterEdited(const QString& text) {
    const std::optional<display::TransferFilter> filter = display::TransferFilter::Parse(text);
    // Text that names no address keeps the tree as it was and says so.
    QPalette pal = FilterEdit->palette();
    pal.setColor(QPalette::Text, filter ? palette().color(QPalette::Text) : QColor(Qt::red));
    FilterEdit->setPalette(pal);
    if (filter && !(*filter == model_.filter())) {
        model_.setFilter(*filter);
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
    QModelIndex index = model_.IndexOfRecord(record);
    while (transfer && index.parent().isValid()) {
        index = index.parent();
    }
    following_ = true;
    if (index.isValid()) {
        TransferTree->setCurrentIndex(index);
        TransferTree->scrollTo(index);
    } else {
        TransferTree->selectionModel()->clearSelection();
        TransferTree->setCurrentIndex({});
    }
    following_ = false;
}

} // namespace vintrace::app
