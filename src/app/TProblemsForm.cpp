#include "app/TProblemsForm.h"

#include <QFileInfo>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QShortcut>
#include <QStatusBar>
#include <QTreeView>
#include <QVBoxLayout>

namespace vintrace::app {

namespace {

const QString kChecking = QStringLiteral("Checking\u2026");

QString CannotCheck(const std::string& why) {
    return QStringLiteral("Cannot check the capture: %1").arg(QString::fromStdString(why));
}

} // namespace

QString ProblemSummary(const std::vector<protocol::Finding>& findings) {
    if (findings.empty()) {
        return QStringLiteral("No problems found");
    }
    std::size_t counts[3] = {};
    for (const protocol::Finding& f : findings) {
        ++counts[static_cast<int>(f.severity)];
    }
    const std::size_t errors = counts[static_cast<int>(protocol::Severity::Error)];
    const std::size_t warnings = counts[static_cast<int>(protocol::Severity::Warning)];
    const std::size_t infos = counts[static_cast<int>(protocol::Severity::Info)];
    return QStringLiteral("%1 %2, %3 %4, %5 info")
        .arg(errors)
        .arg(errors == 1 ? QStringLiteral("error") : QStringLiteral("errors"))
        .arg(warnings)
        .arg(warnings == 1 ? QStringLiteral("warning") : QStringLiteral("warnings"))
        .arg(infos);
}

std::optional<session::FindingStep> StepProblem(SessionHub& hub, bool forward, QString& message) {
    session::FindingsJob& job = hub.findings();
    message.clear();
    if (!job.current()) {
        job.watch();
        message = kChecking;
        return std::nullopt;
    }
    if (const std::string* error = job.error()) {
        message = CannotCheck(*error);
        return std::nullopt;
    }
    const std::optional<session::FindingStep> step =
        job.step(forward, session::CursorFrom::Problems);
    if (!step) {
        message = QStringLiteral("No problems found");
    } else if (step->wrapped) {
        message = forward ? QStringLiteral("Passed the last problem: back at the first")
                          : QStringLiteral("Passed the first problem: back at the last");
    }
    return step;
}

TProblemsForm::TProblemsForm(SessionHub& hub, QWidget* parent)
    : QWidget(parent, Qt::Window), hub_(hub), model_(hub.findings()) {
    setObjectName(QStringLiteral("ProblemsForm"));
    resize(860, 360);

    SummaryLabel = new QLabel(this);
    SummaryLabel->setObjectName(QStringLiteral("SummaryLabel"));
    sorted_.setSourceModel(&model_);
    sorted_.setSortRole(Qt::UserRole);
    ProblemList = new QTreeView(this);
    ProblemList->setObjectName(QStringLiteral("ProblemList"));
    ProblemList->setRootIsDecorated(false);
    ProblemList->setUniformRowHeights(true);
    ProblemList->setSelectionMode(QAbstractItemView::SingleSelection);
    ProblemList->setSelectionBehavior(QAbstractItemView::SelectRows);
    ProblemList->setModel(&sorted_);
    ProblemList->setSortingEnabled(true);
    // The checker's order (by packet) until the user sorts by a column.
    ProblemList->sortByColumn(-1, Qt::AscendingOrder);
    QHeaderView* header = ProblemList->header();
    header->resizeSection(display::FindingListModel::SeverityColumn, 90);
    header->resizeSection(display::FindingListModel::RuleColumn, 150);
    header->resizeSection(display::FindingListModel::MessageColumn, 520);
    header->setStretchLastSection(true);
    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setSizeGripEnabled(false);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(SummaryLabel);
    layout->addWidget(ProblemList);
    layout->addWidget(StatusBar);

    connect(ProblemList, &QAbstractItemView::clicked, this, &TProblemsForm::choose);
    connect(ProblemList, &QAbstractItemView::activated, this, &TProblemsForm::choose);
    auto* next = new QShortcut(QKeySequence(Qt::Key_F8), this);
    auto* previous = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F8), this);
    connect(next, &QShortcut::activated, this, [this] { step(true); });
    connect(previous, &QShortcut::activated, this, [this] { step(false); });
    connect(&hub, &SessionHub::storeChanged, this, &TProblemsForm::showState);
    connect(&hub, &SessionHub::findingsReady, this, &TProblemsForm::findingsReady);
    showState();
}

void TProblemsForm::showEvent(QShowEvent* event) {
    // The capture is checked once somebody looks, and from then on after every change.
    hub_.findings().watch();
    showState();
    QWidget::showEvent(event);
}

void TProblemsForm::showState() {
    const session::FindingsJob& job = hub_.findings();
    const QString file = QFileInfo(QString::fromStdString(hub_.session().fileName())).fileName();
    setWindowTitle(file.isEmpty() ? QStringLiteral("Problems")
                                  : QStringLiteral("Problems - %1").arg(file));
    // The last list stays in sight while the new store is checked, but its packet numbers
    // are those of the previous store: nothing can be chosen from it until the new one is in.
    ProblemList->setEnabled(job.current());
    if (!job.current()) {
        SummaryLabel->setText(kChecking);
    } else if (const std::string* error = job.error()) {
        SummaryLabel->setText(CannotCheck(*error));
    } else {
        SummaryLabel->setText(ProblemSummary(*job.findings()));
    }
}

void TProblemsForm::findingsReady() {
    model_.Rebuild();
    showState();
    StatusBar->clearMessage();
    if (const std::optional<bool> forward = std::exchange(pendingStep_, std::nullopt)) {
        step(*forward);
    }
}

void TProblemsForm::choose(const QModelIndex& index) {
    if (!hub_.findings().current()) {
        return;
    }
    if (const protocol::Finding* f = model_.FindingAt(sorted_.mapToSource(index))) {
        hub_.session().moveCursor(f->first, session::CursorFrom::Problems);
    }
}

void TProblemsForm::step(bool forward) {
    QString message;
    const std::optional<session::FindingStep> to = StepProblem(hub_, forward, message);
    if (!hub_.findings().current()) {
        pendingStep_ = forward;
        showState();
    }
    if (to) {
        selectFinding(to->index);
    }
    StatusBar->showMessage(message);
}

void TProblemsForm::selectFinding(std::size_t finding) {
    const QModelIndex index = sorted_.mapFromSource(
        model_.index(static_cast<int>(finding), display::FindingListModel::SeverityColumn));
    if (index.isValid()) {
        ProblemList->setCurrentIndex(index);
        ProblemList->scrollTo(index);
    }
}

} // namespace vintrace::app
