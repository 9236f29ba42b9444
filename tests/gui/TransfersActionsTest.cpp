// The Transfers window's filter box, copy, save and context menu, driven by keys and clicks.
#include "app/TDecodeAs.h"
#include "app/TTransfersForm.h"
#include "capture/Command.h"
#include "display/TransferTreeModel.h"
#include "protocol/TransferLines.h"
#include "protocol/Transfers.h"
#include "support/CompanionWindowTest.h"
#include "support/FileContents.h"
#include "support/MenuClicks.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

namespace vintrace::app {
namespace {

using display::TransferTreeModel;

class TransfersActions : public test::TransfersWindowOpen {
protected:
    TransferTreeModel& model() const { return window_->model(); }
    QString cell(int row, int column, const QModelIndex& parent = {}) const {
        return model().index(row, column, parent).data().toString();
    }
    /// The top row whose transfer begins at `record`, scrolled to as a user would.
    QModelIndex rowAt(std::size_t record) const {
        for (int row = 0; row < model().rowCount(); ++row) {
            if (model().FirstRecordOf(model().index(row, 0)) == record) {
                return model().index(row, 0);
            }
        }
        return {};
    }
    void typeFilter(const char* text) {
        window_->FilterEdit->setFocus();
        QTest::keyClicks(window_->FilterEdit, QString::fromLatin1(text));
    }
    void choose(const QModelIndex& index, const QString& entry) {
        EXPECT_TRUE(test::ChooseFromContextMenu(tree(), index, entry)) << entry.toStdString();
    }
    std::string cli(const QStringList& args) const {
        QProcess cli;
        cli.start(QStringLiteral(VINTRACE_CLI_PATH),
                  QStringList{QStringLiteral("transfers"),
                              QStringLiteral(VINTRACE_TEST_DATA "/fs-badge.dat")} +
                      args);
        EXPECT_TRUE(cli.waitForFinished(20000));
        EXPECT_EQ(cli.exitCode(), 0);
        return cli.readAllStandardOutput().toStdString();
    }
    static std::string Contents(const QString& path) { return test::ReadText(path.toStdString()); }
};

// The box takes what the command line's --address and --endpoint take; a text that is no
// filter filters nothing and says so, rather than keeping what its prefix filtered; Escape
// empties it.
TEST_F(TransfersActions, FilterBoxTakesTheCommandLinesAddressesAndWords) {
    const std::size_t all = model().TopCount();
    const struct {
        const char* text;
        const char* endpointPrefix; // every row's Endpoint column begins so; null: none
        const char* status;         // every row's Status column; null: any
    } cases[] = {
        {"0x1", "1.", nullptr},      {"1.0", "1.0", nullptr},       {"0x1.0x0", "1.0", nullptr},
        {"stall", nullptr, "stall"}, {"1 control ok", "1.0", "ok"},
    };
    for (const auto& c : cases) {
        typeFilter(c.text);
        ASSERT_GT(model().rowCount(), 0) << c.text;
        EXPECT_LT(model().TopCount(), all) << c.text;
        EXPECT_FALSE(window_->FilterNote->isVisible()) << c.text;
        for (int row = 0; row < model().rowCount(); ++row) {
            if (c.endpointPrefix) {
                EXPECT_TRUE(
                    cell(row, TransferTreeModel::EndpointColumn).startsWith(c.endpointPrefix))
                    << c.text << " row " << row;
            }
            if (c.status) {
                EXPECT_EQ(cell(row, TransferTreeModel::StatusColumn), c.status) << c.text;
            }
        }
        // "0x1" then "x": no address at all, so every item is back and the note says why.
        QTest::keyClicks(window_->FilterEdit, QStringLiteral("x"));
        EXPECT_EQ(model().TopCount(), all) << c.text;
        EXPECT_TRUE(window_->FilterNote->isVisible()) << c.text;
        EXPECT_TRUE(window_->FilterNote->text().startsWith("not a filter: ")) << c.text;
        QTest::keyClick(window_->FilterEdit, Qt::Key_Escape);
        EXPECT_EQ(window_->FilterEdit->text(), "");
        EXPECT_FALSE(window_->FilterNote->isVisible());
        EXPECT_EQ(model().TopCount(), all);
    }
}

// The chosen item stays chosen, and in view, when a filter that still shows it comes or goes.
TEST_F(TransfersActions, FilterKeepsTheSelectedItemInView) {
    const QModelIndex lineCoding = rowAt(208); // SET_LINE_CODING on 1.0
    ASSERT_TRUE(lineCoding.isValid());
    ClickRow(tree(), lineCoding);
    for (const char* text : {"1", "1.0 ok", ""}) {
        window_->FilterEdit->clear();
        typeFilter(text);
        QApplication::processEvents();
        const QModelIndex current = tree()->currentIndex();
        ASSERT_TRUE(current.isValid()) << text;
        EXPECT_EQ(model().FirstRecordOf(current), 208u) << text;
        EXPECT_TRUE(tree()->selectionModel()->isSelected(current)) << text;
        EXPECT_TRUE(tree()->viewport()->rect().intersects(tree()->visualRect(current))) << text;
    }
    // Keeping the place moves no cursor: the packet list stays on the chosen transfer.
    EXPECT_EQ(form_->ListBox1->itemIndex(), 208);
}

// A filter typed while a worker groups the capture waits for it, rather than grouping the
// capture again on the window's thread, and applies once the tree is built.
TEST_F(TransfersActions, FilterTypedDuringABackgroundBuildWaitsForIt) {
    window_->TransfersBackgroundRecords = 0;
    send(capture::CMD_HIDE_SOF); // a new store: the tree is built on a worker
    ASSERT_TRUE(window_->ProgressLabel->isVisible());
    typeFilter("1.0");
    EXPECT_EQ(model().rowCount(), 0);
    EXPECT_TRUE(window_->ProgressLabel->isVisible());
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->ProgressLabel->isVisible(); }, 10000));
    ASSERT_GT(model().rowCount(), 0);
    for (int row = 0; row < model().rowCount(); ++row) {
        EXPECT_EQ(cell(row, TransferTreeModel::EndpointColumn), "1.0") << row;
    }
}

// Ctrl+C copies the line `vintrace-cli transfers` prints for the item, and the rows under it
// as the tree shows them once it is expanded.
TEST_F(TransfersActions, CtrlCCopiesTheCommandLinesLines) {
    const std::string lines = cli({});
    const QModelIndex item = rowAt(208);
    ClickRow(tree(), item);
    QTest::keyClick(tree(), Qt::Key_C, Qt::ControlModifier);
    const std::string copied = QGuiApplication::clipboard()->text().toStdString();
    ASSERT_FALSE(copied.empty());
    EXPECT_EQ(copied.rfind("208\t", 0), 0u) << copied;
    EXPECT_NE(lines.find("\n" + copied), std::string::npos) << copied;

    QTest::keyClick(tree(), Qt::Key_Right); // expands it
    ASSERT_TRUE(tree()->isExpanded(item));
    QTest::keyClick(tree(), Qt::Key_C, Qt::ControlModifier);
    const QStringList rows = QGuiApplication::clipboard()->text().split('\n');
    ASSERT_EQ(rows.size(), model().rowCount(item) + 2); // the item, its transactions, the end
    EXPECT_EQ(rows[0].toStdString() + "\n", copied);
    EXPECT_TRUE(rows[1].startsWith("  " + cell(0, TransferTreeModel::RecordColumn, item) + "\t"))
        << rows[1].toStdString();
}

// Ctrl+S and Save as JSON write the items the filter shows, as the command line prints them
// for the same address and endpoint.
TEST_F(TransfersActions, SavesTheFilteredViewAsTheCommandLinePrintsIt) {
    typeFilter("0x1.0");
    const QString text = dir_.filePath("view.txt");
    const QString json = dir_.filePath("view.json");
    window_->ChooseTextFile = [&] { return text.toStdString(); };
    window_->ChooseJsonFile = [&] { return json.toStdString(); };
    tree()->setFocus();
    QTest::keyClick(tree(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(Contents(text), cli({"--address", "1", "--endpoint", "0"}));
    choose(model().index(0, 0), "Save as JSON...");
    EXPECT_EQ(Contents(json), cli({"--json", "--address", "1", "--endpoint", "0"}));
    EXPECT_TRUE(messages_.isEmpty()) << messages_.join('\n').toStdString();
}

// A large view is saved on a worker: the window says so and refuses a second save meanwhile;
// the file is the same. Escape stops a save wherever the focus is, and clears the filter box
// again once none runs.
TEST_F(TransfersActions, ALargeViewSavesOnAWorker) {
    window_->SaveBackgroundItems = 1;
    typeFilter("0x1.0");
    const QString text = dir_.filePath("view.txt");
    window_->ChooseTextFile = [&] { return text.toStdString(); };
    tree()->setFocus();
    QTest::keyClick(tree(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_TRUE(window_->SaveLabel->isVisible());
    EXPECT_TRUE(window_->SaveLabel->text().startsWith("Saving "))
        << window_->SaveLabel->text().toStdString();
    EXPECT_TRUE(window_->StopSaveButton->isVisible());
    QTest::keyClick(tree(), Qt::Key_S, Qt::ControlModifier);
    ASSERT_EQ(messages_.size(), 1);
    EXPECT_TRUE(messages_.front().contains("The transfers are still being saved."));
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->SaveLabel->isVisible(); }, 20000));
    EXPECT_FALSE(window_->StopSaveButton->isVisible());
    EXPECT_EQ(Contents(text), cli({"--address", "1", "--endpoint", "0"}));
    EXPECT_EQ(messages_.size(), 1);

    for (QWidget* focus :
         {static_cast<QWidget*>(tree()), static_cast<QWidget*>(window_->FilterEdit)}) {
        QTest::keyClick(tree(), Qt::Key_S, Qt::ControlModifier);
        ASSERT_TRUE(window_->SaveLabel->isVisible());
        focus->setFocus();
        QTest::keyClick(focus, Qt::Key_Escape);
        EXPECT_FALSE(window_->SaveLabel->isVisible());
        EXPECT_EQ(form_->Session.backgroundSave(session::CaptureSession::SavedView::Transfers),
                  nullptr);
        EXPECT_EQ(window_->FilterEdit->text(), "0x1.0");
    }
    QTest::keyClick(window_->FilterEdit, Qt::Key_Escape);
    EXPECT_EQ(window_->FilterEdit->text(), "");
    EXPECT_EQ(messages_.size(), 1);
}

// The menu copies and saves what a row carries, goes to the ends of its transfer and narrows
// the tree to its device or endpoint.
TEST_F(TransfersActions, ContextMenuActsOnTheRow) {
    const QModelIndex device = rowAt(6); // GET_DESCRIPTOR DEVICE
    ASSERT_TRUE(device.isValid());
    const auto item = model().ItemOf(device);
    ASSERT_TRUE(item);
    const protocol::TransferItem t = form_->Session.transferList(true)[*item];
    const std::vector<std::uint8_t> payload =
        protocol::DeliveredPayload(form_->PacketList, form_->Session.transactions(), t);
    // 9.6.1: a device descriptor is 18 bytes, bLength first.
    ASSERT_EQ(payload.size(), 18u);
    ASSERT_EQ(payload[0], 18);

    choose(device, "Copy payload as hex");
    const QString hex = QGuiApplication::clipboard()->text();
    EXPECT_TRUE(hex.startsWith("12 01 ")) << hex.toStdString();
    EXPECT_EQ(hex.split(' ').size(), 18);
    // Past the copy bound nothing is copied and Save payload is offered instead; a payload
    // of exactly the bound is copied.
    QGuiApplication::clipboard()->setText(QStringLiteral("kept"));
    window_->CopyPayloadBytes = 17;
    choose(device, "Copy payload as hex");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("kept"));
    ASSERT_EQ(messages_.size(), 1);
    EXPECT_TRUE(messages_.front().contains("Save payload")) << messages_.front().toStdString();
    messages_.clear();
    window_->CopyPayloadBytes = 18;
    choose(device, "Copy payload as hex");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), hex);

    const QString saved = dir_.filePath("device.bin");
    window_->ChoosePayloadFile = [&] { return saved.toStdString(); };
    choose(device, "Save payload as...");
    EXPECT_EQ(Contents(saved), std::string(payload.begin(), payload.end()));

    choose(device, "Go to last packet");
    EXPECT_EQ(form_->ListBox1->itemIndex(),
              static_cast<std::int64_t>(protocol::LastRecord(form_->Session.transactions(), t)));
    choose(device, "Go to first packet");
    EXPECT_EQ(form_->ListBox1->itemIndex(), 6);

    choose(device, "Filter to this endpoint");
    EXPECT_EQ(window_->FilterEdit->text(), QStringLiteral("%1.0").arg(t.address));
    choose(tree()->currentIndex(), "Filter to this device");
    EXPECT_EQ(window_->FilterEdit->text(), QString::number(t.address));
    // 5.3.1: an IN endpoint and the OUT endpoint of its number are two endpoints.
    window_->FilterEdit->clear();
    const QModelIndex polls = rowAt(1776); // NAKed polls of 2.3 IN
    ASSERT_TRUE(polls.isValid());
    choose(polls, "Filter to this endpoint");
    EXPECT_EQ(window_->FilterEdit->text(), "2.0x83");
    EXPECT_TRUE(messages_.isEmpty());
}

// Decode As: the item's endpoint read as the kind chosen in the dialog, the tree built again on
// a worker; the capture's own descriptors win unless the box is ticked; "none" drops it; a
// reload of the file keeps it.
TEST_F(TransfersActions, DecodeAsReadsTheEndpointAsChosen) {
    // A capture with interrupt reports in place of the badge, which has none.
    const QString capture = dir_.filePath(QStringLiteral("usbdata.dat"));
    ASSERT_TRUE(QFile::remove(capture));
    ASSERT_TRUE(QFile::copy(QStringLiteral(VINTRACE_TEST_DATA "/ls-mouse.dat"), capture));
    send(capture::CMD_RELOAD);
    ASSERT_TRUE(QTest::qWaitFor([this] { return model().rowCount() > 0; }, 10000));
    std::optional<std::size_t> record;
    for (int row = 0; row < model().rowCount() && !record; ++row) {
        const auto item = model().ItemOf(model().index(row, 0));
        if (item &&
            form_->Session.transferList(true)[*item].type == protocol::TransferType::Interrupt) {
            record = model().FirstRecordOf(model().index(row, 0));
        }
    }
    ASSERT_TRUE(record);
    const auto typeAt = [&] {
        const auto item = model().ItemOf(rowAt(*record));
        return item ? form_->Session.transferList(true)[*item].type : protocol::TransferType::Sof;
    };
    // Chooses `kind` in the dialog with the keyboard, ticks the box when `insist`, and OKs it.
    const auto decodeAs = [&](const QString& kind, bool insist) {
        bool answered = false;
        QTimer dialog;
        dialog.setInterval(10);
        QObject::connect(&dialog, &QTimer::timeout, [&] {
            auto* d = qobject_cast<TDecodeAs*>(QApplication::activeModalWidget());
            if (d == nullptr || answered) {
                return;
            }
            answered = true;
            QTest::keyClick(d->KindBox, Qt::Key_Home);
            for (int i = 0; i < d->KindBox->count() && d->KindBox->currentText() != kind; ++i) {
                QTest::keyClick(d->KindBox, Qt::Key_Down);
            }
            if (d->InsistCheckBox->isChecked() != insist) {
                QTest::mouseClick(d->InsistCheckBox, Qt::LeftButton);
            }
            QTest::keyClick(d->KindBox, Qt::Key_Return);
        });
        dialog.start();
        choose(rowAt(*record), "Decode As...");
        EXPECT_TRUE(answered);
        // Built on a worker however small the capture: the tree waits meanwhile.
        EXPECT_TRUE(window_->ProgressLabel->isVisible());
        EXPECT_TRUE(
            QTest::qWaitFor([this] { return !window_->ProgressLabel->isVisible(); }, 10000));
    };

    decodeAs("bulk", false);
    EXPECT_EQ(typeAt(), protocol::TransferType::Interrupt);
    decodeAs("bulk", true);
    EXPECT_EQ(typeAt(), protocol::TransferType::Bulk);
    // The chosen item stays chosen.
    EXPECT_EQ(model().FirstRecordOf(tree()->currentIndex()), record);
    send(capture::CMD_RELOAD);
    ASSERT_TRUE(QTest::qWaitFor([this] { return model().rowCount() > 0; }, 10000));
    EXPECT_EQ(typeAt(), protocol::TransferType::Bulk);
    decodeAs("none", false);
    EXPECT_EQ(typeAt(), protocol::TransferType::Interrupt);
    EXPECT_TRUE(form_->Session.assumptions().empty());
}

// Save payload replaces a regular file and nothing else: a directory or a FIFO where the file
// would go is refused and left as it was.
TEST_F(TransfersActions, SavePayloadReplacesOnlyRegularFiles) {
    const QModelIndex device = rowAt(6);
    ASSERT_TRUE(device.isValid());
    const QString old = dir_.filePath("old.bin");
    {
        QFile f(old);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("old contents");
    }
    const QString directory = dir_.filePath("a-directory");
    ASSERT_TRUE(QDir(dir_.path()).mkdir("a-directory"));
    const QString fifo = dir_.filePath("a-fifo");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);

    QString target = old;
    window_->ChoosePayloadFile = [&] { return target.toStdString(); };
    choose(device, "Save payload as...");
    EXPECT_EQ(Contents(old).size(), 18u);
    EXPECT_TRUE(messages_.isEmpty());
    for (const QString& refused : {directory, fifo}) {
        target = refused;
        messages_.clear();
        choose(device, "Save payload as...");
        ASSERT_EQ(messages_.size(), 1) << refused.toStdString();
        EXPECT_TRUE(messages_[0].contains("not a regular file")) << messages_[0].toStdString();
        struct stat st {};
        ASSERT_EQ(::lstat(refused.toLocal8Bit().constData(), &st), 0);
        EXPECT_FALSE(S_ISREG(st.st_mode));
    }
    // No temporary file is left beside the targets.
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files).filter("partial").size(), 0);
}

} // namespace
} // namespace vintrace::app
