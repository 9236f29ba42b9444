#pragma once

#include "app/SessionHub.h"
#include "display/DeviceTreeModel.h"
#include "session/CaptureSession.h"

#include <QWidget>

#include <cstddef>

class QItemSelection;
class QTreeView;

namespace vintrace::app {

/// The Devices window: every device the capture shows, with its configurations, interfaces
/// and endpoints as the capture's descriptors describe them. Selecting a row shows the
/// transfer that delivered it, and the window follows the session's cursor.
class TDevicesForm : public QWidget {
    Q_OBJECT
public:
    TDevicesForm(SessionHub& hub, QWidget* parent = nullptr);

    QTreeView* DeviceTree = nullptr;

    display::DeviceTreeModel& model() { return model_; }

    /// Rebuilds the tree from the store as it is now (once shown again, when closed).
    void Rebuild();
    /// Selects the first row delivered by the transfer that holds `record`, without moving
    /// the cursor (nothing while the window is closed).
    void SelectRecord(std::size_t record);

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
};

} // namespace vintrace::app
