#include "app/TMainForm.h"
#include "app/TTransfersForm.h"
#include "capture/Command.h"
#include "display/KindStyle.h"
#include "display/TransferTreeModel.h"
#include "support/CompanionWindowTest.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace vintrace::display {
namespace {

using Model = TransferTreeModel;

std::string Data(const char* name) {
    return std::string(VINTRACE_TEST_DATA) + "/" + name;
}

void FetchAll(QAbstractItemModel& model, const QModelIndex& parent) {
    while (model.canFetchMore(parent)) {
        model.fetchMore(parent);
    }
}

QString Cell(const QAbstractItemModel& model, int row, int column, const QModelIndex& parent = {}) {
    return model.data(model.index(row, column, parent)).toString();
}

struct WalkCase {
    const char* file;
    bool fold;
};

void PrintTo(const WalkCase& c, std::ostream* os) {
    *os << c.file << (c.fold ? " folded" : " unfolded");
}

class TransferTreeWalk : public ::testing::TestWithParam<WalkCase> {};

// Every record sits under exactly one transaction of exactly one item, the rows say which
// record they show, and a look-up by record finds the row again.
TEST_P(TransferTreeWalk, EveryRecordIsOneRowAndIsFoundAgain) {
    capture::CaptureSession session;
    session.CaptureFileName = Data(GetParam().file);
    ASSERT_TRUE(session.Load().ok());
    Model model(session);
    model.setFold(GetParam().fold);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    FetchAll(model, {});
    ASSERT_EQ(static_cast<std::size_t>(model.rowCount()),
              session.transfers(GetParam().fold).size());
    std::vector<int> seen(session.PacketList.size(), 0);
    for (int top = 0; top < model.rowCount(); ++top) {
        const QModelIndex item = model.index(top, 0);
        ASSERT_TRUE(model.hasChildren(item));
        FetchAll(model, item);
        std::size_t lowest = SIZE_MAX;
        for (int mid = 0; mid < model.rowCount(item); ++mid) {
            const QModelIndex transaction = model.index(mid, 0, item);
            ASSERT_EQ(transaction.parent(), item);
            for (int row = 0; row < model.rowCount(transaction); ++row) {
                const QModelIndex packet = model.index(row, 0, transaction);
                ASSERT_EQ(packet.parent(), transaction);
                const auto record = model.FirstRecordOf(packet);
                ASSERT_TRUE(record);
                ASSERT_LT(*record, seen.size());
                ++seen[*record];
                lowest = std::min(lowest, *record);
                EXPECT_EQ(model.IndexOfRecord(*record), packet) << "record " << *record;
                EXPECT_EQ(Cell(model, row, Model::RecordColumn, transaction).toULongLong(),
                          *record);
            }
        }
        EXPECT_EQ(model.FirstRecordOf(item), lowest) << "item " << top;
    }
    for (std::size_t i = 0; i < seen.size(); ++i) {
        ASSERT_EQ(seen[i], 1) << "record " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    RealCaptures, TransferTreeWalk,
    ::testing::Values(WalkCase{"edge-cases.dat", true}, WalkCase{"faults.dat", true},
                      WalkCase{"fs-badge.dat", true}, WalkCase{"fs-badge.dat", false},
                      WalkCase{"ls-mouse.dat", true}, WalkCase{"ls-mouse.dat", false}),
    [](const ::testing::TestParamInfo<WalkCase>& info) {
        std::string name = info.param.file;
        name = name.substr(0, name.find('.'));
        std::replace(name.begin(), name.end(), '-', '_');
        return name + (info.param.fold ? "_folded" : "_unfolded");
    });

TEST(TransferTreeModel, ItemsSayWhatTheyAre) {
    struct Row {
        const char* file;
        int row;
        std::vector<const char*> cells; // record, item, endpoint, direction, status, bytes
        const char* payloadStart;
    };
    const Row rows[] = {
        {"fs-badge.dat", 0, {"0", "SOF ×6 (frames 597–602)", "", "", "ok", ""}, ""},
        {"fs-badge.dat", 1, {"6", "GET_DESCRIPTOR DEVICE", "0.0", "IN", "ok", "18"}, "12 01"},
        {"fs-badge.dat", 3, {"92", "SET_ADDRESS", "0.0", "OUT", "ok", "0"}, ""},
        {"fs-badge.dat",
         6,
         {"127", "GET_DESCRIPTOR DEVICE_QUALIFIER", "1.0", "IN", "stall", "0"},
         ""},
        {"fs-badge.dat", 19, {"217", "SOF ×1,189 (frames 758–138)", "", "", "ok", ""}, ""},
        {"ls-mouse.dat", 0, {"0", "UNKNOWN fits no transaction", "", "", "error", ""}, ""},
        {"ls-mouse.dat", 9, {"246", "Class request 0x0A", "4.0", "OUT", "ok", "0"}, ""},
        {"ls-mouse.dat", 11, {"314", "Polling IN 4.1 ×423 NAK", "4.1", "IN", "NAK", ""}, ""},
        {"ls-mouse.dat",
         12,
         {"1160", "Interrupt IN 1,106 bytes", "4.1", "IN", "incomplete", "1106"},
         "01 00 FF 0F 00 00 00 01 00 FE 0F 00 00 00 01 00"},
    };
    for (const Row& r : rows) {
        capture::CaptureSession session;
        session.CaptureFileName = Data(r.file);
        ASSERT_TRUE(session.Load().ok());
        Model model(session);
        for (int c = 0; c < static_cast<int>(r.cells.size()); ++c) {
            EXPECT_EQ(Cell(model, r.row, c), QString::fromUtf8(r.cells[c]))
                << r.file << " row " << r.row << " column " << c;
        }
        const QString payload = Cell(model, r.row, Model::PayloadColumn);
        EXPECT_EQ(payload.left(static_cast<int>(std::strlen(r.payloadStart))),
                  QString::fromLatin1(r.payloadStart))
            << r.file << " row " << r.row;
        EXPECT_EQ(payload.isEmpty(), *r.payloadStart == '\0') << r.file << " row " << r.row;
    }
}

TEST(TransferTreeModel, StatusIsColouredAsThePacketListColoursTheKind) {
    capture::CaptureSession session;
    session.CaptureFileName = Data("ls-mouse.dat");
    ASSERT_TRUE(session.Load().ok());
    Model model(session);
    auto colour = [&](int row, int column) {
        return model.data(model.index(row, column), Qt::BackgroundRole).value<QColor>();
    };
    auto kind = [](capture::RecordKind k) {
        const Rgb c = KindColour(k);
        return QColor(c.r, c.g, c.b);
    };
    EXPECT_EQ(colour(11, Model::StatusColumn), kind(capture::RecordKind::Nak));    // polling
    EXPECT_EQ(colour(0, Model::StatusColumn), kind(capture::RecordKind::Unknown)); // error
    EXPECT_FALSE(colour(11, Model::ItemColumn).isValid());

    session.CaptureFileName = Data("fs-badge.dat");
    ASSERT_TRUE(session.Load().ok());
    model.Rebuild();
    EXPECT_EQ(colour(7, Model::StatusColumn), kind(capture::RecordKind::Stall));
    EXPECT_FALSE(colour(1, Model::StatusColumn).isValid()); // ok
}

TEST(TransferFilter, ParsesAnAddressOrAnEndpoint) {
    using F = TransferFilter;
    const struct {
        const char* text;
        std::optional<F> expected;
    } cases[] = {
        {"", F{}},
        {" 5 ", F{5, std::nullopt}},
        {"5.1", F{5, 1}},
        {"127.15", F{127, 15}},
        {"128", std::nullopt},
        {"5.16", std::nullopt},
        {"5.", std::nullopt},
        {"x", std::nullopt},
        {"1.2.3", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(F::Parse(QString::fromLatin1(c.text)), c.expected) << c.text;
    }
}

} // namespace
} // namespace vintrace::display

namespace vintrace::app {
namespace {

using display::TransferTreeModel;

class TransfersWindow : public test::CompanionWindowTest {
protected:
    void SetUp() override {
        CompanionWindowTest::SetUp();
        form_->Transfers1->trigger();
        window_ = form_->transfersForm();
        ASSERT_NE(window_, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window_));
    }

    QTreeView* tree() const { return window_->TransferTree; }
    QAbstractItemModel* model() const { return tree()->model(); }
    QString cell(int row, int column, const QModelIndex& parent = {}) const {
        return model()->data(model()->index(row, column, parent)).toString();
    }
    void clickRow(const QModelIndex& index) { ClickRow(tree(), index); }

    TTransfersForm* window_ = nullptr;
};

TEST_F(TransfersWindow, OpensFromTheViewMenuOverTheOpenCapture) {
    EXPECT_EQ(form_->Transfers1->text(), "Transfers...");
    EXPECT_TRUE(window_->isVisible());
    EXPECT_FALSE(window_->isModal());
    EXPECT_EQ(cell(1, TransferTreeModel::ItemColumn), "GET_DESCRIPTOR DEVICE");
    // Opening again shows the same window.
    form_->Transfers1->trigger();
    EXPECT_EQ(form_->transfersForm(), window_);
}

TEST_F(TransfersWindow, SelectingAnItemShowsItsFirstPacketAtTheTopOfTheList) {
    const struct {
        std::vector<int> path; // rows from the top level down
        std::int64_t record;
    } cases[] = {{{1}, 6}, {{3}, 92}, {{1, 1}, 9}, {{1, 1, 2}, 11}};
    for (const auto& c : cases) {
        QModelIndex index;
        for (std::size_t level = 0; level < c.path.size(); ++level) {
            index = model()->index(c.path[level], 0, index);
            if (level + 1 < c.path.size()) {
                tree()->expand(index);
            }
        }
        ASSERT_TRUE(index.isValid());
        clickRow(index);
        EXPECT_EQ(tree()->currentIndex(), index);
        EXPECT_EQ(form_->ListBox1->topIndex(), c.record);
        EXPECT_EQ(form_->ListBox1->itemIndex(), c.record);
    }
}

TEST_F(TransfersWindow, ClickingAPacketLineSelectsTheInnermostItemHoldingIt) {
    for (const std::int64_t record : {std::int64_t{8}, std::int64_t{0}, std::int64_t{130}}) {
        form_->ListBox1->setTopIndex(record);
        QTest::mouseClick(form_->ListBox1->viewport(), Qt::LeftButton, {},
                          form_->ListBox1->itemRect(record).center());
        ASSERT_EQ(form_->ListBox1->itemIndex(), record);
        const QModelIndex current = tree()->currentIndex();
        ASSERT_TRUE(current.isValid()) << record;
        EXPECT_TRUE(current.parent().parent().isValid()) << "a packet row, record " << record;
        EXPECT_EQ(current.siblingAtColumn(TransferTreeModel::ItemColumn).data().toString(),
                  QString::fromLatin1(capture::KindName(form_->PacketList.kind(record))));
        EXPECT_EQ(cell(current.row(), TransferTreeModel::RecordColumn, current.parent()),
                  QString::number(record));
        // Following the list does not move the list.
        EXPECT_EQ(form_->ListBox1->topIndex(), record);
    }
    // The arrow keys move the cursor, and the tree follows it.
    form_->ListBox1->setFocus();
    QTest::keyClick(form_->ListBox1, Qt::Key_Down);
    ASSERT_EQ(form_->ListBox1->itemIndex(), 131);
    EXPECT_EQ(cell(tree()->currentIndex().row(), TransferTreeModel::RecordColumn,
                   tree()->currentIndex().parent()),
              "131");
}

TEST_F(TransfersWindow, FilterBoxNarrowsTheTreeToAnAddressOrEndpoint) {
    const int all = model()->rowCount();
    QTest::keyClicks(window_->FilterEdit, "1.0");
    ASSERT_GT(model()->rowCount(), 0);
    for (int row = 0; row < model()->rowCount(); ++row) {
        EXPECT_EQ(cell(row, TransferTreeModel::EndpointColumn), "1.0") << row;
    }
    const int narrowed = model()->rowCount();
    EXPECT_LT(narrowed, all);
    // A text that names no endpoint leaves the tree as it was.
    QTest::keyClicks(window_->FilterEdit, "x");
    EXPECT_EQ(model()->rowCount(), narrowed);
    // Cleared, everything is back.
    window_->FilterEdit->selectAll();
    QTest::keyClick(window_->FilterEdit, Qt::Key_Backspace);
    EXPECT_EQ(model()->rowCount(), all);
    EXPECT_EQ(cell(0, TransferTreeModel::ItemColumn), "SOF ×6 (frames 597–602)");
}

TEST_F(TransfersWindow, FoldCheckBoxListsSofsOneByOne) {
    ASSERT_TRUE(window_->FoldCheckBox->isChecked());
    QTest::mouseClick(window_->FoldCheckBox, Qt::LeftButton);
    EXPECT_FALSE(window_->FoldCheckBox->isChecked());
    EXPECT_EQ(cell(0, TransferTreeModel::ItemColumn), "SOF (frame 597)");
    EXPECT_EQ(cell(1, TransferTreeModel::ItemColumn), "SOF (frame 598)");
    EXPECT_EQ(cell(6, TransferTreeModel::ItemColumn), "GET_DESCRIPTOR DEVICE");
    QTest::mouseClick(window_->FoldCheckBox, Qt::LeftButton);
    EXPECT_EQ(cell(1, TransferTreeModel::ItemColumn), "GET_DESCRIPTOR DEVICE");
}

TEST_F(TransfersWindow, FollowsTheStoreThroughHideAndReload) {
    send(capture::CMD_HIDE_SOF);
    EXPECT_EQ(cell(0, TransferTreeModel::ItemColumn), "GET_DESCRIPTOR DEVICE");
    EXPECT_EQ(cell(0, TransferTreeModel::RecordColumn), "0");
    EXPECT_EQ(cell(1, TransferTreeModel::ItemColumn), "SET_ADDRESS");
    // After the hide, selecting an item still finds its packet in the list as shown now.
    clickRow(model()->index(1, 0));
    EXPECT_EQ(form_->ListBox1->itemIndex(), cell(1, TransferTreeModel::RecordColumn).toLongLong());
    EXPECT_EQ(form_->PacketList.kind(static_cast<std::size_t>(form_->ListBox1->itemIndex())),
              capture::RecordKind::Setup);

    form_->ShowAll1->trigger();
    EXPECT_EQ(cell(0, TransferTreeModel::ItemColumn), "SOF ×6 (frames 597–602)");
    EXPECT_EQ(cell(1, TransferTreeModel::RecordColumn), "6");

    // Opening a capture that cannot be read leaves an empty tree.
    form_->ChooseCaptureFile = [this] { return dir_.filePath("gone.dat").toStdString(); };
    form_->Open1->trigger();
    EXPECT_EQ(model()->rowCount(), 0);
}

TEST_F(TransfersWindow, ClosedWindowBuildsNoIndexesUntilShownAgain) {
    window_->close();
    ASSERT_FALSE(window_->isVisible());
    send(capture::CMD_HIDE_SOF);
    QTest::mouseClick(form_->ListBox1->viewport(), Qt::LeftButton, {},
                      form_->ListBox1->itemRect(2).center());
    EXPECT_FALSE(form_->Session.hasIndexes());

    form_->Transfers1->trigger();
    ASSERT_TRUE(window_->isVisible());
    EXPECT_EQ(cell(0, TransferTreeModel::ItemColumn), "GET_DESCRIPTOR DEVICE");
    // Shown again, it picks up the cursor set while it was closed.
    const QModelIndex current = tree()->currentIndex();
    ASSERT_TRUE(current.isValid());
    EXPECT_EQ(cell(current.row(), TransferTreeModel::RecordColumn, current.parent()), "2");
}

} // namespace
} // namespace vintrace::app
