#pragma once

#include "app/SaveProgress.h"
#include "app/SessionHub.h"
#include "display/DetailPane.h"
#include "display/DeviceTreeModel.h"
#include "session/CaptureSession.h"

#include <QWidget>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QSplitter;
class QItemSelection;
class QLabel;
class QPushButton;
class QTimer;
class QTreeView;

namespace vintrace::app {

/// The Devices window: every device the capture shows, descriptor by descriptor and field by
/// field, as `vintrace-cli devices` prints them. Selecting a row shows the transfer that
/// delivered it, and the window follows the session's cursor.
class TDevicesForm : public QWidget {
    Q_OBJECT
public:
    TDevicesForm(SessionHub& hub, QWidget* parent = nullptr);
    ~TDevicesForm() override;

    QTreeView* DeviceTree = nullptr;
    /// Says why the tree is empty, or that a capture is loading; hidden otherwise.
    QLabel* StateLabel = nullptr;
    /// The selected descriptor's fields and bytes, below the tree.
    display::DetailPane* Details = nullptr;

    /// Copy (Ctrl+C): the selected row, and the rows under it that are expanded, as the
    /// command line prints them. Also on the tree's context menu, with the entries below.
    QAction* CopyAction = nullptr;
    /// Go to the first or the last packet of the transfer that delivered the selected row.
    QAction* FirstPacketAction = nullptr;
    QAction* LastPacketAction = nullptr;
    /// Save as text (Ctrl+S): the whole view, as `vintrace-cli devices` prints it.
    QAction* SaveTextAction = nullptr;

    /// Save as JSON: the whole view, as `vintrace-cli devices --json` prints it.
    QAction* SaveJsonAction = nullptr;
    /// "Saving n%" and a button that stops it, while a save of many devices runs on a worker;
    /// Escape stops it too. Hidden otherwise.
    QLabel* SaveLabel = nullptr;
    QPushButton* StopSaveButton = nullptr;
    /// Saves of at least this many devices run on a worker.
    std::size_t SaveBackgroundDevices = session::kBackgroundSaveDevices;
    /// The raw bytes of the descriptor the selected row shows (or a row of it is part of).
    QAction* CopyPayloadAction = nullptr;
    QAction* SavePayloadAction = nullptr;
    /// Open the Transfers window narrowed to the selected row's device, or to its endpoint.
    QAction* FilterDeviceAction = nullptr;
    QAction* FilterEndpointAction = nullptr;

    /// Asks for the file Save as text writes (nothing: cancelled); a file dialog by default.
    std::function<std::optional<std::string>()> ChooseTextFile;
    /// The same for Save as JSON and Save payload as.
    std::function<std::optional<std::string>()> ChooseJsonFile;
    std::function<std::optional<std::string>()> ChoosePayloadFile;
    /// Shows a failure; a message box by default.
    std::function<void(const QString& title, const QString& text)> ShowMessage;

    /// Captures of at least this many records have their rows built again on a worker after a
    /// change of the store, the old rows shown greyed meanwhile; smaller ones at once.
    std::size_t DevicesBackgroundRecords = std::size_t{500'000};
    /// Devices open to their descriptors at once while that shows at most this many rows;
    /// beyond it (a device in a reset loop, enumerated tens of thousands of times) they stay
    /// closed, as laying out every open device holds the window for each rebuild.
    std::size_t DevicesOpenRows = std::size_t{50'000};

    display::DeviceTreeModel& model() { return model_; }
    /// True while the rows shown are those of the store before it changed.
    bool rebuilding() const { return rebuilding_; }
    /// The text Copy puts on the clipboard: the selected row and its expanded rows.
    QString SelectionText() const;

    /// Rebuilds the tree from the store as it is now (once shown again, when closed): at once,
    /// or for a large capture on workers, the old rows shown greyed meanwhile.
    void Rebuild();
    /// Selects the first row delivered by the transfer that holds `record`, without moving
    /// the cursor (nothing while the window is closed).
    void SelectRecord(std::size_t record);
    /// A capture loads in the background: the tree shows the open one until it ends.
    void ShowLoading(const QString& file);
    /// The title and the state line again, for a capture that changed its name.
    void UpdateState();

signals:
    /// Filter to this device or endpoint: the Transfers window is to show `filter`.
    void FilterTransfers(const QString& filter);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void selectionChanged(const QItemSelection& selected);
    /// Save as text or JSON: at once, or on a worker for many devices.
    void saveView(bool json);
    /// The bytes of the descriptor under the selected row; empty when it is none.
    std::vector<std::uint8_t> selectedBytes() const;
    void copyPayload();
    void savePayload();
    void filterTo(bool endpoint);
    /// Writes `bytes` staged beside `target`; says why not on failure.
    void writeFile(const std::string& target, const std::string& bytes, const QString& title);
    void goTo(bool last);
    void rebuildNow();
    /// Takes the next step of a rebuild on a worker: the session's indexes, then the rows.
    void pollRebuild();
    /// Greys the tree, its detail pane and its entries while it shows the old rows.
    void expandDevices();
    void setRebuilding(bool on);
    /// Enables the entries that need a descriptor, a device or an endpoint only with one.
    void updateActions();
    /// Shows the selected row's descriptor in the detail pane, the row's field chosen.
    void showDetails();

    session::CaptureSession& session_;
    display::DeviceTreeModel model_;
    bool following_ = false;
    bool rebuilding_ = false;
    SaveProgress* saving_ = nullptr;
    QTimer* rebuildPoll_ = nullptr;
    /// The store changed while the window was closed (or it has not been shown yet).
    bool stale_ = true;
    /// The capture loading in the background; empty when none is.
    QString loading_;
};

} // namespace vintrace::app
