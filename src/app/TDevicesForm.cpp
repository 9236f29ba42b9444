#include "app/TDevicesForm.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QTreeView>
#include <QVBoxLayout>

namespace vintrace::app {

TDevicesForm::TDevicesForm(SessionHub& hub, QWidget* parent)
    : QWidget(parent, Qt::Window), session_(hub.session()), model_(hub.session()) {
    setObjectName(QStringLiteral("DevicesForm"));
    setWindowTitle(QStringLiteral("Devices"));
    resize(640, 420);

    DeviceTree = new QTreeView(this);
    DeviceTree->setObjectName(QStringLiteral("DeviceTree"));
    DeviceTree->setSelectionMode(QAbstractItemView::SingleSelection);
    DeviceTree->setSelectionBehavior(QAbstractItemView::SelectRows);
    DeviceTree->setModel(&model_);
    QHeaderView* header = DeviceTree->header();
    header->resizeSection(display::DeviceTreeModel::ItemColumn, 520);
    header->setStretchLastSection(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(DeviceTree);

    // The selection, not the current row: the view makes the first row current when it gets
    // the focus, and merely opening the window must not move the main window's cursor.
    connect(DeviceTree->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TDevicesForm::selectionChanged);
    // A few rows per device: every device opens to its configurations at once.
    DeviceTree->expandToDepth(0);
    connect(&hub, &SessionHub::storeChanged, this, &TDevicesForm::Rebuild);
    connect(&hub, &SessionHub::cursorMoved, this,
            [this](std::size_t record, session::CursorFrom from) {
                if (from != session::CursorFrom::Devices) {
                    SelectRecord(record);
                }
            });
}

void TDevicesForm::Rebuild() {
    if (!isVisible()) {
        stale_ = true;
        return;
    }
    rebuildNow();
}

void TDevicesForm::rebuildNow() {
    stale_ = false;
    model_.Rebuild();
    DeviceTree->expandToDepth(0);
}

void TDevicesForm::showEvent(QShowEvent* event) {
    if (stale_) {
        rebuildNow();
    }
    QWidget::showEvent(event);
}

void TDevicesForm::selectionChanged(const QItemSelection& selected) {
    if (following_ || selected.indexes().isEmpty()) {
        return;
    }
    if (const auto record = model_.RecordOf(selected.indexes().front())) {
        session_.moveCursor(*record, session::CursorFrom::Devices);
    }
}

void TDevicesForm::SelectRecord(std::size_t record) {
    if (!isVisible()) {
        return;
    }
    const QModelIndex index = model_.IndexOfRecord(record);
    following_ = true;
    if (index.isValid()) {
        DeviceTree->setCurrentIndex(index);
        DeviceTree->scrollTo(index);
    } else {
        DeviceTree->selectionModel()->clearSelection();
        DeviceTree->setCurrentIndex({});
    }
    following_ = false;
}

} // namespace vintrace::app
