#pragma once

#include "session/CaptureSession.h"
#include "display/DeviceTreeModel.h"

#include <QWidget>

#include <cstddef>

class QItemSelection;
class QTreeView;

namespace vintrace::app {

/// The Devices window: every device the capture shows, with its configurations, interfaces
/// and endpoints as the capture's descriptors describe them. Selecting a row shows the
/// transfer that delivered it.
class TDevicesForm : public QWidget {
    Q_OBJECT
public:
    TDevicesForm(session::CaptureSession& session, QWidget* parent = nullptr);

    QTreeView* DeviceTree = nullptr;

    display::DeviceTreeModel& model() { return model_; }

    /// Rebuilds the tree from the store as it is now (once shown again, when closed).
    void Rebuild();
    /// Selects the first row delivered by the transfer that holds `record`, without telling
    /// anyone (nothing while the window is closed).
    void SelectRecord(std::size_t record);

signals:
    /// The user selected a row; `record` is the first packet of the transfer that delivered it.
    void recordChosen(std::size_t record);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void selectionChanged(const QItemSelection& selected);
    void rebuildNow();

    display::DeviceTreeModel model_;
    bool following_ = false;
    /// The store changed while the window was closed.
    bool stale_ = false;
};

} // namespace vintrace::app
