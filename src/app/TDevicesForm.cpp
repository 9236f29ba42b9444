#include "app/TDevicesForm.h"

#include "session/ViewSave.h"

#include "app/WindowActions.h"

#include "capture/StagedFile.h"
#include "display/CutTextToolTip.h"
#include "protocol/DeviceJson.h"
#include "protocol/DeviceTree.h"

#include <QAction>
#include <QClipboard>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMessageBox>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QToolTip>
#include <QTreeView>
#include <QVBoxLayout>

namespace vintrace::app {

namespace {

/// `index`'s text, then, when the view shows them, its rows', two spaces deeper per level.
void AppendShown(const QTreeView& view, const QModelIndex& index, int depth, QString& out) {
    out += QString(depth * 2, QLatin1Char(' ')) + index.data().toString() + QLatin1Char('\n');
    if (!view.isExpanded(index)) {
        return;
    }
    for (int row = 0; row < view.model()->rowCount(index); ++row) {
        AppendShown(view, view.model()->index(row, 0, index), depth + 1, out);
    }
}

} // namespace

// No rows until the window is first shown: a large capture builds them on a worker.
TDevicesForm::TDevicesForm(SessionHub& hub, QWidget* parent)
    : QWidget(parent, Qt::Window), session_(hub.session()), model_(hub.session(), nullptr, false) {
    setObjectName(QStringLiteral("DevicesForm"));
    resize(900, 620);

    StateLabel = new QLabel(this);
    StateLabel->setObjectName(QStringLiteral("StateLabel"));
    StateLabel->setWordWrap(true);
    DeviceTree = new QTreeView(this);
    DeviceTree->setObjectName(QStringLiteral("DeviceTree"));
    DeviceTree->setSelectionMode(QAbstractItemView::SingleSelection);
    DeviceTree->setSelectionBehavior(QAbstractItemView::SelectRows);
    // Field values line up under each other, as the command line prints them.
    DeviceTree->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    DeviceTree->setItemDelegate(new display::CutTextToolTip(DeviceTree));
    DeviceTree->setModel(&model_);
    QHeaderView* header = DeviceTree->header();
    header->resizeSection(display::DeviceTreeModel::ItemColumn, 520);
    header->setStretchLastSection(true);

    const auto action = [this](const char* text, const char* name, QKeySequence keys) {
        return AddViewAction(this, DeviceTree, text, name, keys);
    };
    CopyAction = action("Copy", "CopyAction", QKeySequence::Copy);
    FirstPacketAction = action("Go to first packet", "FirstPacketAction", {});
    LastPacketAction = action("Go to last packet", "LastPacketAction", {});
    SaveTextAction = action("Save as text...", "SaveTextAction", QKeySequence::Save);
    SaveJsonAction = action("Save as JSON...", "SaveJsonAction", {});
    CopyPayloadAction = action("Copy payload as hex", "CopyPayloadAction", {});
    SavePayloadAction = action("Save payload as...", "SavePayloadAction", {});
    FilterDeviceAction = action("Filter to this device", "FilterDeviceAction", {});
    FilterEndpointAction = action("Filter to this endpoint", "FilterEndpointAction", {});
    connect(SaveJsonAction, &QAction::triggered, this, [this] { saveView(true); });
    connect(CopyPayloadAction, &QAction::triggered, this, &TDevicesForm::copyPayload);
    connect(SavePayloadAction, &QAction::triggered, this, &TDevicesForm::savePayload);
    connect(FilterDeviceAction, &QAction::triggered, this, [this] { filterTo(false); });
    connect(FilterEndpointAction, &QAction::triggered, this, [this] { filterTo(true); });
    ChooseJsonFile = SaveFileChooser(this, QStringLiteral("Save devices as JSON"),
                                     QStringLiteral("JSON (*.json);;All files (*)"));
    ChoosePayloadFile = SaveFileChooser(this, QStringLiteral("Save descriptor"),
                                        QStringLiteral("Binary (*.bin);;All files (*)"));
    DeviceTree->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(CopyAction, &QAction::triggered, this, [this] {
        const QString text = SelectionText();
        if (!text.isEmpty()) {
            QGuiApplication::clipboard()->setText(text);
        }
    });
    connect(FirstPacketAction, &QAction::triggered, this, [this] { goTo(false); });
    connect(LastPacketAction, &QAction::triggered, this, [this] { goTo(true); });
    connect(SaveTextAction, &QAction::triggered, this, [this] { saveView(false); });
    ChooseTextFile = SaveFileChooser(this, QStringLiteral("Save devices as text"),
                                     QStringLiteral("Text (*.txt);;All files (*)"));
    ShowMessage = [this](const QString& title, const QString& text) {
        QMessageBox::warning(this, title, text);
    };

    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(StateLabel, 1);
    saving_ = new SaveProgress(
        session_, session::CaptureSession::SavedView::Devices, this,
        [this](const QString& title, const QString& text) { ShowMessage(title, text); });
    SaveLabel = saving_->label();
    StopSaveButton = saving_->stopButton();
    top->addWidget(SaveLabel);
    top->addWidget(StopSaveButton);
    layout->addLayout(top);
    Details = new display::DetailPane(this);
    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(DeviceTree);
    split->addWidget(Details);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    layout->addWidget(split);

    // The selection, not the current row: the view makes the first row current when it gets
    // the focus, and merely opening the window must not move the main window's cursor.
    connect(DeviceTree->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TDevicesForm::selectionChanged);
    connect(DeviceTree->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TDevicesForm::updateActions);
    connect(&model_, &QAbstractItemModel::modelReset, this, &TDevicesForm::updateActions);
    updateActions();
    connect(DeviceTree->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TDevicesForm::showDetails);
    connect(&model_, &QAbstractItemModel::modelReset, Details, &display::DetailPane::Clear);
    expandDevices();
    rebuildPoll_ = new QTimer(this);
    rebuildPoll_->setInterval(50);
    connect(rebuildPoll_, &QTimer::timeout, this, &TDevicesForm::pollRebuild);
    // The worker reads the indexes the change is about to drop.
    connect(&hub, &SessionHub::storeChanging, this, [this] { model_.stopRebuild(); });
    connect(&hub, &SessionHub::storeChanged, this, &TDevicesForm::Rebuild);
    connect(&hub, &SessionHub::cursorMoved, this,
            [this](std::size_t record, session::CursorFrom from) {
                if (from != session::CursorFrom::Devices) {
                    SelectRecord(record);
                }
            });
    connect(&hub, &SessionHub::loadStarted, this, &TDevicesForm::ShowLoading);
    connect(&hub, &SessionHub::loadFinished, this, [this](bool) {
        // A completed load changes the store next, which rebuilds the tree.
        loading_.clear();
        UpdateState();
    });
    UpdateState();
}

void TDevicesForm::ShowLoading(const QString& file) {
    loading_ = file.isEmpty() ? QStringLiteral("a capture") : QFileInfo(file).fileName();
    UpdateState();
}

void TDevicesForm::updateActions() {
    const QModelIndexList rows = DeviceTree->selectionModel()->selectedRows();
    const protocol::DeviceTreeRow* row = rows.isEmpty() ? nullptr : model_.RowOf(rows.front());
    const bool bytes = !selectedBytes().empty();
    CopyPayloadAction->setEnabled(!rebuilding_ && bytes);
    SavePayloadAction->setEnabled(!rebuilding_ && bytes);
    FilterDeviceAction->setEnabled(!rebuilding_ && row != nullptr && row->address);
    FilterEndpointAction->setEnabled(!rebuilding_ && row != nullptr && row->address &&
                                     row->endpoint);
    for (QAction* a :
         {CopyAction, FirstPacketAction, LastPacketAction, SaveTextAction, SaveJsonAction}) {
        a->setEnabled(!rebuilding_);
    }
}

void TDevicesForm::UpdateState() {
    QString state;
    if (rebuilding_) {
        const std::optional<double> progress = session_.preparing();
        state = progress ? QStringLiteral("Finding devices %1%\u2026 the rows below are those "
                                          "of the capture before it changed.")
                               .arg(static_cast<int>(*progress * 100))
                         : QStringLiteral("Finding devices\u2026 the rows below are those of "
                                          "the capture before it changed.");
    } else if (model_.rowCount() == 0) {
        state = session_.packets().empty()
                    ? QStringLiteral("The capture is empty: it holds no packets.")
                    : QStringLiteral("No devices: the capture holds no control transfer that "
                                     "shows one.");
    }
    ShowWindowState(*this, *StateLabel, QStringLiteral("Devices"), session_.fileName(), loading_,
                    state);
}

void TDevicesForm::Rebuild() {
    if (!isVisible()) {
        stale_ = true;
        model_.stopRebuild();
        rebuildPoll_->stop();
        return;
    }
    rebuildNow();
}

void TDevicesForm::rebuildNow() {
    stale_ = false;
    if (session_.packets().size() < DevicesBackgroundRecords) {
        rebuildPoll_->stop();
        setRebuilding(false);
        model_.Rebuild();
        expandDevices();
        UpdateState();
        return;
    }
    // Reading the device model holds the window for seconds at 100 M records: the session
    // finds the devices on a worker (or its Transfers build does), then a worker of the model
    // lays the rows out.
    setRebuilding(true);
    rebuildPoll_->start();
    pollRebuild();
}

void TDevicesForm::pollRebuild() {
    if (model_.rebuildingAside()) {
        if (model_.adoptRebuilt()) {
            rebuildPoll_->stop();
            setRebuilding(false);
            expandDevices();
            UpdateState();
            if (const auto cursor = session_.cursor()) {
                SelectRecord(*cursor);
            }
        }
        return;
    }
    session_.collectPrepared();
    if (session_.devicesReady()) {
        model_.RebuildAside(session_.devices());
        UpdateState();
        return;
    }
    // The devices alone, from the control traffic. A build the Transfers window started finds
    // them too: it is waited for rather than replaced.
    session_.prepareDevices();
    UpdateState();
}

void TDevicesForm::expandDevices() {
    // Every device opens to its descriptors at once, unless that shows more rows than
    // DevicesOpenRows: the view lays out every open row again after each rebuild, about 100 ms
    // for the 340,000 rows of a reset loop at 200 M records (34,000 at 20 M stay open). Not with
    // expandToDepth: it lays out each device's rows as it opens it, inserting them into the
    // view's row list one device at a time, which is quadratic in the tens of thousands of
    // devices of a reset loop. Right after a reset the view's layout is pending, and opening a
    // row only records it.
    const int devices = model_.rowCount();
    std::size_t shown = static_cast<std::size_t>(devices);
    for (int row = 0; row < devices && shown <= DevicesOpenRows; ++row) {
        shown += static_cast<std::size_t>(model_.rowCount(model_.index(row, 0)));
    }
    if (shown > DevicesOpenRows) {
        return;
    }
    for (int row = 0; row < devices; ++row) {
        DeviceTree->expand(model_.index(row, 0));
    }
}

void TDevicesForm::setRebuilding(bool on) {
    rebuilding_ = on;
    DeviceTree->setEnabled(!on);
    Details->setEnabled(!on);
    updateActions();
}

void TDevicesForm::showEvent(QShowEvent* event) {
    if (stale_) {
        rebuildNow();
    } else {
        UpdateState();
    }
    QWidget::showEvent(event);
}

void TDevicesForm::selectionChanged(const QItemSelection& selected) {
    if (following_ || rebuilding_ || selected.indexes().isEmpty()) {
        return;
    }
    if (const auto record = model_.RecordOf(selected.indexes().front())) {
        session_.moveCursor(*record, session::CursorFrom::Devices);
    }
}

void TDevicesForm::showDetails() {
    const QModelIndexList rows = DeviceTree->selectionModel()->selectedRows();
    // A field's row shows the descriptor it belongs to.
    QModelIndex owner = rows.isEmpty() ? QModelIndex() : rows.front();
    while (owner.isValid() && !model_.RowOf(owner)->detail) {
        owner = owner.parent();
    }
    if (!owner.isValid()) {
        Details->Clear();
        return;
    }
    Details->ShowFields(*model_.RowOf(owner)->detail);
    // By place, not by text: a report descriptor repeats items word for word.
    if (const auto place = model_.RowOf(rows.front())->field; place && owner != rows.front()) {
        Details->SelectFieldAt(*place);
    }
}

QString TDevicesForm::SelectionText() const {
    QString out;
    for (const QModelIndex& index : DeviceTree->selectionModel()->selectedRows()) {
        AppendShown(*DeviceTree, index, 0, out);
    }
    return out;
}

void TDevicesForm::goTo(bool last) {
    const QModelIndexList rows = DeviceTree->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        return;
    }
    const auto record = last ? model_.LastRecordOf(rows.front()) : model_.RecordOf(rows.front());
    if (record) {
        session_.moveCursor(*record, session::CursorFrom::Devices);
    }
}

TDevicesForm::~TDevicesForm() {
    // The save's worker reads the names this window's model holds.
    session_.cancelSave(session::CaptureSession::SavedView::Devices);
}

void TDevicesForm::saveView(bool json) {
    const QString title = json ? QStringLiteral("Save as JSON") : QStringLiteral("Save as text");
    if (saving_->running()) {
        ShowMessage(title, QStringLiteral("The devices are still being saved. Wait for it to "
                                          "finish, or press Escape to stop it."));
        return;
    }
    const auto target = json ? ChooseJsonFile() : ChooseTextFile();
    if (!target) {
        return;
    }
    if (rebuilding_ || !session_.devicesReady()) {
        // The capture changed while the file was chosen: its devices are being found.
        ShowMessage(title, QStringLiteral("The devices are still being found: save them once "
                                          "the tree is shown."));
        return;
    }
    const std::vector<protocol::DeviceInfo>& devices = session_.devices().devices();
    if (devices.size() < SaveBackgroundDevices) {
        saving_->report(session::SaveDeviceView(*target, devices, model_.usbIds(), json), title);
        return;
    }
    // A reset loop enumerates thousands of devices: their text takes a while to write.
    session_.startSaveDevices(*target, model_.usbIds(), json);
    saving_->follow(title);
}

void TDevicesForm::writeFile(const std::string& target, const std::string& bytes,
                             const QString& title) {
    // Staged: a failed write never leaves half a file or harms the one it would replace. The
    // file dialog has asked before replacing one.
    if (const auto failed = capture::ReplaceFileWith(target, bytes)) {
        ShowMessage(title,
                    QStringLiteral("Cannot write %1: %2")
                        .arg(QString::fromStdString(target), QString::fromStdString(*failed)));
    }
}

std::vector<std::uint8_t> TDevicesForm::selectedBytes() const {
    const QModelIndexList rows = DeviceTree->selectionModel()->selectedRows();
    // A field's row stands for the descriptor it belongs to.
    for (QModelIndex index = rows.isEmpty() ? QModelIndex() : rows.front(); index.isValid();
         index = index.parent()) {
        const protocol::DeviceTreeRow* row = model_.RowOf(index);
        if (row != nullptr && row->detail) {
            return row->detail->payload;
        }
    }
    return {};
}

void TDevicesForm::copyPayload() {
    const std::vector<std::uint8_t> bytes = selectedBytes();
    if (bytes.empty()) {
        return;
    }
    QGuiApplication::clipboard()->setText(HexBytes(bytes));
}

void TDevicesForm::savePayload() {
    const std::vector<std::uint8_t> bytes = selectedBytes();
    if (bytes.empty()) {
        return;
    }
    if (const auto target = ChoosePayloadFile()) {
        writeFile(*target, std::string(bytes.begin(), bytes.end()), QStringLiteral("Save payload"));
    }
}

void TDevicesForm::filterTo(bool endpoint) {
    const QModelIndexList rows = DeviceTree->selectionModel()->selectedRows();
    const protocol::DeviceTreeRow* row = rows.isEmpty() ? nullptr : model_.RowOf(rows.front());
    if (row == nullptr || !row->address || (endpoint && !row->endpoint)) {
        return;
    }
    // The endpoint by its address, so that an IN endpoint's filter leaves out its OUT twin.
    emit FilterTransfers(endpoint ? QStringLiteral("%1.0x%2")
                                        .arg(*row->address)
                                        .arg(*row->endpoint, 2, 16, QLatin1Char('0'))
                                  : QString::number(*row->address));
}

void TDevicesForm::SelectRecord(std::size_t record) {
    // The old rows hold records of the store before it changed; the cursor is shown once the
    // new rows are.
    if (!isVisible() || rebuilding_) {
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
