// The Transfers window's copy, save and filter actions and its context menu.
#include "app/TTransfersForm.h"

#include "app/TDecodeAs.h"
#include "app/TFollowStreamForm.h"
#include "app/WindowActions.h"

#include "capture/StagedFile.h"
#include "protocol/EndpointStream.h"
#include "protocol/TransferFilter.h"
#include "protocol/TransferLines.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QTimer>
#include <QTreeView>

#include <algorithm>

namespace vintrace::app {

namespace {

bool HasEndpoint(const protocol::TransferItem& item) {
    return item.type != protocol::TransferType::Sof &&
           item.type != protocol::TransferType::Malformed;
}

} // namespace

void TTransfersForm::setUpActions() {
    const auto action = [this](const char* text, const char* name, QKeySequence keys) {
        return AddViewAction(this, TransferTree, text, name, keys);
    };
    const auto separator = [this] {
        auto* a = new QAction(this);
        a->setSeparator(true);
        TransferTree->addAction(a);
    };
    CopyAction = action("Copy", "CopyAction", QKeySequence::Copy);
    CopyPayloadAction = action("Copy payload as hex", "CopyPayloadAction", {});
    SavePayloadAction = action("Save payload as...", "SavePayloadAction", {});
    separator();
    FirstPacketAction = action("Go to first packet", "FirstPacketAction", {});
    LastPacketAction = action("Go to last packet", "LastPacketAction", {});
    separator();
    FilterDeviceAction = action("Filter to this device", "FilterDeviceAction", {});
    FilterEndpointAction = action("Filter to this endpoint", "FilterEndpointAction", {});
    FollowStreamAction = action("Follow stream...", "FollowStreamAction",
                                QKeySequence(Qt::CTRL | Qt::ALT | Qt::SHIFT | Qt::Key_F));
    DecodeAsAction = action("Decode As...", "DecodeAsAction", {});
    separator();
    SaveTextAction = action("Save as text...", "SaveTextAction", QKeySequence::Save);
    SaveJsonAction = action("Save as JSON...", "SaveJsonAction", {});
    TransferTree->setContextMenuPolicy(Qt::ActionsContextMenu);

    connect(CopyAction, &QAction::triggered, this, &TTransfersForm::copySelection);
    copyTurn_ = new QTimer(this);
    copyTurn_->setInterval(0);
    connect(copyTurn_, &QTimer::timeout, this, &TTransfersForm::copyStep);
    connect(CopyPayloadAction, &QAction::triggered, this, &TTransfersForm::copyPayload);
    connect(SavePayloadAction, &QAction::triggered, this, &TTransfersForm::savePayload);
    connect(FirstPacketAction, &QAction::triggered, this, [this] { goToPacket(false); });
    connect(LastPacketAction, &QAction::triggered, this, [this] { goToPacket(true); });
    connect(FilterDeviceAction, &QAction::triggered, this, [this] { filterToSelected(false); });
    connect(FilterEndpointAction, &QAction::triggered, this, [this] { filterToSelected(true); });
    connect(FollowStreamAction, &QAction::triggered, this, &TTransfersForm::followStream);
    connect(DecodeAsAction, &QAction::triggered, this, &TTransfersForm::decodeAs);
    connect(SaveTextAction, &QAction::triggered, this, [this] { saveView(false); });
    connect(SaveJsonAction, &QAction::triggered, this, [this] { saveView(true); });

    // The entries that need a row, or a row with an endpoint, are offered only with one.
    const auto update = [this] {
        const QModelIndexList rows = TransferTree->selectionModel()->selectedRows();
        const bool row = !rows.isEmpty();
        bool endpoint = false;
        bool stream = false;
        bool dataEndpoint = false;
        if (row) {
            if (const auto item = model_.ItemOf(rows.front())) {
                const protocol::TransferItem t = session_.transferList(model_.fold())[*item];
                endpoint = HasEndpoint(t);
                stream = protocol::CarriesStream(t);
                dataEndpoint = endpoint && t.endpoint != 0;
            }
        }
        for (QAction* a : {CopyAction, CopyPayloadAction, SavePayloadAction, FirstPacketAction,
                           LastPacketAction}) {
            a->setEnabled(row);
        }
        FilterDeviceAction->setEnabled(endpoint);
        FilterEndpointAction->setEnabled(endpoint);
        FollowStreamAction->setEnabled(stream);
        DecodeAsAction->setEnabled(dataEndpoint);
    };
    connect(TransferTree->selectionModel(), &QItemSelectionModel::selectionChanged, this, update);
    connect(&model_, &QAbstractItemModel::modelReset, this, update);
    update();

    // Escape empties the filter box, but stops a save while one runs, wherever the focus is.
    auto* clear = new QAction(FilterEdit);
    clear->setShortcut(Qt::Key_Escape);
    clear->setShortcutContext(Qt::WidgetShortcut);
    FilterEdit->addAction(clear);
    connect(clear, &QAction::triggered, FilterEdit, &QLineEdit::clear);
    connect(saving_, &SaveProgress::runningChanged, clear,
            [clear](bool running) { clear->setEnabled(!running); });

    ChoosePayloadFile = SaveFileChooser(this, QStringLiteral("Save payload"),
                                        QStringLiteral("Binary (*.bin);;All files (*)"));
    ChooseTextFile = SaveFileChooser(this, QStringLiteral("Save transfers as text"),
                                     QStringLiteral("Text (*.txt);;All files (*)"));
    ChooseJsonFile = SaveFileChooser(this, QStringLiteral("Save transfers as JSON"),
                                     QStringLiteral("JSON (*.json);;All files (*)"));
    ShowMessage = [this](const QString& title, const QString& text) {
        QMessageBox::warning(this, title, text);
    };
}

void TTransfersForm::applyFilter(const display::TransferFilter& filter) {
    // The chosen row is found again by its first record, at the depth it was chosen.
    const QModelIndex current = TransferTree->currentIndex();
    const bool chosen = current.isValid() && TransferTree->selectionModel()->isSelected(current);
    const std::optional<std::size_t> record = chosen ? model_.FirstRecordOf(current) : std::nullopt;
    const int depth = model_.DepthOf(current);
    model_.setFilter(filter);
    if (!record) {
        return;
    }
    QModelIndex index = model_.IndexOfRecord(*record);
    while (index.isValid() && model_.DepthOf(index) > depth) {
        index = index.parent();
    }
    if (!index.isValid()) {
        return; // the filter hides it
    }
    following_ = true;
    TransferTree->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                               QItemSelectionModel::Rows);
    TransferTree->scrollTo(index, QAbstractItemView::PositionAtCenter);
    following_ = false;
}

QString TTransfersForm::SelectionText() {
    return TextOf(TransferTree->selectionModel()->selectedRows());
}

QString TTransfersForm::TextOf(const QModelIndexList& rows) {
    const capture::PacketList& packets = session_.packets();
    const protocol::Transactions& tx = session_.transactions();
    const bool fold = model_.fold();
    std::string out;
    // A transfer as the command line prints it; a transaction or packet row as the tree shows
    // it, indented under its transfer.
    const std::function<void(const QModelIndex&)> append = [&](const QModelIndex& index) {
        const int depth = model_.DepthOf(index);
        if (depth == 0) {
            const auto item = model_.ItemOf(index);
            if (!item) {
                return;
            }
            protocol::AppendTransferLine(out, packets, tx, session_.transferList(fold)[*item],
                                         session_.decoded(*item, fold));
        } else {
            QStringList cells;
            for (int c = 0; c < model_.columnCount(); ++c) {
                cells << index.siblingAtColumn(c).data().toString();
            }
            out += std::string(static_cast<std::size_t>(depth) * 2, ' ');
            out += cells.join(QLatin1Char('\t')).toStdString();
            out += '\n';
        }
        if (!TransferTree->isExpanded(index)) {
            return;
        }
        while (model_.canFetchMore(index)) {
            model_.fetchMore(index);
        }
        for (int row = 0; row < model_.rowCount(index); ++row) {
            append(model_.index(row, 0, index));
        }
    };
    for (const QModelIndex& index : rows) {
        append(index);
    }
    return QString::fromStdString(out);
}

void TTransfersForm::copySelection() {
    dropCopy();
    const QModelIndexList rows = TransferTree->selectionModel()->selectedRows();
    // The ranges of an expanded long transfer whose counts nobody has read yet.
    std::vector<QPersistentModelIndex> ranges;
    for (const QModelIndex& row : rows) {
        if (model_.DepthOf(row) != 0 || !TransferTree->isExpanded(row)) {
            continue;
        }
        for (int r = 0; r < model_.rowCount(row); ++r) {
            const QModelIndex range = model_.index(r, 0, row);
            if (!model_.RangeCounted(range)) {
                ranges.emplace_back(range);
            }
        }
    }
    if (ranges.size() <= CopyRangesAtOnce) {
        copyText(rows);
        return;
    }
    for (const QModelIndex& row : rows) {
        copyRows_.append(QPersistentModelIndex(row));
    }
    copyRanges_ = std::move(ranges);
    copyTurn_->start();
}

void TTransfersForm::copyStep() {
    for (std::size_t n = 0; n < std::max<std::size_t>(CopyRangesAtOnce, 1) && !copyRanges_.empty();
         ++n) {
        const QPersistentModelIndex range = copyRanges_.back();
        copyRanges_.pop_back();
        if (!range.isValid()) {
            dropCopy(); // the tree changed under it: nothing is copied
            return;
        }
        model_.CountRange(range);
    }
    if (!copyRanges_.empty()) {
        return;
    }
    QModelIndexList rows;
    for (const QPersistentModelIndex& row : std::as_const(copyRows_)) {
        if (!row.isValid()) {
            dropCopy();
            return;
        }
        rows.append(row);
    }
    dropCopy();
    copyText(rows);
}

void TTransfersForm::copyText(const QModelIndexList& rows) {
    const QString text = TextOf(rows);
    if (!text.isEmpty()) {
        QGuiApplication::clipboard()->setText(text);
    }
}

void TTransfersForm::dropCopy() {
    if (copyTurn_ != nullptr) {
        copyTurn_->stop();
    }
    copyRows_.clear();
    copyRanges_.clear();
}

void TTransfersForm::copyPayload() {
    const QModelIndexList rows = TransferTree->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        return;
    }
    // One byte past the bound tells a payload that is too large without reading all of it.
    const std::vector<std::uint8_t> bytes = model_.PayloadOf(
        rows.front(), CopyPayloadBytes == SIZE_MAX ? SIZE_MAX : CopyPayloadBytes + 1);
    if (bytes.size() > CopyPayloadBytes) {
        const QString bound = QLocale().formattedDataSize(static_cast<qint64>(CopyPayloadBytes), 0);
        ShowMessage(QStringLiteral("Copy payload"),
                    QStringLiteral("The payload is larger than %1, too large to copy as hex "
                                   "text: nothing was copied. Save payload as... writes all of "
                                   "its bytes to a file.")
                        .arg(bound));
        return;
    }
    QGuiApplication::clipboard()->setText(HexBytes(bytes));
}

void TTransfersForm::savePayload() {
    const QModelIndexList rows = TransferTree->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        return;
    }
    // Built whole (a bulk transfer may hold hundreds of megabytes), so only once a file is
    // chosen, and written from where it was built rather than copied once more.
    const QPersistentModelIndex row = rows.front();
    const auto target = ChoosePayloadFile();
    if (!target) {
        return;
    }
    if (!row.isValid()) {
        ShowMessage(QStringLiteral("Save payload"),
                    QStringLiteral("The transfers changed while the file was chosen: nothing "
                                   "was saved."));
        return;
    }
    const std::vector<std::uint8_t> bytes = model_.PayloadOf(row);
    writeFile(*target, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
              QStringLiteral("Save payload"));
}

void TTransfersForm::saveView(bool json) {
    const QString title = json ? QStringLiteral("Save as JSON") : QStringLiteral("Save as text");
    const QString grouping = QStringLiteral("The transfers are still being grouped: save them "
                                            "once the tree is shown.");
    if (!model_.live()) {
        // The indexes are being built on a worker: writing now would build them again here,
        // holding the window meanwhile.
        ShowMessage(title, grouping);
        return;
    }
    if (saving_->running()) {
        ShowMessage(title, QStringLiteral("The transfers are still being saved. Wait for it to "
                                          "finish, or press Escape to stop it."));
        return;
    }
    const auto target = json ? ChooseJsonFile() : ChooseTextFile();
    if (!target) {
        return;
    }
    if (!model_.live()) {
        ShowMessage(title, grouping); // the capture changed while the file was chosen
        return;
    }
    const bool fold = model_.fold();
    if (session_.transferList(fold).size() < SaveBackgroundItems) {
        saving_->report(session_.saveTransfers(*target, fold, model_.filter(), json), title);
        return;
    }
    // Millions of lines take seconds to write: the window goes on meanwhile.
    session_.startSaveTransfers(*target, fold, model_.filter(), json);
    saving_->follow(title);
}

bool TTransfersForm::writeFile(const std::string& target, std::string_view bytes,
                               const QString& title) {
    // Staged: a failed write never leaves half a file or harms the one it would replace. The
    // file dialog has asked before replacing one.
    const auto failed = capture::ReplaceFileWith(target, bytes);
    if (failed) {
        ShowMessage(title,
                    QStringLiteral("Cannot write %1: %2")
                        .arg(QString::fromStdString(target), QString::fromStdString(*failed)));
    }
    return !failed;
}

void TTransfersForm::goToPacket(bool last) {
    const QModelIndexList rows = TransferTree->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        return;
    }
    const auto record =
        last ? model_.LastRecordOf(rows.front()) : model_.FirstRecordOf(rows.front());
    if (record) {
        session_.moveCursor(*record, session::CursorFrom::Transfers);
    }
}

void TTransfersForm::filterToSelected(bool endpoint) {
    const QModelIndexList rows = TransferTree->selectionModel()->selectedRows();
    const auto item = rows.isEmpty() ? std::nullopt : model_.ItemOf(rows.front());
    if (!item) {
        return;
    }
    const protocol::TransferItem t = session_.transferList(model_.fold())[*item];
    if (!HasEndpoint(t)) {
        return;
    }
    // An IN endpoint by its address: the OUT endpoint of the same number is another one.
    // Control endpoints carry both directions.
    const bool in =
        t.type != protocol::TransferType::Control && t.direction == protocol::Direction::In;
    FilterEdit->setText(!endpoint ? QString::number(t.address)
                        : in
                            ? QStringLiteral("%1.0x%2").arg(t.address).arg(0x80 | t.endpoint, 2, 16)
                            : QStringLiteral("%1.%2").arg(t.address).arg(t.endpoint));
}

void TTransfersForm::followStream() {
    const QModelIndexList rows = TransferTree->selectionModel()->selectedRows();
    const auto item = rows.isEmpty() ? std::nullopt : model_.ItemOf(rows.front());
    if (!item) {
        return;
    }
    const protocol::TransferItem t = session_.transferList(model_.fold())[*item];
    const auto record = model_.FirstRecordOf(rows.front());
    if (!protocol::CarriesStream(t) || !record) {
        return;
    }
    auto* form = new TFollowStreamForm(hub_, protocol::StreamPairOf(session_.devices(), t, *record),
                                       model_.fold(), this);
    form->setAttribute(Qt::WA_DeleteOnClose);
    followForm_ = form;
    form->show();
}

void TTransfersForm::decodeAs() {
    const QModelIndexList rows = TransferTree->selectionModel()->selectedRows();
    const auto item = rows.isEmpty() ? std::nullopt : model_.ItemOf(rows.front());
    if (!item) {
        return;
    }
    const protocol::TransferItem t = session_.transferList(model_.fold())[*item];
    if (!HasEndpoint(t) || t.endpoint == 0) {
        return;
    }
    // The endpoint in the item's direction: an IN and an OUT endpoint of one number are two.
    const auto endpoint =
        static_cast<std::uint8_t>(t.endpoint | (t.direction == protocol::Direction::In ? 0x80 : 0));
    protocol::EndpointAssumptions assumptions = session_.assumptions();
    TDecodeAs dialog(t.address, endpoint, assumptions.find(t.address, endpoint), this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    if (const auto choice = dialog.choice()) {
        assumptions.set(t.address, t.endpoint, t.direction, *choice);
    } else {
        assumptions.drop(t.address, t.endpoint, t.direction);
    }
    const std::size_t record = protocol::FirstRecord(session_.transactions(), t);
    buildAside_ = true;
    session_.assume(std::move(assumptions));
    buildAside_ = false;
    // The records stay as they were: the item is selected again once the tree is rebuilt.
    if (!session_.cursor()) {
        session_.moveCursor(record, session::CursorFrom::Transfers);
    }
}

} // namespace vintrace::app
