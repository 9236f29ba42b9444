#include "app/TDevicesForm.h"

#include "capture/StagedFile.h"
#include "display/CutTextToolTip.h"
#include "protocol/DeviceTree.h"

#include <QAction>
#include <QClipboard>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMessageBox>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QToolTip>
#include <QTreeView>
#include <QVBoxLayout>
#include <cerrno>
#include <cstring>

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

TDevicesForm::TDevicesForm(SessionHub& hub, QWidget* parent)
    : QWidget(parent, Qt::Window), session_(hub.session()), model_(hub.session()) {
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
        auto* a = new QAction(QString::fromLatin1(text), this);
        a->setObjectName(QString::fromLatin1(name));
        a->setShortcut(keys);
        a->setShortcutContext(Qt::WindowShortcut);
        addAction(a);
        DeviceTree->addAction(a);
        return a;
    };
    CopyAction = action("Copy", "CopyAction", QKeySequence::Copy);
    FirstPacketAction = action("Go to first packet", "FirstPacketAction", {});
    LastPacketAction = action("Go to last packet", "LastPacketAction", {});
    SaveTextAction = action("Save as text...", "SaveTextAction", QKeySequence::Save);
    DeviceTree->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(CopyAction, &QAction::triggered, this, [this] {
        const QString text = SelectionText();
        if (!text.isEmpty()) {
            QGuiApplication::clipboard()->setText(text);
        }
    });
    connect(FirstPacketAction, &QAction::triggered, this, [this] { goTo(false); });
    connect(LastPacketAction, &QAction::triggered, this, [this] { goTo(true); });
    connect(SaveTextAction, &QAction::triggered, this, &TDevicesForm::saveText);
    ChooseTextFile = [this]() -> std::optional<std::string> {
        const QString name =
            QFileDialog::getSaveFileName(this, QStringLiteral("Save devices as text"), QString(),
                                         QStringLiteral("Text (*.txt);;All files (*)"));
        if (name.isEmpty()) {
            return std::nullopt;
        }
        return name.toStdString();
    };
    ShowMessage = [this](const QString& title, const QString& text) {
        QMessageBox::warning(this, title, text);
    };

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(StateLabel);
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
            &TDevicesForm::showDetails);
    connect(&model_, &QAbstractItemModel::modelReset, Details, &display::DetailPane::Clear);
    // Every device opens to its descriptors at once.
    DeviceTree->expandToDepth(0);
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

void TDevicesForm::UpdateState() {
    const QString name = QFileInfo(QString::fromStdString(session_.fileName())).fileName();
    setWindowTitle(name.isEmpty() ? QStringLiteral("Devices")
                                  : QStringLiteral("Devices \u2014 %1").arg(name));
    QString state;
    if (!loading_.isEmpty()) {
        state = QStringLiteral("Loading %1: its devices are shown here when it has loaded.")
                    .arg(loading_);
    } else if (model_.rowCount() == 0) {
        state = session_.packets().empty()
                    ? QStringLiteral("The capture is empty: it holds no packets.")
                    : QStringLiteral("No devices: the capture holds no control transfer that "
                                     "shows one.");
    }
    StateLabel->setText(state);
    StateLabel->setVisible(!state.isEmpty());
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
    UpdateState();
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
    if (following_ || selected.indexes().isEmpty()) {
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
    if (owner != rows.front()) {
        // Field rows read "name  value"; report items are the field's whole text.
        const QString text = rows.front().data().toString().trimmed();
        if (!Details->SelectField(text)) {
            Details->SelectField(text.section(QLatin1Char(' '), 0, 0));
        }
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

void TDevicesForm::saveText() {
    const std::optional<std::string> target = ChooseTextFile();
    if (!target) {
        return;
    }
    // Staged: a failed write never leaves half a file or harms the one it would replace. The
    // file dialog has asked before replacing one.
    const std::string text = protocol::DeviceTreeText(model_.rows());
    capture::StagedFile staged(*target);
    const bool written = staged.file() != nullptr &&
                         std::fwrite(text.data(), 1, text.size(), staged.file()) == text.size() &&
                         staged.commit(/*overwrite=*/true);
    if (!written) {
        ShowMessage(QStringLiteral("Save as text"),
                    QStringLiteral("Cannot write %1: %2")
                        .arg(QString::fromStdString(*target),
                             QString::fromStdString(staged.error().empty()
                                                        ? std::string(std::strerror(errno))
                                                        : staged.error())));
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
