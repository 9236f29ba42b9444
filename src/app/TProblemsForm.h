#pragma once

#include "app/SessionHub.h"
#include "display/FindingListModel.h"
#include "session/FindingsJob.h"

#include <QSortFilterProxyModel>
#include <QString>
#include <QWidget>

#include <cstddef>
#include <optional>

class QLabel;
class QStatusBar;
class QTreeView;

namespace vintrace::app {

/// What the checker found, counted by severity: "3 errors, 1 warning, 0 info"; "No problems
/// found" when nothing.
QString ProblemSummary(const std::vector<protocol::Finding>& findings);

/// Moves the cursor to the next (or previous) finding for F8 (Shift+F8). Returns the finding
/// stepped to, or nothing; `message` gets what a status bar should say ("" for nothing).
/// Before the findings of the store as it is now are ready it starts their check and says so.
std::optional<session::FindingStep> StepProblem(SessionHub& hub, bool forward, QString& message);

/// The Problems window: what the checker finds in the capture, one finding a row, sortable,
/// with a summary line. The findings are checked on a worker; while a new capture is checked
/// the window says "Checking…" and keeps the last list, greyed. Clicking a finding (or Enter)
/// puts the cursor on its first packet; F8 and Shift+F8 go to the next and previous one.
class TProblemsForm : public QWidget {
    Q_OBJECT
public:
    TProblemsForm(SessionHub& hub, QWidget* parent = nullptr);

    QLabel* SummaryLabel = nullptr;
    QTreeView* ProblemList = nullptr;
    QStatusBar* StatusBar = nullptr;

    display::FindingListModel& model() { return model_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    /// The summary, the title and whether the list can be chosen from, as the job stands.
    void showState();
    /// A new result: the list shows it, and a step asked for meanwhile is made.
    void findingsReady();
    /// A click or Enter on a row: the cursor goes to the finding's first packet.
    void choose(const QModelIndex& index);
    /// F8 / Shift+F8.
    void step(bool forward);
    /// Makes the row of finding `finding` current without moving the cursor.
    void selectFinding(std::size_t finding);

    SessionHub& hub_;
    display::FindingListModel model_;
    QSortFilterProxyModel sorted_;
    /// A step asked for while the store was being checked, made once the result is ready.
    std::optional<bool> pendingStep_;
};

} // namespace vintrace::app
