#pragma once

#include "app/SessionHub.h"
#include "display/DeviceTreeModel.h"
#include "session/CaptureSession.h"

#include <QWidget>

#include <cstddef>

class QItemSelection;
class QLabel;
class QTreeView;

namespace vintrace::app {

/// The Devices window: every device the capture shows, descriptor by descriptor and field by
/// field, as `vintrace-cli devices` prints them. Selecting a row shows the transfer that
/// delivered it, and the window follows the session's cursor.
class TDevicesForm : public QWidget {
    Q_OBJECT
public:
    TDevicesForm(SessionHub& hub, QWidget* parent = nullptr);

    QTreeView* DeviceTree = nullptr;
    /// Says why the tree is empty, or that a capture is loading; hidden otherwise.
    QLabel* StateLabel = nullptr;

    display::DeviceTreeModel& model() { return model_; }

    /// Rebuilds the tree from the store as it is now (once shown again, when closed).
    void Rebuild();
    /// Selects the first row delivered by the transfer that holds `record`, without moving
    /// the cursor (nothing while the window is closed).
    void SelectRecord(std::size_t record);
    /// A capture loads in the background: the tree shows the open one until it ends.
    void ShowLoading(const QString& file);
    /// The title and the state line again, for a capture that changed its name.
    void UpdateState();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void selectionChanged(const QItemSelection& selected);
    void rebuildNow();

    session::CaptureSession& session_;
    display::DeviceTreeModel model_;
    bool following_ = false;
    /// The store changed while the window was closed.
    bool stale_ = false;
    /// The capture loading in the background; empty when none is.
    QString loading_;
};

} // namespace vintrace::app
