#include "app/TMainForm.h"
#include "app/TTransfersForm.h"
#include "capture/Command.h"
#include "display/KindStyle.h"
#include "display/TransferTreeModel.h"
#include "support/BusSequence.h"
#include "support/CompanionWindowTest.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QToolTip>
#include <QTreeView>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
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
    /// Transactions of a span a range covers: small enough here for many items to page.
    std::size_t pageSpan = Model::kPageSpan;
};

void PrintTo(const WalkCase& c, std::ostream* os) {
    *os << c.file << (c.fold ? " folded" : " unfolded") << " page " << c.pageSpan;
}

/// The transaction rows of an item, from under its ranges when it lists ranges, each range
/// checked against its rows.
std::vector<QModelIndex> TransactionRows(Model& model, const QModelIndex& item) {
    std::vector<QModelIndex> rows;
    FetchAll(model, item);
    for (int row = 0; row < model.rowCount(item); ++row) {
        const QModelIndex child = model.index(row, 0, item);
        if (!model.IsRange(child)) {
            EXPECT_EQ(model.DepthOf(child), 1);
            rows.push_back(child);
            continue;
        }
        EXPECT_EQ(model.DepthOf(child), 1);
        EXPECT_EQ(child.parent(), item);
        FetchAll(model, child);
        const int count = model.rowCount(child);
        if (count > 0) {
            EXPECT_TRUE(model.hasChildren(child));
        }
        for (int mid = 0; mid < count; ++mid) {
            const QModelIndex transaction = model.index(mid, 0, child);
            EXPECT_EQ(transaction.parent(), child);
            EXPECT_EQ(model.DepthOf(transaction), 2);
            rows.push_back(transaction);
        }
        if (count > 0) {
            // A range runs from its first transaction's first record to its last's last.
            EXPECT_EQ(model.FirstRecordOf(child), model.FirstRecordOf(model.index(0, 0, child)));
            EXPECT_EQ(model.LastRecordOf(child),
                      model.LastRecordOf(model.index(count - 1, 0, child)));
        } else {
            EXPECT_FALSE(model.FirstRecordOf(child));
        }
    }
    return rows;
}

class TransferTreeWalk : public ::testing::TestWithParam<WalkCase> {};

// Every record sits under exactly one transaction of exactly one item, the rows say which
// record they show, and a look-up by record finds the row again. The window is narrower than
// the tree, so the walk moves it as a user scrolling down does: the windows together hold the
// items of the transfer list, each once, in its order.
TEST_P(TransferTreeWalk, EveryRecordIsOneRowAndIsFoundAgain) {
    session::CaptureSession session;
    ASSERT_TRUE(session.open(Data(GetParam().file)).ok());
    Model model(session, nullptr, false, GetParam().pageSpan);
    model.setFold(GetParam().fold);
    model.setWindowRows(5);
    const protocol::TransferList& list = session.transferList(GetParam().fold);
    const protocol::Transactions& tx = session.transactions();
    std::size_t pagedItems = 0;
    ASSERT_EQ(model.TopCount(), list.size());
    std::vector<int> seen(session.packets().size(), 0);
    for (std::size_t position = 0; position < model.TopCount(); ++position) {
        const std::size_t start = model.WindowStart();
        model.ShowPosition(position);
        if (position == 0 || model.WindowStart() != start) {
            // Over each window in turn (the tester cannot follow a reset that hands it rows).
            QAbstractItemModelTester tester(&model,
                                            QAbstractItemModelTester::FailureReportingMode::Fatal);
        }
        ASSERT_LE(model.WindowStart(), position);
        ASSERT_LE(static_cast<std::size_t>(model.rowCount()), model.WindowRows());
        const int top = static_cast<int>(position - model.WindowStart());
        const QModelIndex item = model.index(top, 0);
        ASSERT_EQ(model.PositionOf(item), position);
        EXPECT_EQ(Cell(model, top, Model::RecordColumn).toULongLong(),
                  protocol::FirstRecord(session.transactions(), list[position]));
        ASSERT_TRUE(model.hasChildren(item));
        const protocol::TransferItem listed = list[position];
        const bool paged = listed.lastTransaction - listed.firstTransaction >= model.PageSpan();
        pagedItems += paged ? 1 : 0;
        // Under its ranges or not, the rows are the item's members, in order.
        const std::vector<QModelIndex> transactions = TransactionRows(model, item);
        std::vector<std::size_t> shown;
        for (const QModelIndex& transaction : transactions) {
            shown.push_back(
                Cell(model, transaction.row(), Model::RecordColumn, transaction.parent())
                    .toULongLong());
        }
        std::vector<std::size_t> members;
        for (const std::size_t x : protocol::Members(tx, listed)) {
            members.push_back(tx[x].first);
        }
        ASSERT_EQ(shown, members) << "item " << position;
        if (paged) {
            EXPECT_EQ(static_cast<std::size_t>(model.rowCount(item)),
                      (listed.lastTransaction - listed.firstTransaction) / model.PageSpan() + 1);
            // What Copy and Save payload take from each range joins up to the item's payload.
            std::vector<std::uint8_t> joined;
            for (int range = 0; range < model.rowCount(item); ++range) {
                const auto part = model.PayloadOf(model.index(range, 0, item));
                joined.insert(joined.end(), part.begin(), part.end());
            }
            EXPECT_EQ(joined, model.PayloadOf(item)) << "item " << position;
        }
        std::size_t lowest = SIZE_MAX;
        for (const QModelIndex& transaction : transactions) {
            EXPECT_EQ(model.DepthOf(transaction), paged ? 2 : 1);
            for (int row = 0; row < model.rowCount(transaction); ++row) {
                const QModelIndex packet = model.index(row, 0, transaction);
                ASSERT_EQ(packet.parent(), transaction);
                EXPECT_EQ(model.DepthOf(packet), paged ? 3 : 2);
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
        EXPECT_EQ(model.FirstRecordOf(item), lowest) << "item " << position;
    }
    // A record far from the window moves the window to it.
    if (model.TopCount() > 2 * model.WindowRows()) {
        model.MoveWindow(0);
        const QModelIndex last = model.IndexOfRecord(session.packets().size() - 1);
        ASSERT_TRUE(last.isValid());
        EXPECT_GT(model.WindowStart(), 0u);
        EXPECT_EQ(model.FirstRecordOf(last), session.packets().size() - 1);
    }
    for (std::size_t i = 0; i < seen.size(); ++i) {
        ASSERT_EQ(seen[i], 1) << "record " << i;
    }
    if (GetParam().pageSpan < Model::kPageSpan) {
        EXPECT_GT(pagedItems, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    RealCaptures, TransferTreeWalk,
    ::testing::Values(WalkCase{"edge-cases.dat", true}, WalkCase{"faults.dat", true},
                      WalkCase{"fs-badge.dat", true}, WalkCase{"fs-badge.dat", false},
                      WalkCase{"ls-mouse.dat", true}, WalkCase{"ls-mouse.dat", false},
                      // Long items listed in ranges of a few transactions.
                      WalkCase{"faults.dat", true, 2}, WalkCase{"fs-badge.dat", true, 16},
                      WalkCase{"ls-mouse.dat", true, 3}, WalkCase{"ls-mouse.dat", false, 5}),
    [](const ::testing::TestParamInfo<WalkCase>& info) {
        std::string name = info.param.file;
        name = name.substr(0, name.find('.'));
        std::replace(name.begin(), name.end(), '-', '_');
        name += info.param.fold ? "_folded" : "_unfolded";
        if (info.param.pageSpan != Model::kPageSpan) {
            name += "_in_ranges_of_" + std::to_string(info.param.pageSpan);
        }
        return name;
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
        {"fs-badge.dat",
         1,
         {"6", "GET_DESCRIPTOR DEVICE; device 303A:1001", "0.0", "IN", "ok", "18"},
         "12 01"},
        {"fs-badge.dat", 3, {"92", "SET_ADDRESS", "0.0", "OUT", "ok", "0"}, ""},
        {"fs-badge.dat",
         6,
         {"127", "GET_DESCRIPTOR DEVICE_QUALIFIER", "1.0", "IN", "stall", "0"},
         ""},
        // Split where frames 1870-2047 and 0-61 went without SOFs (8.4.3.1).
        {"fs-badge.dat", 19, {"217", "SOF ×1,112 (frames 758–1869)", "", "", "ok", ""}, ""},
        {"ls-mouse.dat", 0, {"0", "UNKNOWN fits no transaction", "", "", "error", ""}, ""},
        {"ls-mouse.dat",
         9,
         {"246", "SET_IDLE indefinite report 0 interface 0", "4.0", "OUT", "ok", "0"},
         ""},
        {"ls-mouse.dat", 11, {"314", "Polling IN 4.1 ×423 NAK", "4.1", "IN", "NAK", ""}, ""},
        {"ls-mouse.dat",
         12,
         {"1160",
          // One report per interrupt transfer (USB 2.0 5.7.5).
          "HID report 1: Button 1: 0, Button 2: 0, Button 3: 0, Button 4: 0, Button 5: 0, X: -1, "
          "Y: 0, Wheel: 0, AC Pan: 0",
          "4.1", "IN", "ok", "7"},
         "01 00 FF 0F 00 00 00"},
    };
    for (const Row& r : rows) {
        session::CaptureSession session;
        ASSERT_TRUE(session.open(Data(r.file)).ok());
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

// Errors on the wire show where they are: the answer a device sent past wLength is an error
// item that names it (9.3.5), and a data packet whose CRC16 failed is a transaction of the
// transfer its retry completed, marked (8.6.3).
TEST(TransferTreeModel, ShowsErrorsOnTheWire) {
    session::CaptureSession session;
    session.replaceStore(
        test::BusSequence(
            "SETUP 1.0, DATA0 8006000100000400, ACK, IN 1.0, DATA1 12010002, ACK, IN 1.0, "
            "DATA0 AABBCC, ACK, OUT 1.0, DATA1, ACK, OUT 3.2, DATA0! 0102, OUT 3.2, DATA0 0102, "
            "ACK, "
            "SOF 1"),
        {}, "wire.dat");
    Model model(session);
    EXPECT_EQ(Cell(model, 1, Model::ItemColumn),
              QStringLiteral("Control 3 bytes sent past wLength"));
    EXPECT_EQ(Cell(model, 1, Model::StatusColumn), QStringLiteral("error"));
    const QModelIndex bulk = model.index(2, 0);
    EXPECT_EQ(Cell(model, 2, Model::BytesColumn), QStringLiteral("2"));
    FetchAll(model, bulk);
    ASSERT_EQ(model.rowCount(bulk), 2);
    EXPECT_EQ(Cell(model, 0, Model::StatusColumn, bulk), QStringLiteral("no handshake, bad CRC16"));
    EXPECT_EQ(Cell(model, 1, Model::StatusColumn, bulk), QStringLiteral("ACK"));
}

// The payload cell and its tooltip read a bounded part of a transfer's span: data that came
// after more NAKed polls than that is not shown, and both say there is more.
TEST(TransferTreeModel, PayloadCellsReadOnlyTheStartOfALongSpan) {
    std::string bus = "IN 2.1, DATA0 0102030405060708, ACK, ";
    for (std::size_t i = 0; i <= Model::kPayloadSpan; ++i) {
        bus += "IN 2.1, NAK, ";
    }
    bus += "IN 2.1, DATA1 1112131415161718, ACK, IN 2.1, DATA0 2122, ACK";
    session::CaptureSession session;
    session.replaceStore(test::BusSequence(bus), {}, "long.dat");
    Model model(session);
    model.setFold(false); // each NAK an item of its own, inside the transfer's span
    const protocol::TransferList& list = session.transferList(false);
    ASSERT_EQ(list[0].bytes, 18u);
    ASSERT_GT(list[0].lastTransaction - list[0].firstTransaction, Model::kPayloadSpan);
    EXPECT_EQ(Cell(model, 0, Model::PayloadColumn), QStringLiteral("01 02 03 04 05 06 07 08 …"));
    EXPECT_EQ(model.index(0, Model::PayloadColumn).data(Qt::ToolTipRole).toString(),
              QStringLiteral("01 02 03 04 05 06 07 08\n… 18 bytes"));
    // Copy and Save payload still take the whole of it.
    EXPECT_EQ(model.PayloadOf(model.index(0, 0)).size(), 18u);
}

// Each kind of transfer reads as an analyzer's summary: a descriptor with how much of it came,
// a class request by its own name, a report, a SCSI command; the tooltip adds the detail lines.
TEST(TransferTreeModel, ItemsReadLikeAnAnalyzersSummary) {
    // A bulk-only disk (bulk IN 0x81, OUT 0x02) asked for 8 blocks at LBA 2048.
    const std::string disk =
        "SETUP 7.0, DATA0 8006000200002000, ACK, IN 7.0, DATA1 "
        "0902200001010080320904000002080650000705810240000007050202400000, ACK, "
        "OUT 7.0, DATA1, ACK, "
        "OUT 7.2, DATA0 55534243100000000010000080000A28000000080000000800000000000000, ACK";
    const struct {
        const char* file; // nothing: the disk above
        int row;
        const char* item;
        const char* tip; // nothing: not checked
    } rows[] = {
        {"fs-badge.dat", 9, "GET_DESCRIPTOR CONFIGURATION (9 of 98 bytes)", nullptr},
        {"fs-badge.dat", 18, "SET_LINE_CODING 9600 8N1", nullptr},
        {"ls-mouse.dat", 12,
         "HID report 1: Button 1: 0, Button 2: 0, Button 3: 0, Button 4: 0, Button 5: 0, X: -1, "
         "Y: 0, Wheel: 0, AC Pan: 0",
         nullptr},
        {nullptr, 1, "SCSI READ(10) LBA 2048 × 8",
         "1 transaction\nSCSI READ(10) LBA 2048 × 8\nCBW tag 0x10, LUN 0, IN 4096 bytes"},
    };
    for (const auto& r : rows) {
        session::CaptureSession session;
        if (r.file) {
            ASSERT_TRUE(session.open(Data(r.file)).ok());
        } else {
            session.replaceStore(test::BusSequence(disk), {}, "disk.dat");
        }
        Model model(session);
        const QModelIndex index = model.index(r.row, Model::ItemColumn);
        EXPECT_EQ(index.data().toString(), QString::fromUtf8(r.item)) << r.item;
        if (r.tip) {
            EXPECT_EQ(index.data(Qt::ToolTipRole).toString(), QString::fromUtf8(r.tip));
        }
    }
}

} // namespace
} // namespace vintrace::display

namespace vintrace::app {
namespace {

using display::TransferTreeModel;

class TransfersWindow : public test::TransfersWindowOpen {
protected:
    QAbstractItemModel* model() const { return tree()->model(); }
    QString cell(int row, int column, const QModelIndex& parent = {}) const {
        return model()->data(model()->index(row, column, parent)).toString();
    }
    void clickRow(const QModelIndex& index) { ClickRow(tree(), index); }
    /// Scrolls the packet list to `record` and clicks its line, as a user picks a packet.
    void clickPacket(std::int64_t record) {
        form_->ListBox1->setTopIndex(record);
        QTest::mouseClick(form_->ListBox1->viewport(), Qt::LeftButton, {},
                          form_->ListBox1->itemRect(record).center());
    }

    /// Lists SOFs one by one (over a thousand items) and narrows the tree's window far below
    /// that, as a capture of millions of items would have it.
    void listEverySof() {
        QTest::mouseClick(window_->FoldCheckBox, Qt::LeftButton);
        ASSERT_FALSE(window_->FoldCheckBox->isChecked());
        window_->model().setWindowRows(64);
        QApplication::processEvents();
        ASSERT_GT(items().size(), 10 * window_->model().WindowRows());
    }
    const protocol::TransferList& items() const { return form_->Session.transferList(false); }
    std::size_t firstRecord(std::size_t position) const {
        return protocol::FirstRecord(form_->Session.transactions(), items()[position]);
    }
    std::optional<std::size_t> currentPosition() const {
        return window_->model().PositionOf(tree()->currentIndex());
    }
    std::optional<std::size_t> topPosition() const {
        return window_->model().PositionOf(tree()->indexAt(QPoint(0, 0)));
    }
    void key(Qt::Key k) {
        QTest::keyClick(tree(), k);
        QApplication::processEvents(); // the scroll bar follows once the tree has laid out
    }
    /// Drags the scroll bar's handle to `y` in the bar, as a mouse does.
    void dragScrollBarTo(int y) {
        QScrollBar* bar = window_->ItemScrollBar;
        QStyleOptionSlider opt;
        opt.initFrom(bar);
        opt.orientation = Qt::Vertical;
        opt.minimum = bar->minimum();
        opt.maximum = bar->maximum();
        opt.sliderPosition = bar->sliderPosition();
        opt.sliderValue = bar->value();
        opt.singleStep = bar->singleStep();
        opt.pageStep = bar->pageStep();
        opt.subControls = QStyle::SC_All;
        const QRect handle = bar->style()->subControlRect(QStyle::CC_ScrollBar, &opt,
                                                          QStyle::SC_ScrollBarSlider, bar);
        QTest::mousePress(bar, Qt::LeftButton, {}, handle.center());
        QTest::mouseMove(bar, QPoint(handle.center().x(), (handle.center().y() + y) / 2));
        QTest::mouseMove(bar, QPoint(handle.center().x(), y));
        QTest::mouseRelease(bar, Qt::LeftButton, {}, QPoint(handle.center().x(), y));
        QApplication::processEvents();
    }
};

// The tree holds a window of the items, but the keys and the scroll bar reach the whole list:
// End selects the last item and Home the first, wherever the window stood.
TEST_F(TransfersWindow, EndAndHomeReachTheEndsOfTheWholeList) {
    listEverySof();
    QScrollBar* bar = window_->ItemScrollBar;
    const std::size_t last = items().size() - 1;
    EXPECT_GT(static_cast<std::size_t>(bar->maximum() + bar->pageStep()), last);
    tree()->setFocus();
    for (int round = 0; round < 2; ++round) {
        key(Qt::Key_End);
        ASSERT_EQ(currentPosition(), last);
        EXPECT_EQ(cell(tree()->currentIndex().row(), TransferTreeModel::RecordColumn),
                  QString::number(firstRecord(last)));
        EXPECT_EQ(form_->ListBox1->itemIndex(), static_cast<std::int64_t>(firstRecord(last)));
        EXPECT_EQ(bar->value(), bar->maximum());
        key(Qt::Key_Home);
        ASSERT_EQ(currentPosition(), 0u);
        EXPECT_EQ(form_->ListBox1->itemIndex(), 0);
        EXPECT_EQ(bar->value(), 0);
    }
}

// PageDown walks from the first item to the last, a page at a time and never skipping one,
// across every move of the window; Up steps back over the window's edge.
TEST_F(TransfersWindow, PageDownWalksTheWholeListAcrossWindows) {
    listEverySof();
    tree()->setFocus();
    key(Qt::Key_Home);
    const std::size_t last = items().size() - 1;
    std::size_t at = 0;
    std::size_t presses = 0;
    bool windowMoved = false;
    while (at < last) {
        ASSERT_LT(++presses, items().size()) << "stuck at item " << at;
        const std::size_t start = window_->model().WindowStart();
        key(Qt::Key_PageDown);
        const std::optional<std::size_t> now = currentPosition();
        ASSERT_TRUE(now);
        ASSERT_GT(*now, at);
        ASSERT_LE(*now - at, static_cast<std::size_t>(window_->ItemScrollBar->pageStep()));
        EXPECT_EQ(cell(tree()->currentIndex().row(), TransferTreeModel::RecordColumn),
                  QString::number(firstRecord(*now)));
        windowMoved = windowMoved || window_->model().WindowStart() != start;
        at = *now;
    }
    EXPECT_TRUE(windowMoved);
    // Back up past the start of the window the walk ended in.
    const std::size_t start = window_->model().WindowStart();
    for (std::size_t i = 0; i <= last - start; ++i) {
        key(Qt::Key_Up);
        ASSERT_EQ(currentPosition(), last - i - 1);
    }
    EXPECT_LT(window_->model().WindowStart(), start);
}

// Dragging the handle scrolls the whole list: to the bottom shows the last item, to the middle
// the items around the middle.
TEST_F(TransfersWindow, DraggingTheScrollBarReachesEveryPartOfTheList) {
    listEverySof();
    QScrollBar* bar = window_->ItemScrollBar;
    dragScrollBarTo(bar->height() - 1);
    EXPECT_EQ(bar->value(), bar->maximum());
    const std::size_t last = items().size() - 1;
    const QModelIndex lastRow =
        window_->model().index(static_cast<int>(last - window_->model().WindowStart()), 0);
    ASSERT_TRUE(lastRow.isValid());
    EXPECT_TRUE(tree()->viewport()->rect().intersects(tree()->visualRect(lastRow)));

    dragScrollBarTo(bar->height() / 2);
    const int middle = bar->value();
    EXPECT_GT(middle, bar->maximum() / 4);
    EXPECT_LT(middle, bar->maximum() * 3 / 4);
    EXPECT_EQ(topPosition(), static_cast<std::size_t>(middle));
    // A click there chooses the item under the mouse.
    const QModelIndex row = tree()->indexAt(QPoint(5, tree()->sizeHintForRow(0) * 3 / 2));
    clickRow(row);
    EXPECT_EQ(currentPosition(), static_cast<std::size_t>(middle) + 1);
    EXPECT_EQ(form_->ListBox1->itemIndex(), static_cast<std::int64_t>(firstRecord(middle + 1)));
}

// A packet chosen in the list far from the tree's window moves the window to it.
TEST_F(TransfersWindow, ClickingAPacketFarIntoTheListSelectsItsItem) {
    listEverySof();
    const std::int64_t lastRecord = static_cast<std::int64_t>(form_->PacketList.size()) - 1;
    for (const std::int64_t record : {lastRecord, std::int64_t{0}, lastRecord / 2}) {
        clickPacket(record);
        QApplication::processEvents();
        const QModelIndex current = tree()->currentIndex();
        ASSERT_TRUE(current.isValid()) << record;
        EXPECT_EQ(window_->model().FirstRecordOf(current), static_cast<std::size_t>(record));
        EXPECT_TRUE(tree()->viewport()->rect().intersects(tree()->visualRect(current)));
        const std::size_t position = *currentPosition();
        EXPECT_LE(static_cast<std::size_t>(window_->ItemScrollBar->value()), position);
        EXPECT_GT(static_cast<std::size_t>(window_->ItemScrollBar->value() +
                                           window_->ItemScrollBar->pageStep()),
                  position);
    }
}

TEST_F(TransfersWindow, OpensFromTheViewMenuOverTheOpenCapture) {
    EXPECT_EQ(form_->Transfers1->text(), "Transfers...");
    EXPECT_TRUE(window_->isVisible());
    EXPECT_FALSE(window_->isModal());
    EXPECT_EQ(cell(1, TransferTreeModel::ItemColumn), "GET_DESCRIPTOR DEVICE; device 303A:1001");
    // Opening again shows the same window.
    form_->Transfers1->trigger();
    EXPECT_EQ(form_->transfersForm(), window_);
    // Tabbing from the filter box into the tree makes a row current but chooses none: the
    // packet list stays where it was.
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_));
    window_->FilterEdit->setFocus();
    for (int i = 0; i < 3 && !tree()->hasFocus(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    ASSERT_TRUE(tree()->hasFocus());
    EXPECT_EQ(form_->ListBox1->itemIndex(), -1);
}

// Each item says what its transfer carries, shortened on one line in the column and whole in
// its tooltip; the window decodes no further than the rows it has shown.
TEST_F(TransfersWindow, ItemsSayWhatTheirTransfersCarry) {
    // Unfolded, the list has an item per SOF: only the rows in view have been decoded.
    QTest::mouseClick(window_->FoldCheckBox, Qt::LeftButton);
    ASSERT_FALSE(window_->FoldCheckBox->isChecked());
    tree()->viewport()->grab();
    EXPECT_GT(form_->Session.decodedCount(false), 0u);
    EXPECT_LT(form_->Session.decodedCount(false), 100u);
    EXPECT_GT(form_->Session.transfers(false).size(), 1000u);
    QTest::mouseClick(window_->FoldCheckBox, Qt::LeftButton);
    const struct {
        int record;
        const char* item;
        const char* tip;
    } cases[] = {
        {0, "SOF ×6 (frames 597–602)", "6 SOF, frames 597 to 602"},
        {6, "GET_DESCRIPTOR DEVICE; device 303A:1001",
         "GET_DESCRIPTOR DEVICE index 0 (standard, device-to-host, device) wValue=0x0100 "
         "wIndex=0x0000 wLength=64\ndevice 303A:1001"},
        {142, "GET_DESCRIPTOR CONFIGURATION (9 of 98 bytes)", nullptr},
        {173, "GET_DESCRIPTOR STRING; \"USB JTAG/serial debug unit\\x00\"",
         "GET_DESCRIPTOR STRING index 2 (standard, device-to-host, device) wValue=0x0302 "
         "wIndex=0x0409 wLength=255\n\"USB JTAG/serial debug unit\\x00\""},
        {208, "SET_LINE_CODING 9600 8N1",
         "class request 32 (class, host-to-device, interface) wValue=0x0000 wIndex=0x0000 "
         "wLength=7\nSET_LINE_CODING 9600 8N1"},
        {1758,
         "SET_REPORT output report 1 interface 2: Num Lock: 0, Caps Lock: 0, Scroll Lock: 0, "
         "Compose: 0, Kana: 0",
         nullptr},
    };
    int row = 0;
    for (const auto& c : cases) {
        // Scrolled down to it, as a user reaches it.
        while (cell(row, TransferTreeModel::RecordColumn).toInt() < c.record) {
            ++row;
            if (row >= model()->rowCount() && model()->canFetchMore({})) {
                model()->fetchMore({});
            }
            ASSERT_LT(row, model()->rowCount()) << c.record;
        }
        const QModelIndex index = model()->index(row, TransferTreeModel::ItemColumn);
        tree()->scrollTo(index);
        EXPECT_EQ(index.data().toString(), QString::fromUtf8(c.item));
        if (c.tip) {
            const QPoint at = tree()->visualRect(index).center();
            QHelpEvent event(QEvent::ToolTip, at, tree()->viewport()->mapToGlobal(at));
            QApplication::sendEvent(tree()->viewport(), &event);
            EXPECT_EQ(QToolTip::text(), QString::fromUtf8(c.tip)) << c.record;
        }
    }
    // The tooltip is the item's alone: transactions and packets have none.
    const QModelIndex item = model()->index(row, 0);
    tree()->expand(item);
    ASSERT_TRUE(model()->index(0, TransferTreeModel::ItemColumn, item).isValid());
    EXPECT_FALSE(
        model()->index(0, TransferTreeModel::ItemColumn, item).data(Qt::ToolTipRole).isValid());
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
        clickPacket(record);
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

/// The window over the capture with ranges of a few transactions, so that its long items (the
/// polling of an idle endpoint, runs of SOFs) list ranges as a pipe polled for hours does.
class TransfersWindowInRanges : public TransfersWindow {
protected:
    static constexpr std::size_t kSpan = 64;
    void SetUp() override {
        saved_ = TransferTreeModel::DefaultPageSpan;
        TransferTreeModel::DefaultPageSpan = kSpan;
        TransfersWindow::SetUp();
    }
    void TearDown() override {
        TransfersWindow::TearDown();
        TransferTreeModel::DefaultPageSpan = saved_;
    }
    /// The folded list's item that spans the most transactions.
    std::size_t longestItem() const {
        const protocol::TransferList& list = form_->Session.transferList(true);
        const auto span = [&](std::size_t n) {
            return list[n].lastTransaction - list[n].firstTransaction;
        };
        std::size_t longest = 0;
        for (std::size_t i = 0; i < list.size(); ++i) {
            longest = span(i) > span(longest) ? i : longest;
        }
        return longest;
    }
    std::size_t saved_ = 0;
};

// A packet chosen in the list deep inside a long item selects its row under the range that
// holds it; only that range is opened, and the keys walk up to the range and the item.
TEST_F(TransfersWindowInRanges, ClickingAPacketDeepInALongItemOpensOnlyItsRange) {
    const protocol::Transactions& tx = form_->Session.transactions();
    const std::size_t longest = longestItem();
    const protocol::TransferItem item = form_->Session.transferList(true)[longest];
    ASSERT_GT(item.lastTransaction - item.firstTransaction, 4 * kSpan);
    const std::vector<std::size_t> members = protocol::Members(tx, item);
    for (const std::size_t x : {members[members.size() * 3 / 4], members.back(), members[1]}) {
        // The transaction's last packet, as a user clicks it in the list.
        const auto record = static_cast<std::int64_t>(tx[x].last());
        clickPacket(record);
        ASSERT_EQ(form_->ListBox1->itemIndex(), record);
        const QModelIndex current = tree()->currentIndex();
        ASSERT_TRUE(current.isValid()) << record;
        EXPECT_EQ(window_->model().FirstRecordOf(current), static_cast<std::size_t>(record));
        EXPECT_EQ(window_->model().DepthOf(current), 3);
        const QModelIndex range = current.parent().parent();
        ASSERT_TRUE(window_->model().IsRange(range)) << record;
        EXPECT_EQ(static_cast<std::size_t>(range.row()), (x - item.firstTransaction) / kSpan);
        EXPECT_EQ(window_->model().ItemOf(range), longest);
        EXPECT_TRUE(tree()->viewport()->rect().intersects(tree()->visualRect(current)));
        // The range holds its part of the span only, and the other ranges are not read.
        EXPECT_LE(static_cast<std::size_t>(model()->rowCount(range)), kSpan);
        const QModelIndex other = model()->index(range.row() == 0 ? 1 : 0, 0, range.parent());
        EXPECT_EQ(model()->rowCount(other), 0);
        EXPECT_TRUE(cell(range.row(), TransferTreeModel::ItemColumn, range.parent())
                        .endsWith(QStringLiteral("of %1)").arg(model()->rowCount(range.parent()))))
            << cell(range.row(), TransferTreeModel::ItemColumn, range.parent()).toStdString();
    }
    // Left from the packet goes up to its transaction, closes it, goes up to the range: the
    // list follows to the range's first packet, then to the item's.
    tree()->setFocus();
    const QModelIndex range = tree()->currentIndex().parent().parent();
    for (int i = 0; i < 3; ++i) {
        QTest::keyClick(tree(), Qt::Key_Left);
    }
    ASSERT_EQ(tree()->currentIndex(), range);
    EXPECT_EQ(form_->ListBox1->itemIndex(),
              static_cast<std::int64_t>(*window_->model().FirstRecordOf(range)));
    QTest::keyClick(tree(), Qt::Key_Left); // closes the range
    QTest::keyClick(tree(), Qt::Key_Left);
    ASSERT_EQ(tree()->currentIndex(), range.parent());
    EXPECT_EQ(form_->ListBox1->itemIndex(),
              static_cast<std::int64_t>(protocol::FirstRecord(tx, item)));
    // Narrowed by the filter box to items of its type, the item keeps its ranges.
    QTest::keyClicks(window_->FilterEdit, QString::fromLatin1(protocol::TypeName(item.type)));
    ASSERT_FALSE(window_->FilterNote->isVisible());
    const auto deep = static_cast<std::int64_t>(tx[members[members.size() / 2]].first);
    clickPacket(deep);
    const QModelIndex current = tree()->currentIndex();
    EXPECT_EQ(window_->model().FirstRecordOf(current), static_cast<std::size_t>(deep));
    EXPECT_TRUE(window_->model().IsRange(current.parent().parent()));
    EXPECT_EQ(window_->model().ItemOf(current), longest);
}

// Ctrl+C on an expanded long item counts the ranges nobody has looked at a few per turn of
// the event loop, then copies what the tree shows; a store that changes meanwhile drops the
// copy rather than read the ranges of a tree that is gone.
TEST_F(TransfersWindowInRanges, CopyOfALongItemCountsItsRangesBetweenEvents) {
    window_->CopyRangesAtOnce = 0; // one range per turn, the first one included
    // The longest item, opened by a click on a packet deep in it, and chosen itself: its
    // ranges show, and those out of view are not counted.
    const auto chooseLongest = [&] {
        const protocol::Transactions& tx = form_->Session.transactions();
        const std::vector<std::size_t> members =
            protocol::Members(tx, form_->Session.transferList(true)[longestItem()]);
        clickPacket(static_cast<std::int64_t>(tx[members.back()].first));
        tree()->setFocus();
        while (tree()->currentIndex().parent().isValid()) {
            QTest::keyClick(tree(), Qt::Key_Left);
        }
        const QModelIndex item = tree()->currentIndex();
        EXPECT_TRUE(tree()->isExpanded(item));
        int uncounted = 0;
        for (int r = 0; r < model()->rowCount(item); ++r) {
            uncounted += !window_->model().RangeCounted(model()->index(r, 0, item));
        }
        EXPECT_GT(uncounted, 1);
        return item;
    };
    QGuiApplication::clipboard()->setText(QStringLiteral("kept"));
    chooseLongest();
    QTest::keyClick(tree(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_TRUE(window_->copying());
    send(capture::CMD_HIDE_SOF);
    EXPECT_FALSE(window_->copying());
    QTest::qWait(50);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("kept"));

    const QModelIndex item = chooseLongest();
    QTest::keyClick(tree(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("kept"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window_->copying(); }, 10000));
    const QStringList rows = QGuiApplication::clipboard()->text().split('\n');
    // The item's line, a line for each range as its row shows it, and the end.
    ASSERT_EQ(rows.size(), model()->rowCount(item) + 2);
    for (int r = 0; r < model()->rowCount(item); ++r) {
        EXPECT_TRUE(window_->model().RangeCounted(model()->index(r, 0, item))) << r;
        EXPECT_TRUE(rows[r + 1].contains(cell(r, TransferTreeModel::ItemColumn, item)))
            << rows[r + 1].toStdString();
    }
    EXPECT_EQ(QGuiApplication::clipboard()->text(), window_->SelectionText());
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
    // A text that names no endpoint filters nothing.
    QTest::keyClicks(window_->FilterEdit, "x");
    EXPECT_EQ(model()->rowCount(), all);
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
    EXPECT_EQ(cell(6, TransferTreeModel::ItemColumn), "GET_DESCRIPTOR DEVICE; device 303A:1001");
    QTest::mouseClick(window_->FoldCheckBox, Qt::LeftButton);
    EXPECT_EQ(cell(1, TransferTreeModel::ItemColumn), "GET_DESCRIPTOR DEVICE; device 303A:1001");
}

TEST_F(TransfersWindow, FollowsTheStoreThroughHideAndReload) {
    send(capture::CMD_HIDE_SOF);
    EXPECT_EQ(cell(0, TransferTreeModel::ItemColumn), "GET_DESCRIPTOR DEVICE; device 303A:1001");
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

// On a large capture the tree waits, with its progress shown, while a worker groups and
// decodes; the window keeps taking events meanwhile and then shows the same tree, with the
// cursor's item selected.
TEST_F(TransfersWindow, LargeCaptureIsGroupedOnAWorkerWhileTheTreeWaits) {
    window_->TransfersBackgroundRecords = 0;
    QTest::mouseClick(form_->ListBox1->viewport(), Qt::LeftButton, {},
                      form_->ListBox1->itemRect(8).center());
    send(capture::CMD_HIDE_SOF);
    EXPECT_EQ(model()->rowCount(), 0);
    EXPECT_TRUE(window_->ProgressLabel->isVisible());
    EXPECT_TRUE(window_->ProgressLabel->text().startsWith("Grouping transfers"));
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->ProgressLabel->isVisible(); }, 10000));
    EXPECT_EQ(cell(0, TransferTreeModel::ItemColumn), "GET_DESCRIPTOR DEVICE; device 303A:1001");
    EXPECT_EQ(cell(1, TransferTreeModel::ItemColumn), "SET_ADDRESS");
    // Unfolding waits for a build of its own.
    QTest::mouseClick(window_->FoldCheckBox, Qt::LeftButton);
    QTest::mouseClick(form_->ListBox1->viewport(), Qt::LeftButton, {},
                      form_->ListBox1->itemRect(2).center());
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->ProgressLabel->isVisible(); }, 10000));
    EXPECT_FALSE(window_->model().fold());
    EXPECT_EQ(cell(0, TransferTreeModel::ItemColumn), "GET_DESCRIPTOR DEVICE; device 303A:1001");
    const QModelIndex current = tree()->currentIndex();
    ASSERT_TRUE(current.isValid());
    EXPECT_EQ(window_->model().FirstRecordOf(current), 2u);
}

// Folding or unfolding a large capture changes no record: the tree on screen stays usable
// while the other list is built, and gives way to it with the chosen row still chosen and in
// view. Unticking the box again before then leaves the tree as it is and stops the build.
TEST_F(TransfersWindow, FoldingALargeCaptureKeepsTheTreeUntilTheOtherListIsReady) {
    window_->TransfersBackgroundRecords = 0;
    const int rows = model()->rowCount();
    ASSERT_GT(rows, 12);
    clickRow(model()->index(10, 0));
    tree()->setFocus();
    for (int round = 0; round < 2; ++round) {
        QTest::mouseClick(window_->FoldCheckBox, Qt::LeftButton);
        ASSERT_TRUE(window_->ProgressLabel->isVisible()) << round;
        EXPECT_TRUE(window_->model().fold()) << round;
        EXPECT_EQ(model()->rowCount(), rows) << round;
        // Still the tree it was: a key moves its selection, and the list follows.
        QTest::keyClick(tree(), Qt::Key_Down);
        EXPECT_EQ(tree()->currentIndex().row(), 11 + round) << round;
        EXPECT_EQ(static_cast<std::size_t>(form_->ListBox1->itemIndex()),
                  window_->model().FirstRecordOf(tree()->currentIndex()))
            << round;
        if (round == 0) {
            QTest::mouseClick(window_->FoldCheckBox, Qt::LeftButton);
            EXPECT_FALSE(window_->ProgressLabel->isVisible());
            EXPECT_FALSE(form_->Session.preparing().has_value());
            EXPECT_TRUE(window_->model().fold());
            EXPECT_EQ(tree()->currentIndex().row(), 11);
        }
    }
    const auto chosen = window_->model().FirstRecordOf(tree()->currentIndex());
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->ProgressLabel->isVisible(); }, 10000));
    EXPECT_FALSE(window_->model().fold());
    EXPECT_GT(model()->rowCount(), rows);
    const QModelIndex current = tree()->currentIndex();
    ASSERT_TRUE(current.isValid());
    EXPECT_FALSE(current.parent().isValid()) << "a transfer row, as chosen";
    EXPECT_EQ(window_->model().FirstRecordOf(current), chosen);
    EXPECT_TRUE(tree()->viewport()->rect().contains(tree()->visualRect(current)));
}

// A change of the store frees what the tree reads: until the new tree is ready a greyed
// picture of the rows in view takes its place, takes no clicks or keys, and then gives way to
// the tree with the chosen row chosen again where the records are numbered as before.
TEST_F(TransfersWindow, AChangedStoreShowsTheOldRowsGreyedUntilTheNewTreeIsReady) {
    window_->TransfersBackgroundRecords = 0;
    struct Case {
        const char* what;
        std::uint8_t command;
        bool chosenAgain;
    };
    const Case cases[] = {
        {"reload", capture::CMD_RELOAD, true},
        {"hide SOFs: other record numbers", capture::CMD_HIDE_SOF, false},
    };
    bool asked = false;
    window_->ChooseTextFile = [&asked]() -> std::optional<std::string> {
        asked = true;
        return std::nullopt;
    };
    for (const Case& c : cases) {
        // A transaction row of an expanded transfer, chosen by keys.
        clickRow(model()->index(1, 0));
        QTest::keyClick(tree(), Qt::Key_Right);
        QTest::keyClick(tree(), Qt::Key_Down);
        const QModelIndex chosen = tree()->currentIndex();
        ASSERT_TRUE(chosen.parent().isValid()) << c.what;
        const auto record = window_->model().FirstRecordOf(chosen);
        const QString chosenText =
            chosen.siblingAtColumn(TransferTreeModel::ItemColumn).data().toString();
        QStringList shown;
        for (QModelIndex row = tree()->indexAt(QPoint(0, 0));
             row.isValid() && tree()->visualRect(row).top() < tree()->viewport()->height();
             row = tree()->indexBelow(row)) {
            shown << row.siblingAtColumn(TransferTreeModel::ItemColumn).data().toString();
        }
        ASSERT_GT(shown.size(), 3) << c.what;

        send(c.command);
        QTreeView* frozen = window_->FrozenTree;
        ASSERT_TRUE(frozen->isVisible()) << c.what;
        EXPECT_FALSE(frozen->isEnabled()) << c.what;
        EXPECT_FALSE(tree()->isVisible()) << c.what;
        EXPECT_EQ(model()->rowCount(), 0) << c.what;
        EXPECT_TRUE(window_->ProgressLabel->text().startsWith("Grouping transfers")) << c.what;
        QStringList pictured;
        for (QModelIndex row = frozen->indexAt(QPoint(0, 0)); row.isValid();
             row = frozen->indexBelow(row)) {
            pictured << row.siblingAtColumn(TransferTreeModel::ItemColumn).data().toString();
        }
        EXPECT_EQ(pictured, shown) << c.what;
        const QModelIndexList marked = frozen->selectionModel()->selectedRows();
        ASSERT_EQ(marked.size(), 1) << c.what;
        EXPECT_EQ(marked.front().siblingAtColumn(TransferTreeModel::ItemColumn).data().toString(),
                  chosenText)
            << c.what;
        // Neither a click nor a key reaches a row meanwhile.
        const std::int64_t cursor = form_->ListBox1->itemIndex();
        QTest::mouseClick(frozen->viewport(), Qt::LeftButton, {},
                          frozen->visualRect(frozen->indexAt(QPoint(0, 0))).center());
        if (QWidget* focus = QApplication::focusWidget()) {
            QTest::keyClick(focus, Qt::Key_Down);
        }
        EXPECT_EQ(form_->ListBox1->itemIndex(), cursor) << c.what;
        // Nor does what would read the transfers before they are built again.
        QTest::mouseClick(window_->ShowSofsCheckBox, Qt::LeftButton);
        QTest::mouseClick(window_->ShowSofsCheckBox, Qt::LeftButton);
        EXPECT_EQ(model()->rowCount(), 0) << c.what;
        asked = false;
        messages_.clear();
        window_->SaveTextAction->trigger();
        EXPECT_FALSE(asked) << c.what;
        EXPECT_EQ(messages_.size(), 1) << c.what;

        ASSERT_TRUE(
            QTest::qWaitFor([this] { return !window_->ProgressLabel->isVisible(); }, 10000));
        EXPECT_FALSE(frozen->isVisible()) << c.what;
        EXPECT_TRUE(tree()->isVisible()) << c.what;
        const QModelIndex current = tree()->currentIndex();
        if (c.chosenAgain) {
            ASSERT_TRUE(current.isValid()) << c.what;
            EXPECT_EQ(window_->model().FirstRecordOf(current), record) << c.what;
            EXPECT_TRUE(current.parent().isValid() && !current.parent().parent().isValid())
                << c.what;
        } else {
            EXPECT_TRUE(tree()->selectionModel()->selectedRows().isEmpty()) << c.what;
        }
    }
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
    EXPECT_EQ(cell(0, TransferTreeModel::ItemColumn), "GET_DESCRIPTOR DEVICE; device 303A:1001");
    // Shown again, it picks up the cursor set while it was closed.
    const QModelIndex current = tree()->currentIndex();
    ASSERT_TRUE(current.isValid());
    EXPECT_EQ(cell(current.row(), TransferTreeModel::RecordColumn, current.parent()), "2");
}

} // namespace
} // namespace vintrace::app
