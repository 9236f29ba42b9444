#include "app/TDevicesForm.h"
#include "app/TMainForm.h"
#include "app/TTransfersForm.h"
#include "capture/Command.h"
#include "display/DeviceTreeModel.h"
#include "display/TransferTreeModel.h"
#include "support/CompanionWindowTest.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <QTreeView>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

namespace vintrace::display {
namespace {

std::string Data(const char* name) {
    return std::string(VINTRACE_TEST_DATA) + "/" + name;
}

/// Every row once, depth first: its text and packet, indented by depth.
void Walk(const QAbstractItemModel& model, const QModelIndex& parent, int depth, QString& out) {
    for (int row = 0; row < model.rowCount(parent); ++row) {
        const QModelIndex index = model.index(row, DeviceTreeModel::ItemColumn, parent);
        EXPECT_EQ(index.parent(), parent);
        out += QString(depth * 2, QLatin1Char(' ')) + index.data().toString() + " [" +
               index.siblingAtColumn(DeviceTreeModel::RecordColumn).data().toString() + "]\n";
        Walk(model, index, depth + 1, out);
    }
}

/// Every row's text once, depth first, indented by depth: the command line's layout.
void Text(const QAbstractItemModel& model, const QModelIndex& parent, int depth, QString& out) {
    for (int row = 0; row < model.rowCount(parent); ++row) {
        const QModelIndex index = model.index(row, DeviceTreeModel::ItemColumn, parent);
        out += QString(depth * 2, QLatin1Char(' ')) + index.data().toString() + "\n";
        Text(model, index, depth + 1, out);
        if (depth == 0) {
            out += "\n";
        }
    }
}

/// Every row's packet and the last packet of the control transfer it opens in the session's
/// transfer list (the packet alone when it opens none), depth first.
void EndsInTheList(session::CaptureSession& session, const DeviceTreeModel& model,
                   const QModelIndex& parent, QString& out) {
    const protocol::Transactions& tx = session.transactions();
    const protocol::TransferList& items = session.transferList(true);
    for (int row = 0; row < model.rowCount(parent); ++row) {
        const QModelIndex index = model.index(row, DeviceTreeModel::ItemColumn, parent);
        const std::size_t first = model.RecordOf(index).value_or(SIZE_MAX);
        std::size_t last = first;
        for (std::size_t i = 0; i < items.size(); ++i) {
            const protocol::TransferItem item = items[i];
            if (item.type == protocol::TransferType::Control &&
                protocol::FirstRecord(tx, item) == first) {
                last = protocol::LastRecord(tx, item);
            }
        }
        out += QStringLiteral("%1-%2\n").arg(first).arg(last);
        EndsInTheList(session, model, index, out);
    }
}

/// Every row's packet and the last packet of its transfer, depth first.
void Ends(const DeviceTreeModel& model, const QModelIndex& parent, QString& out) {
    for (int row = 0; row < model.rowCount(parent); ++row) {
        const QModelIndex index = model.index(row, DeviceTreeModel::ItemColumn, parent);
        out += QStringLiteral("%1-%2\n")
                   .arg(model.RecordOf(index).value_or(SIZE_MAX))
                   .arg(model.LastRecordOf(index).value_or(SIZE_MAX));
        Ends(model, index, out);
    }
}

TEST(DeviceTreeModel, ShowsTheSessionsDevicesWithNamesAndFollowsItsStore) {
    session::CaptureSession session;
    ASSERT_TRUE(session.open(Data("ls-mouse.dat")).ok());
    DeviceTreeModel model(session);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setUsbIds(protocol::UsbIds::Load(Data("usb.ids.sample")));
    QString all;
    Walk(model, {}, 0, all);
    const QStringList lines = all.split(QLatin1Char('\n'));
    ASSERT_GT(lines.size(), 8);
    EXPECT_EQ(lines.mid(0, 3),
              QStringList({"Device at address 4 (first at address 0), from packet "
                           "1: ID 1bcf:0005 Test Vendor One Test Mouse [34]",
                           "  Device Descriptor: [34]", "    bLength               18 [34]"}));
    EXPECT_TRUE(lines.contains("    bcdUSB                 2.00 [34]"));
    EXPECT_TRUE(lines.contains("  Configuration Descriptor: [77]"));
    EXPECT_TRUE(lines.contains("  Report Descriptor of interface 0 (75 bytes): [254]"));
    EXPECT_EQ(model.RecordOf(model.index(0, 0)), 34u);
    EXPECT_EQ(model.RecordOf({}), std::nullopt);

    // Names come only from the list: without it, numbers.
    model.setUsbIds(std::nullopt);
    EXPECT_EQ(model.index(0, 0).data().toString(),
              "Device at address 4 (first at address 0), from packet 1: ID 1bcf:0005");

    // A snapshot: it shows the store it was built from until it is rebuilt; then every line
    // is the command line's, in its order.
    ASSERT_TRUE(session.open(Data("fs-badge.dat")).ok());
    EXPECT_EQ(model.rowCount(), 1);
    model.Rebuild();
    ASSERT_EQ(model.rowCount(), 2);
    QString shown;
    Text(model, {}, 0, shown);
    QFile golden(QString::fromStdString(Data("fs-badge.devices.txt")));
    ASSERT_TRUE(golden.open(QIODevice::ReadOnly));
    EXPECT_EQ(shown, QString::fromUtf8(golden.readAll()));

    // An empty store has no devices.
    session.clear();
    model.Rebuild();
    EXPECT_EQ(model.rowCount(), 0);
}

} // namespace
} // namespace vintrace::display

namespace vintrace::app {
namespace {

using display::DeviceTreeModel;
using display::TransferTreeModel;

class DevicesWindow : public test::DevicesWindowOpen {
protected:
    QAbstractItemModel* model() const { return tree()->model(); }
    /// The row at `path` (rows from the top level down), expanded down to it.
    QModelIndex at(std::initializer_list<int> path) const {
        QModelIndex index;
        for (int row : path) {
            if (index.isValid()) {
                tree()->expand(index);
            }
            index = model()->index(row, 0, index);
        }
        return index;
    }
    QString text(const QModelIndex& index) const { return index.data().toString(); }
    void clickRow(const QModelIndex& index) { ClickRow(tree(), index); }
    std::int64_t cursor() const { return form_->ListBox1->itemIndex(); }
};

TEST_F(DevicesWindow, OpensFromTheViewMenuWithADeviceTreePerDevice) {
    EXPECT_EQ(form_->Devices1->text(), "Devices...");
    EXPECT_TRUE(window_->isVisible());
    EXPECT_FALSE(window_->isModal());
    ASSERT_EQ(model()->rowCount(), 2);
    EXPECT_TRUE(text(at({0})).startsWith(
        "Device at address 1 (first at address 0), from packet 6: ID 303a:1001"));
    EXPECT_TRUE(text(at({1})).startsWith(
        "Device at address 2 (first at address 0), from packet 1406: ID 16d0:1114"));
    // Devices open to their descriptors at once; deeper rows wait.
    EXPECT_TRUE(tree()->isExpanded(at({0})));
    EXPECT_FALSE(tree()->isExpanded(at({0, 0})));
    form_->Devices1->trigger();
    EXPECT_EQ(form_->devicesForm(), window_);
}

TEST_F(DevicesWindow, SelectingARowShowsTheTransferThatDeliveredIt) {
    form_->Transfers1->trigger();
    TTransfersForm* transfers = form_->transfersForm();
    ASSERT_NE(transfers, nullptr);
    // Opening the window (and its view taking the focus) moved nothing.
    EXPECT_EQ(cursor(), -1);
    window_->activateWindow();
    const struct {
        std::initializer_list<int> path;
        const char* starts;
        std::int64_t record;
        const char* transfer;
    } cases[] = {
        {{0}, "Device at address 1", 118, "GET_DESCRIPTOR DEVICE"},
        {{0, 4}, "String 1: \"Espressif", 182, "GET_DESCRIPTOR STRING"},
        {{0, 1}, "Configuration Descriptor:", 151, "GET_DESCRIPTOR CONFIGURATION"},
        {{0, 1, 10, 9, 2},
         "bEndpointAddress      0x01  EP 1 OUT",
         151,
         "GET_DESCRIPTOR CONFIGURATION"},
        {{1, 9}, "Report Descriptor of interface 2 (144 bytes):", 1731, "GET_DESCRIPTOR"},
        {{1, 9, 3}, "  Report ID (1)", 1731, "GET_DESCRIPTOR"},
    };
    for (const auto& c : cases) {
        const QModelIndex index = at(c.path);
        ASSERT_TRUE(text(index).startsWith(QString::fromUtf8(c.starts)))
            << text(index).toStdString();
        clickRow(index);
        EXPECT_EQ(tree()->currentIndex(), index);
        EXPECT_EQ(cursor(), c.record) << c.starts;
        EXPECT_EQ(form_->ListBox1->topIndex(), c.record) << c.starts;
        // The Transfers window selects the whole transfer, not its first packet.
        const QModelIndex chosen = transfers->TransferTree->currentIndex();
        ASSERT_TRUE(chosen.isValid()) << c.starts;
        EXPECT_FALSE(chosen.parent().isValid()) << c.starts;
        EXPECT_EQ(chosen.siblingAtColumn(TransferTreeModel::RecordColumn).data().toString(),
                  QString::number(c.record));
        EXPECT_TRUE(chosen.siblingAtColumn(TransferTreeModel::ItemColumn)
                        .data()
                        .toString()
                        .startsWith(QString::fromLatin1(c.transfer)))
            << c.starts;
    }
    // The arrow keys move through the rows, and the list follows.
    clickRow(at({0, 3}));
    QTest::keyClick(tree(), Qt::Key_Down);
    EXPECT_TRUE(text(tree()->currentIndex()).startsWith("String 1:"));
    EXPECT_EQ(cursor(), 182);
    QTest::keyClick(tree(), Qt::Key_Down);
    EXPECT_EQ(cursor(), 173); // String 2, the product
}

// Selection follows both ways: choosing a transfer in the Transfers window selects the row it
// delivered here, as choosing a row here selects its transfer there.
TEST_F(DevicesWindow, ChoosingATransferSelectsTheRowItDelivered) {
    form_->Transfers1->trigger();
    QTreeView* transfers = form_->transfersForm()->TransferTree;
    QAbstractItemModel* items = transfers->model();
    const struct {
        std::int64_t record; // the transfer's first packet
        const char* starts;  // nothing: the transfer delivered no row
    } cases[] = {
        {118, "Device at address 1"},
        {182, "String 1: "},
        {1731, "Report Descriptor of interface 2 (144 bytes)"},
        {0, nullptr}, // a run of SOFs
    };
    for (const auto& c : cases) {
        int row = 0;
        while (items->index(row, TransferTreeModel::RecordColumn).data().toLongLong() != c.record) {
            ++row;
            if (row >= items->rowCount() && items->canFetchMore({})) {
                items->fetchMore({});
            }
            ASSERT_LT(row, items->rowCount()) << c.record;
        }
        ClickRow(transfers, items->index(row, 0));
        EXPECT_EQ(cursor(), c.record);
        const QModelIndex current = tree()->currentIndex();
        if (c.starts == nullptr) {
            EXPECT_FALSE(current.isValid()) << text(current).toStdString();
            continue;
        }
        EXPECT_TRUE(text(current).startsWith(QString::fromUtf8(c.starts)))
            << c.record << ": " << text(current).toStdString();
        // The Transfers window keeps what was chosen in it.
        EXPECT_EQ(transfers->currentIndex(), items->index(row, 0));
    }
}

TEST_F(DevicesWindow, ClickingAPacketLineSelectsTheRowItsTransferDelivered) {
    const struct {
        std::int64_t record;
        const char* starts; // nothing: no row came from the packet's transfer
    } cases[] = {
        {120, "Device at address 1"},       // inside the device descriptor's transfer
        {185, "String 1: "},                // inside a string's
        {157, "Configuration Descriptor:"}, // a SOF between the configuration transfer's packets
        {10, nullptr},                      // a device descriptor that a later one replaced
        {200, nullptr},                     // a SOF between transfers
        {1731, "Report Descriptor of interface 2 (144 bytes)"},
    };
    for (const auto& c : cases) {
        form_->ListBox1->setTopIndex(c.record);
        QTest::mouseClick(form_->ListBox1->viewport(), Qt::LeftButton, {},
                          form_->ListBox1->itemRect(c.record).center());
        ASSERT_EQ(cursor(), c.record);
        const QModelIndex current = tree()->currentIndex();
        if (c.starts == nullptr) {
            EXPECT_FALSE(current.isValid()) << c.record << ": " << text(current).toStdString();
            EXPECT_TRUE(tree()->selectionModel()->selectedIndexes().isEmpty()) << c.record;
            continue;
        }
        EXPECT_TRUE(text(current).startsWith(QString::fromLatin1(c.starts)))
            << c.record << ": " << text(current).toStdString();
        EXPECT_TRUE(tree()->selectionModel()->isSelected(current)) << c.record;
        // Following the list does not move the list.
        EXPECT_EQ(form_->ListBox1->topIndex(), c.record);
    }
}

TEST_F(DevicesWindow, FollowsTheStoreThroughHideAndReload) {
    send(capture::CMD_HIDE_SOF);
    clickRow(at({0}));
    // The device descriptor's transfer, found again in the store as it is now.
    ASSERT_LT(cursor(), 118);
    EXPECT_EQ(form_->PacketList.kind(static_cast<std::size_t>(cursor())),
              capture::RecordKind::Setup);
    EXPECT_EQ(text(at({0}).siblingAtColumn(DeviceTreeModel::RecordColumn)),
              QString::number(cursor()));

    // Closed, it rebuilds when shown again.
    window_->close();
    form_->ShowAll1->trigger();
    form_->Devices1->trigger();
    ASSERT_TRUE(window_->isVisible());
    EXPECT_EQ(text(at({0}).siblingAtColumn(DeviceTreeModel::RecordColumn)), "118");
    EXPECT_TRUE(tree()->isExpanded(at({0})));

    // Opening a capture that cannot be read leaves an empty tree.
    form_->ChooseCaptureFile = [this] { return dir_.filePath("gone.dat").toStdString(); };
    form_->Open1->trigger();
    EXPECT_EQ(model()->rowCount(), 0);
}

// A large capture's rows are built again on workers after a change of the store. Meanwhile
// the old rows stay, greyed, and nothing acts on them (their records are the old store's);
// then the new rows are those a tree built at once over the new store has, found without a
// transfer list, and a packet inside a row's transfer still finds the row.
TEST_F(DevicesWindow, AChangedStoreShowsTheOldRowsGreyedUntilTheNewOnesAreReady) {
    window_->DevicesBackgroundRecords = 0;
    const struct {
        const char* what;
        std::uint8_t command;
    } cases[] = {
        {"reload", capture::CMD_RELOAD},
        {"hide SOFs: other record numbers", capture::CMD_HIDE_SOF},
    };
    for (const auto& c : cases) {
        clickRow(at({0}));
        QString before;
        display::Walk(*model(), {}, 0, before);
        QGuiApplication::clipboard()->setText(QStringLiteral("kept"));

        send(c.command);
        ASSERT_TRUE(window_->rebuilding()) << c.what;
        EXPECT_FALSE(tree()->isEnabled()) << c.what;
        EXPECT_TRUE(window_->StateLabel->text().startsWith("Finding devices")) << c.what;
        QString during;
        display::Walk(*model(), {}, 0, during);
        EXPECT_EQ(during, before) << c.what;
        QTest::keyClick(tree(), Qt::Key_C, Qt::ControlModifier);
        EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("kept")) << c.what;

        ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->rebuilding(); }, 20000)) << c.what;
        EXPECT_TRUE(tree()->isEnabled()) << c.what;
        EXPECT_FALSE(window_->StateLabel->isVisible()) << c.what;
        EXPECT_TRUE(tree()->isExpanded(at({0}))) << c.what;
        EXPECT_FALSE(form_->Session.transfersReady(true)) << c.what;
        EXPECT_FALSE(form_->Session.transfersReady(false)) << c.what;
        const DeviceTreeModel direct(form_->Session);
        QString rebuilt;
        QString expected;
        display::Walk(*model(), {}, 0, rebuilt);
        display::Walk(direct, {}, 0, expected);
        EXPECT_EQ(rebuilt, expected) << c.what;
        QString ends;
        QString expectedEnds;
        display::Ends(window_->model(), {}, ends);
        display::EndsInTheList(form_->Session, direct, {}, expectedEnds);
        EXPECT_EQ(ends, expectedEnds) << c.what;
        if (c.command == capture::CMD_HIDE_SOF) {
            EXPECT_NE(rebuilt, before);
        }
        // The new rows act again: a click goes to the packet of the row.
        clickRow(at({0}));
        EXPECT_EQ(cursor(), static_cast<std::int64_t>(*window_->model().RecordOf(at({0}))))
            << c.what;
    }
}

// Devices open to their descriptors only while that shows a bounded number of rows: a reset
// loop's tens of thousands of open devices cost every rebuild a layout of all their rows.
// Closed, a device still opens with the keys.
TEST_F(DevicesWindow, DevicesStayClosedWhenOpeningThemAllShowsTooManyRows) {
    const QModelIndex first = model()->index(0, 0);
    const std::size_t rows = static_cast<std::size_t>(
        model()->rowCount() + model()->rowCount(first) + model()->rowCount(model()->index(1, 0)));
    const struct {
        const char* what;
        std::size_t background;
        std::size_t budget;
        bool open;
    } cases[] = {
        {"at once, all rows within the budget", SIZE_MAX, rows, true},
        {"at once, one row over", SIZE_MAX, rows - 1, false},
        {"on workers, one row over", 0, rows - 1, false},
        {"on workers, within", 0, rows, true},
    };
    for (const auto& c : cases) {
        window_->DevicesBackgroundRecords = c.background;
        window_->DevicesOpenRows = c.budget;
        send(capture::CMD_RELOAD);
        ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->rebuilding(); }, 20000)) << c.what;
        ASSERT_EQ(model()->rowCount(), 2) << c.what;
        for (int device = 0; device < 2; ++device) {
            EXPECT_EQ(tree()->isExpanded(model()->index(device, 0)), c.open) << c.what;
        }
        if (!c.open) {
            clickRow(model()->index(1, 0));
            QTest::keyClick(tree(), Qt::Key_Right);
            EXPECT_TRUE(tree()->isExpanded(model()->index(1, 0))) << c.what;
            EXPECT_FALSE(tree()->isExpanded(model()->index(0, 0))) << c.what;
            QTest::keyClick(tree(), Qt::Key_Down);
            EXPECT_TRUE(text(tree()->currentIndex()).startsWith("Device Descriptor"))
                << text(tree()->currentIndex()).toStdString() << " " << c.what;
        }
    }
}

// Everything the command line prints is a row here, reached with the keys; a row the column
// cuts shows its whole text on hover, one that fits shows none.
TEST_F(DevicesWindow, ShowsEveryFieldTheCommandLineShowsAndTipsCutRows) {
    EXPECT_EQ(window_->windowTitle(), "Devices \u2014 usbdata.dat");
    EXPECT_FALSE(window_->StateLabel->isVisible());
    clickRow(at({0}));
    QTest::keyClick(tree(), Qt::Key_Down); // Device Descriptor:
    QTest::keyClick(tree(), Qt::Key_Right);
    // USB 2.0 9.6.1: bcdUSB at offset 2, bMaxPacketSize0 at 7, bcdDevice at 12.
    const struct {
        int downs;
        const char* row;
    } steps[] = {{3, "bcdUSB                 2.00"},
                 {4, "bMaxPacketSize0       64"},
                 {3, "bcdDevice              1.01"}};
    for (const auto& step : steps) {
        for (int i = 0; i < step.downs; ++i) {
            QTest::keyClick(tree(), Qt::Key_Down);
        }
        EXPECT_EQ(text(tree()->currentIndex()), step.row);
    }
    // 9.6.4 and the CDC functional descriptors under the interface they follow.
    EXPECT_EQ(text(at({0, 1, 8})), "Interface Association:");
    EXPECT_TRUE(text(at({0, 1, 9, 9})).startsWith("CDC")) << text(at({0, 1, 9, 9})).toStdString();

    tree()->header()->resizeSection(DeviceTreeModel::ItemColumn, 300);
    const auto hover = [this](const QModelIndex& index) {
        tree()->scrollTo(index);
        const QPoint at = tree()->visualRect(index).center();
        QHelpEvent tip(QEvent::ToolTip, at, tree()->viewport()->mapToGlobal(at));
        QApplication::sendEvent(tree()->viewport(), &tip);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    EXPECT_EQ(hover(at({0, 0})), QString()); // "Device Descriptor:" fits
    EXPECT_EQ(hover(at({0})), text(at({0})));
}

TEST_F(DevicesWindow, AnEmptyCaptureSaysSo) {
    QFile empty(dir_.filePath("empty.dat"));
    ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
    empty.close();
    form_->ChooseCaptureFile = [this] { return dir_.filePath("empty.dat").toStdString(); };
    form_->Open1->trigger();
    EXPECT_EQ(model()->rowCount(), 0);
    EXPECT_TRUE(window_->StateLabel->isVisible());
    EXPECT_EQ(window_->StateLabel->text(), "The capture is empty: it holds no packets.");
    EXPECT_EQ(window_->windowTitle(), "Devices \u2014 empty.dat");
    // Packets but no control transfer that names a device.
    form_->OpenCaptureFile(VINTRACE_TEST_DATA "/edge-cases.dat");
    ASSERT_GT(form_->PacketList.size(), 0u);
    EXPECT_EQ(model()->rowCount(), 0);
    EXPECT_TRUE(window_->StateLabel->text().startsWith("No devices"))
        << window_->StateLabel->text().toStdString();
}

// Ctrl+C copies the selected row with what is expanded under it, as the command line prints
// it; the context menu goes to the ends of the transfer that delivered a row; Ctrl+S saves the
// whole view as text.
TEST_F(DevicesWindow, CopiesGoesToPacketsAndSavesTheView) {
    clickRow(at({0, 0})); // Device Descriptor, closed
    QTest::keyClick(tree(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "Device Descriptor:\n");
    QTest::keyClick(tree(), Qt::Key_Right);
    QTest::keyClick(tree(), Qt::Key_C, Qt::ControlModifier);
    const QStringList lines = QGuiApplication::clipboard()->text().split('\n');
    ASSERT_EQ(lines.size(), 16); // title, 9.6.1's 14 fields, the final newline
    EXPECT_EQ(lines[1], "  bLength               18");
    EXPECT_EQ(lines[3], "  bcdUSB                 2.00");

    // Right-click on the configuration's row, then the menu's entries with the keys.
    const QModelIndex configuration = at({0, 1});
    clickRow(configuration);
    ASSERT_EQ(cursor(), 151);
    const auto choose = [&](const QString& entry) {
        QTimer::singleShot(0, [entry] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            ASSERT_NE(menu, nullptr);
            for (int i = 0; i < menu->actions().size(); ++i) {
                QTest::keyClick(menu, Qt::Key_Down);
                if (menu->activeAction() != nullptr && menu->activeAction()->text() == entry) {
                    break;
                }
            }
            QTest::keyClick(menu, Qt::Key_Return);
        });
        const QPoint at = tree()->visualRect(configuration).center();
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, tree()->viewport()->mapToGlobal(at));
        QApplication::sendEvent(tree()->viewport(), &event);
    };
    choose("Go to last packet");
    EXPECT_GT(cursor(), 151);
    // The last packet is the ACK of its status stage (USB 2.0 8.5.3).
    EXPECT_EQ(form_->PacketList.kind(static_cast<std::size_t>(cursor())), capture::RecordKind::Ack);
    choose("Go to first packet");
    EXPECT_EQ(cursor(), 151);

    const QString saved = dir_.filePath("devices.txt");
    window_->ChooseTextFile = [&] { return saved.toStdString(); };
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_));
    QTest::keyClick(tree(), Qt::Key_S, Qt::ControlModifier);
    QFile file(saved);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    tree()->expandAll();
    QString shown;
    display::Text(*model(), {}, 0, shown);
    EXPECT_EQ(QString::fromUtf8(file.readAll()), shown);
}

} // namespace
} // namespace vintrace::app
