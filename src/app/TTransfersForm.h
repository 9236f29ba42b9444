#pragma once

#include "app/SessionHub.h"
#include "display/TransferTreeModel.h"
#include "session/CaptureSession.h"

#include <QWidget>

#include <cstddef>

class QCheckBox;
class QLineEdit;
class QTreeView;

namespace vintrace::app {

/// The Transfers window: the session's transfers as a tree, narrowed to one address or
/// endpoint by the filter box, with SOF runs and NAKed polling folded or listed one by one.
/// It follows the session's store and cursor, and choosing an item moves the cursor.
class TTransfersForm : public QWidget {
    Q_OBJECT
public:
    TTransfersForm(SessionHub& hub, QWidget* parent = nullptr);

    QLineEdit* FilterEdit = nullptr;
    QCheckBox* FoldCheckBox = nullptr;
    QTreeView* TransferTree = nullptr;

    display::TransferTreeModel& model() { return model_; }

    /// Rebuilds the tree from the store as it is now (once shown again, when closed).
    void Rebuild();
    /// Selects the innermost item that holds `record`, without moving the cursor (nothing
    /// while the window is closed).
    void SelectRecord(std::size_t record);
    /// Selects the transfer (top-level item) that holds `record`, in the same way.
    void SelectTransfer(std::size_t record);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void filterEdited(const QString& text);
    void selectionChanged();
    void select(std::size_t record, bool transfer);
    /// Follows the cursor: the transfer a device row came from, the innermost item otherwise.
    void followCursor(std::size_t record, session::CursorFrom from);

    session::CaptureSession& session_;
    display::TransferTreeModel model_;
    bool following_ = false;
    /// The store changed while the window was closed.
    bool stale_ = false;
};

} // namespace vintrace::app
