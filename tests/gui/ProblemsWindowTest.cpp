#include "app/TMainForm.h"
#include "app/TProblemsForm.h"
#include "app/TTransfersForm.h"
#include "display/FindingListModel.h"
#include "display/TransferTreeModel.h"
#include "session/CaptureSession.h"
#include "support/MenuClicks.h"
#include "support/RecordingAnalyzer.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace vintrace::app {
namespace {

using display::FindingListModel;
using protocol::Finding;
using protocol::Severity;

std::string Data(const char* name) {
    return std::string(VINTRACE_TEST_DATA) + "/" + name;
}

TEST(ProblemSummary, CountsEachSeverityWithItsNumber) {
    const auto of = [](std::initializer_list<Severity> severities) {
        std::vector<Finding> findings;
        for (Severity s : severities) {
            findings.push_back(Finding{"rule", s, 0, 0, {}, {}, "", ""});
        }
        return ProblemSummary(findings).toStdString();
    };
    EXPECT_EQ(of({}), "No problems found");
    EXPECT_EQ(of({Severity::Error, Severity::Warning, Severity::Error, Severity::Error}),
              "3 errors, 1 warning, 0 info");
    EXPECT_EQ(
        of({Severity::Error, Severity::Info, Severity::Info, Severity::Warning, Severity::Warning}),
        "1 error, 2 warnings, 2 info");
}

/// The main window over faults.dat (a capture with a fault of each kind the checker knows
/// on the packet level), opened from a fresh current folder.
class ProblemsWindow : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
        ASSERT_TRUE(QFile::copy(QString::fromStdString(Data("faults.dat")),
                                dir_.filePath(QStringLiteral("usbdata.dat"))));
        form_ = std::make_unique<TMainForm>(analyzer_);
        form_->ShowMessage = [](const QString&, const QString&) {};
        form_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
        // What the command line's check finds in the same store.
        session::CaptureSession cli;
        ASSERT_TRUE(cli.open(Data("faults.dat")).ok());
        want_ = cli.findings();
        ASSERT_GE(want_.size(), 3u);
    }
    void TearDown() override {
        form_.reset();
        QDir::setCurrent(previous_);
    }

    /// View > Problems..., chosen with the keyboard as a user does.
    TProblemsForm* open() {
        EXPECT_TRUE(test::ChooseMenuItem(form_->menuBar(), "View", "Problems..."));
        return form_->problemsForm();
    }
    /// Waits until the window shows a result.
    static bool ready(TProblemsForm* window) {
        return QTest::qWaitFor(
            [window] { return window->SummaryLabel->text() != QStringLiteral("Checking\u2026"); },
            10000);
    }
    static QString cell(TProblemsForm* window, int row, int column) {
        const QAbstractItemModel* model = window->ProblemList->model();
        return model->index(row, column).data().toString();
    }
    static void clickRow(TProblemsForm* window, int row) {
        QTreeView* list = window->ProblemList;
        const QModelIndex index = list->model()->index(row, FindingListModel::RuleColumn);
        list->scrollTo(index);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(index).center());
    }
    std::int64_t cursor() const { return form_->ListBox1->itemIndex(); }

    QTemporaryDir dir_;
    QString previous_;
    test::RecordingAnalyzer analyzer_;
    std::unique_ptr<TMainForm> form_;
    std::vector<Finding> want_;
};

TEST_F(ProblemsWindow, ListsWhatTheCheckerFindsOnceTheWorkerHasChecked) {
    TProblemsForm* window = open();
    ASSERT_NE(window, nullptr);
    QAbstractItemModelTester tester(&window->model(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isModal());
    EXPECT_EQ(window->windowTitle(), "Problems - usbdata.dat");
    // The check runs on a worker: until its result is taken the window says so and is usable.
    EXPECT_EQ(window->SummaryLabel->text(), QStringLiteral("Checking\u2026"));
    EXPECT_EQ(window->ProblemList->model()->rowCount(), 0);
    ASSERT_TRUE(ready(window));

    EXPECT_EQ(window->SummaryLabel->text(), ProblemSummary(want_));
    EXPECT_TRUE(window->ProblemList->isEnabled());
    ASSERT_EQ(window->ProblemList->model()->rowCount(), static_cast<int>(want_.size()));
    for (std::size_t i = 0; i < want_.size(); ++i) {
        const int row = static_cast<int>(i);
        const Finding& f = want_[i];
        EXPECT_EQ(cell(window, row, FindingListModel::SeverityColumn),
                  QString::fromLatin1(protocol::SeverityName(f.severity)));
        EXPECT_EQ(cell(window, row, FindingListModel::RuleColumn), QString::fromLatin1(f.rule));
        EXPECT_EQ(cell(window, row, FindingListModel::MessageColumn),
                  QString::fromStdString(f.message));
        EXPECT_EQ(cell(window, row, FindingListModel::RecordColumn), QString::number(f.first));
        const QModelIndex icon = window->ProblemList->model()->index(row, 0);
        EXPECT_FALSE(icon.data(Qt::DecorationRole).value<QIcon>().isNull()) << i;
    }
    // Opening it again shows the same window.
    form_->Problems1->trigger();
    EXPECT_EQ(form_->problemsForm(), window);
}

TEST_F(ProblemsWindow, ClickOrEnterOnAFindingPutsThePacketListOnItsFirstPacket) {
    TProblemsForm* window = open();
    ASSERT_TRUE(ready(window));
    EXPECT_EQ(cursor(), -1); // opening moved nothing
    for (int row : {2, 0, static_cast<int>(want_.size()) - 1}) {
        clickRow(window, row);
        EXPECT_EQ(cursor(), static_cast<std::int64_t>(want_[static_cast<std::size_t>(row)].first))
            << "row " << row;
        EXPECT_EQ(form_->Session.cursor(), want_[static_cast<std::size_t>(row)].first);
    }
    // Enter on a row reached with the keyboard.
    clickRow(window, 0);
    QTest::keyClick(window->ProblemList, Qt::Key_Down);
    QTest::keyClick(window->ProblemList, Qt::Key_Return);
    EXPECT_EQ(cursor(), static_cast<std::int64_t>(want_[1].first));

    // Sorted by rule (a click on its header), a row still leads to its own finding.
    QHeaderView* header = window->ProblemList->header();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(FindingListModel::RuleColumn) + 10,
                             header->height() / 2));
    const QString firstRule = cell(window, 0, FindingListModel::RuleColumn);
    for (const Finding& f : want_) {
        EXPECT_LE(firstRule, QString::fromLatin1(f.rule));
    }
    const QString record = cell(window, 0, FindingListModel::RecordColumn);
    clickRow(window, 0);
    EXPECT_EQ(QString::number(cursor()), record);
}

TEST_F(ProblemsWindow, F8VisitsEachPacketWithAFindingInOrderAndWrapsWithAMessage) {
    std::vector<std::size_t> records; // each packet with a finding once, in order
    for (const Finding& f : want_) {
        if (records.empty() || records.back() != f.first) {
            records.push_back(f.first);
        }
    }
    // The first F8 starts the check; the step is made once the result is in.
    QTest::keyClick(form_->ListBox1, Qt::Key_F8);
    EXPECT_EQ(form_->statusBar()->currentMessage(), QStringLiteral("Checking\u2026"));
    QTRY_COMPARE_WITH_TIMEOUT(cursor(), static_cast<std::int64_t>(records[0]), 10000);
    for (std::size_t i = 1; i < records.size(); ++i) {
        QTest::keyClick(form_->ListBox1, Qt::Key_F8);
        ASSERT_EQ(cursor(), static_cast<std::int64_t>(records[i])) << i;
        EXPECT_TRUE(form_->statusBar()->currentMessage().isEmpty());
    }
    QTest::keyClick(form_->ListBox1, Qt::Key_F8);
    EXPECT_EQ(cursor(), static_cast<std::int64_t>(records[0]));
    EXPECT_EQ(form_->statusBar()->currentMessage(), "Passed the last problem: back at the first");
    QTest::keyClick(form_->ListBox1, Qt::Key_F8, Qt::ShiftModifier);
    EXPECT_EQ(cursor(), static_cast<std::int64_t>(records.back()));
    EXPECT_EQ(form_->statusBar()->currentMessage(), "Passed the first problem: back at the last");
    QTest::keyClick(form_->ListBox1, Qt::Key_F8, Qt::ShiftModifier);
    EXPECT_EQ(cursor(), static_cast<std::int64_t>(records[records.size() - 2]));

    // In the Problems window F8 goes on from the packet list's cursor and selects the row.
    TProblemsForm* window = open();
    ASSERT_TRUE(ready(window));
    // Active itself, not only beside its active parent (which its shortcuts would not see).
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([window] { return QApplication::activeWindow() == window; }));
    QTest::keyClick(window->ProblemList, Qt::Key_F8);
    EXPECT_EQ(cursor(), static_cast<std::int64_t>(records.back()));
    const QModelIndex current = window->ProblemList->currentIndex();
    ASSERT_TRUE(current.isValid());
    EXPECT_EQ(cell(window, current.row(), FindingListModel::RecordColumn),
              QString::number(records.back()));
}

TEST_F(ProblemsWindow, ANewCaptureIsCheckedWhileTheLastListStaysGreyed) {
    TProblemsForm* window = open();
    ASSERT_TRUE(ready(window));
    // Back to the main window (for its F8 below) before a capture is opened: nothing may
    // run the event loop between the opening and the checks of the state meanwhile.
    form_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get()));
    form_->OpenCaptureFile(Data("fs-badge.dat"));
    EXPECT_EQ(window->windowTitle(), "Problems - fs-badge.dat");
    EXPECT_EQ(window->SummaryLabel->text(), QStringLiteral("Checking\u2026"));
    // faults.dat's list stays in sight, but its packet numbers are no longer this capture's.
    EXPECT_EQ(window->ProblemList->model()->rowCount(), static_cast<int>(want_.size()));
    EXPECT_FALSE(window->ProblemList->isEnabled());
    clickRow(window, 0);
    EXPECT_EQ(cursor(), -1);
    // F8 waits for the new result rather than using the old one.
    QTest::keyClick(form_->ListBox1, Qt::Key_F8);
    EXPECT_EQ(cursor(), -1);

    ASSERT_TRUE(ready(window));
    session::CaptureSession cli;
    ASSERT_TRUE(cli.open(Data("fs-badge.dat")).ok());
    EXPECT_EQ(window->SummaryLabel->text(), ProblemSummary(cli.findings()));
    ASSERT_EQ(window->ProblemList->model()->rowCount(), static_cast<int>(cli.findings().size()));
    EXPECT_TRUE(window->ProblemList->isEnabled());
    ASSERT_FALSE(cli.findings().empty());
    EXPECT_EQ(cursor(), static_cast<std::int64_t>(cli.findings()[0].first));
}

TEST_F(ProblemsWindow, TransfersCarryingAFindingAreMarkedAndF8VisitsThemThere) {
    ASSERT_TRUE(test::ChooseMenuItem(form_->menuBar(), "View", "Transfers..."));
    TTransfersForm* transfers = form_->transfersForm();
    ASSERT_NE(transfers, nullptr);
    display::TransferTreeModel& model = transfers->model();
    // The toggle error on 3.2: its transfer gets the mark once the check is in.
    const auto toggle = std::find_if(want_.begin(), want_.end(), [](const Finding& f) {
        return f.rule == std::string_view("toggle-error");
    });
    ASSERT_NE(toggle, want_.end());
    QModelIndex item = model.IndexOfRecord(toggle->first);
    ASSERT_TRUE(item.isValid());
    while (item.parent().isValid()) {
        item = item.parent();
    }
    const QModelIndex status = item.siblingAtColumn(display::TransferTreeModel::StatusColumn);
    QTRY_VERIFY_WITH_TIMEOUT(!status.data(Qt::DecorationRole).value<QIcon>().isNull(), 10000);
    EXPECT_TRUE(status.data(Qt::ToolTipRole)
                    .toString()
                    .contains(QString::fromStdString("toggle-error: " + toggle->message)));
    // A transfer of the same capture without a finding has no mark.
    int unmarked = 0;
    for (int row = 0; row < model.rowCount(); ++row) {
        unmarked += model.index(row, display::TransferTreeModel::StatusColumn)
                        .data(Qt::DecorationRole)
                        .isNull();
    }
    EXPECT_GT(unmarked, 0);

    transfers->activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([transfers] { return QApplication::activeWindow() == transfers; }));
    QTest::keyClick(transfers->TransferTree, Qt::Key_F8);
    EXPECT_EQ(cursor(), static_cast<std::int64_t>(want_[0].first));

    // A new store takes the marks away until its own check is in.
    form_->OpenCaptureFile(Data("fs-badge.dat"));
    for (int row = 0; row < model.rowCount(); ++row) {
        ASSERT_TRUE(model.index(row, display::TransferTreeModel::StatusColumn)
                        .data(Qt::DecorationRole)
                        .isNull());
    }
}

TEST_F(ProblemsWindow, AnEmptyCaptureHasNoProblems) {
    const QString empty = dir_.filePath(QStringLiteral("empty.dat"));
    QFile file(empty);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    form_->OpenCaptureFile(empty.toStdString());
    TProblemsForm* window = open();
    ASSERT_TRUE(ready(window));
    EXPECT_EQ(window->SummaryLabel->text(), "No problems found");
    EXPECT_EQ(window->ProblemList->model()->rowCount(), 0);
    QTest::keyClick(window->ProblemList, Qt::Key_F8);
    EXPECT_EQ(window->StatusBar->currentMessage(), "No problems found");
}

} // namespace
} // namespace vintrace::app
