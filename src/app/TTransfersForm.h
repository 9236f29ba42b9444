#pragma once

#include "app/SaveProgress.h"
#include "app/SessionHub.h"
#include "app/TFollowStreamForm.h"
#include "display/DetailPane.h"
#include "display/TransferTreeModel.h"
#include "session/CaptureSession.h"

#include <QList>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QWidget>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QScrollBar;
class QStandardItemModel;
class QTreeView;

namespace vintrace::app {

/// The Transfers window: the session's transfers as a tree, narrowed to one address or
/// endpoint by the filter box, with SOF runs and NAKed polling folded or listed one by one.
/// It follows the session's store and cursor, and choosing an item moves the cursor. The tree
/// shows a window of the top level; the scroll bar beside it spans every top-level item and
/// moves the window as the user scrolls, drags, or presses Home and End.
class TTransfersForm : public QWidget {
    Q_OBJECT
public:
    TTransfersForm(SessionHub& hub, QWidget* parent = nullptr);
    ~TTransfersForm() override;

    QLineEdit* FilterEdit = nullptr;
    QCheckBox* FoldCheckBox = nullptr;
    QTreeView* TransferTree = nullptr;
    /// Stands in for the tree while the store changes and the new tree is being built: the
    /// rows that were in view, as they looked (greyed), taken from nothing but themselves.
    /// Disabled: it takes no keys or clicks. Hidden otherwise.
    QTreeView* FrozenTree = nullptr;
    /// One step per top-level item of the whole tree (the tree's own bar spans its window).
    QScrollBar* ItemScrollBar = nullptr;
    /// "Grouping transfers n%" while a worker builds the tree's indexes.
    QLabel* ProgressLabel = nullptr;
    /// "Saving n%" and a button that stops it, while Save as text or JSON writes a large view
    /// on a worker; Escape stops it too. Hidden otherwise.
    QLabel* SaveLabel = nullptr;
    QPushButton* StopSaveButton = nullptr;
    /// Views of at least this many items (of the fold shown) are saved on a worker.
    std::size_t SaveBackgroundItems = session::kBackgroundSaveItems;
    /// The selected transfer's fields and bytes, below the tree.
    display::DetailPane* Details = nullptr;
    /// The detail pane reads and shows at most this much of a transfer's payload: a bulk
    /// transfer of hundreds of megabytes would hold the window while it is copied and read.
    /// Save payload still takes the whole of it.
    std::size_t DetailPayloadBytes = std::size_t{1} << 20;
    /// ... and reads no more than this many transactions of its span for it: the data of a
    /// pipe polled for hours lies spread over millions of NAKs.
    std::size_t DetailPayloadTransactions = std::size_t{1} << 16;
    /// Copy payload as hex copies at most this much: as text a byte takes three characters,
    /// and hundreds of megabytes on the clipboard would hold the window and whoever pastes.
    /// A larger payload is refused and Save payload suggested, which writes the bytes.
    std::size_t CopyPayloadBytes = std::size_t{1} << 20;
    /// Copy counts at most this many ranges of a long transfer in one go: a pipe polled for
    /// the whole of a large capture lists thousands, each a read of its part of the capture.
    /// Beyond it, that many per turn of the event loop, and the clipboard is set at the end.
    std::size_t CopyRangesAtOnce = 64;
    /// Captures of at least this many records are grouped and decoded on a worker while the
    /// tree waits; smaller ones at once, as the rows are asked for.
    std::size_t TransfersBackgroundRecords = std::size_t{500'000};
    /// Takes the SOF items out of the tree (the store keeps them) or puts them back.
    QCheckBox* ShowSofsCheckBox = nullptr;
    /// Says why the tree is empty, or that a capture is loading; hidden otherwise.
    QLabel* StateLabel = nullptr;

    /// "not a filter: …" under a filter text that is none; hidden otherwise.
    QLabel* FilterNote = nullptr;

    /// Copy (Ctrl+C): the selected row, and the rows under it that are expanded, as the
    /// command line prints them. The tree's context menu holds it and the entries below.
    QAction* CopyAction = nullptr;
    QAction* CopyPayloadAction = nullptr;
    QAction* SavePayloadAction = nullptr;
    QAction* FirstPacketAction = nullptr;
    QAction* LastPacketAction = nullptr;
    /// Set the filter box to the selected item's address, or its address and endpoint.
    QAction* FilterDeviceAction = nullptr;
    QAction* FilterEndpointAction = nullptr;
    /// Decode As: says what the selected item's endpoint is (TDecodeAs), for this capture
    /// file as long as the program runs; the tree is built again on a worker.
    QAction* DecodeAsAction = nullptr;
    /// Save as text (Ctrl+S) or JSON: the items the filter passes, as `vintrace-cli
    /// transfers` (`--json`) prints them.
    QAction* SaveTextAction = nullptr;
    QAction* SaveJsonAction = nullptr;
    /// Opens the conversation of the selected bulk or interrupt item's endpoint pair
    /// (Ctrl+Alt+Shift+F).
    QAction* FollowStreamAction = nullptr;
    /// The window the last Follow stream opened, while it is open.
    TFollowStreamForm* followForm() const { return followForm_; }

    /// Ask for the file each save writes (nothing: cancelled); a file dialog by default.
    std::function<std::optional<std::string>()> ChoosePayloadFile;
    std::function<std::optional<std::string>()> ChooseTextFile;
    std::function<std::optional<std::string>()> ChooseJsonFile;
    /// Shows a failure; a message box by default.
    std::function<void(const QString& title, const QString& text)> ShowMessage;

    display::TransferTreeModel& model() { return model_; }
    /// The text Copy puts on the clipboard.
    QString SelectionText();
    /// True while Copy counts ranges of long transfers before it sets the clipboard.
    bool copying() const { return !copyRows_.isEmpty(); }

    /// Rebuilds the tree from the store as it is now (once shown again, when closed).
    void Rebuild();
    /// Selects the innermost item that holds `record`, without moving the cursor (nothing
    /// while the window is closed).
    void SelectRecord(std::size_t record);
    /// Selects the transfer (top-level item) that holds `record`, in the same way.
    void SelectTransfer(std::size_t record);
    /// Says that `file` is loading in the background: the tree fills once it has loaded.
    void ShowLoading(const QString& file);

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    /// What the view shows that a move of the model's window must keep.
    struct ViewState {
        std::optional<std::size_t> topPosition;
        std::optional<std::size_t> currentPosition;
        std::optional<std::size_t> currentRecord;
        int currentDepth = 0;
        /// Expanded top-level items by position, with the rows of their expanded transactions.
        std::vector<std::pair<std::size_t, std::vector<int>>> expanded;
    };

    /// The row to choose again once the tree is rebuilt, by record, and what was at the top.
    struct Kept {
        std::optional<std::size_t> record;
        /// The selected row's depth (0: a transfer); deeper than any: the innermost row.
        int depth = 0;
        std::optional<std::size_t> topRecord;
        /// The store's size then: records are numbered alike only in a store of that size (a
        /// reload of the same file, Decode As), not after a hide or in another capture.
        std::size_t records = 0;
    };

    /// Top-level rows the viewport holds.
    int pageRows() const;
    /// Puts the scroll bar where the tree stands, and moves the window when the viewport
    /// comes near one of its ends.
    void syncScrollBar();
    void scrollBarMoved(int value);
    /// Shows top-level item `position` at the top of the viewport.
    void scrollToPosition(std::size_t position);
    ViewState viewState() const;
    void restoreView(const ViewState& state);
    /// Moves the model's window to begin at `start`, keeping what the view shows.
    void moveWindow(std::size_t start);
    void filterEdited(const QString& text);
    /// Shows the tree folded or not: at once when the indexes are at hand or the capture is
    /// small, else once a worker has built them.
    void showFold(bool fold);
    void pollBuild();
    /// The fold box changed: with the store as it was, the tree stays as it is while the
    /// other fold's list is built.
    void foldToggled(bool fold);
    Kept keptView() const;
    /// Chooses the kept row again where its record still is, else keeps the top row's record
    /// at the top; moves no cursor.
    void restoreKept(const Kept& kept);
    /// Puts the snapshot of the rows in view in the tree's place and suspends the model,
    /// which must read nothing of a store about to change.
    void freeze();
    /// Puts the tree back and chooses the kept row again.
    void thaw();
    void selectionChanged();
    /// Shows the transfer that holds the selected row in the detail pane.
    void showDetails();
    void select(std::size_t record, bool transfer);
    /// Follows the cursor: the transfer a device row came from, the innermost item otherwise.
    void followCursor(std::size_t record, session::CursorFrom from);

    /// The title and the state line for the capture as it is now.
    void updateState();
    /// Sizes the Record column to the capture's largest record number at the deepest level.
    void fitRecordColumn();
    /// Scrolls `index` into view with as many of its parents above it as the viewport holds.
    void scrollWithParents(const QModelIndex& index);
    /// Builds the actions and the context menu, and the filter box's keys.
    void setUpActions();
    /// Applies the filter text, keeping the selected item selected and in view.
    void applyFilter(const display::TransferFilter& filter);
    void copySelection();
    /// Counts the next ranges a Copy waits for, and sets the clipboard once all are counted.
    void copyStep();
    /// Forgets a Copy that waits (its rows are gone, or the store is about to change).
    void dropCopy();
    /// The text of `rows` and the rows under them that are expanded.
    QString TextOf(const QModelIndexList& rows);
    /// Puts TextOf(rows) on the clipboard, when there is any.
    void copyText(const QModelIndexList& rows);
    void copyPayload();
    void savePayload();
    void saveView(bool json);
    void goToPacket(bool last);
    void filterToSelected(bool endpoint);
    void followStream();
    void decodeAs();
    /// Writes `bytes` to `target` staged beside it; says why not on failure.
    bool writeFile(const std::string& target, std::string_view bytes, const QString& title);

    SessionHub& hub_;
    session::CaptureSession& session_;
    display::TransferTreeModel model_;
    QPointer<TFollowStreamForm> followForm_;
    /// The capture loading in the background; empty when none is.
    QString loading_;
    bool following_ = false;
    /// Set while the scroll bar is set from the tree, not by the user.
    bool syncing_ = false;
    bool syncQueued_ = false;
    /// The fold the tree waits to show while a worker builds its indexes.
    bool wantedFold_ = true;
    QTimer* buildPoll_ = nullptr;
    /// Save as text or JSON on a worker.
    SaveProgress* saving_ = nullptr;
    /// A Copy that counts ranges first: its rows, the ranges still to count, and its turns.
    QList<QPersistentModelIndex> copyRows_;
    std::vector<QPersistentModelIndex> copyRanges_;
    QTimer* copyTurn_ = nullptr;
    /// The store changed while the window was closed (or it was never shown): the tree is
    /// built when it is shown, on a worker for a large capture.
    bool stale_ = true;
    /// Rows of FrozenTree; frozen_ while it stands in for the tree.
    QStandardItemModel* frozenModel_ = nullptr;
    bool frozen_ = false;
    Kept frozenKept_;
    bool treeHadFocus_ = false;
    /// Set while Decode As changes the session: the tree is built on a worker, whatever the
    /// capture's size.
    bool buildAside_ = false;
};

} // namespace vintrace::app
