// The Devices window's JSON save, descriptor bytes and filters, driven by keys and clicks.
#include "app/TDevicesForm.h"
#include "app/TTransfersForm.h"
#include "display/TransferTreeModel.h"
#include "support/CompanionWindowTest.h"
#include "support/FileContents.h"
#include "support/MenuClicks.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace vintrace::app {
namespace {

class DevicesActions : public test::DevicesWindowOpen {
protected:
    QModelIndex find(const std::function<bool(const QString&)>& wanted,
                     const QModelIndex& parent = {}) const {
        return test::FindRow(tree(), wanted, parent);
    }
    void choose(const QModelIndex& index, const QString& entry) {
        EXPECT_TRUE(test::ChooseFromContextMenu(tree(), index, entry)) << entry.toStdString();
    }
    static std::string Contents(const QString& path) { return test::ReadText(path.toStdString()); }
};

// Save as text (Ctrl+S) and Save as JSON write what `vintrace-cli devices` (`--json`) prints
// for the capture, at once or, for many devices, on a worker. Meanwhile the window says so, a
// second save is refused, and Escape stops it.
TEST_F(DevicesActions, SavesTheViewAsTheCommandLinePrintsIt) {
    const auto cli = [](bool json) {
        QProcess cli;
        QStringList args{"devices", QStringLiteral(VINTRACE_TEST_DATA "/fs-badge.dat")};
        if (json) {
            args << "--json";
        }
        cli.start(QStringLiteral(VINTRACE_CLI_PATH), args);
        EXPECT_TRUE(cli.waitForFinished(20000));
        EXPECT_EQ(cli.exitCode(), 0);
        return cli.readAllStandardOutput().toStdString();
    };
    const QString saved = dir_.filePath("devices");
    window_->ChooseTextFile = [&] { return saved.toStdString(); };
    window_->ChooseJsonFile = [&] { return saved.toStdString(); };
    const QModelIndex device =
        find([](const QString& t) { return t.startsWith("Device at address 1"); });
    for (const bool aside : {false, true}) {
        window_->SaveBackgroundDevices = aside ? 1 : 1000;
        for (const bool json : {false, true}) {
            SCOPED_TRACE(std::string(aside ? "on a worker" : "at once") + (json ? ", JSON" : ""));
            QFile::remove(saved);
            if (json) {
                choose(device, "Save as JSON...");
                window_->activateWindow(); // the menu had it: keys go to the window again
                ASSERT_TRUE(QTest::qWaitForWindowActive(window_));
            } else {
                tree()->setFocus();
                QTest::keyClick(tree(), Qt::Key_S, Qt::ControlModifier);
            }
            EXPECT_EQ(window_->SaveLabel->isVisible(), aside);
            if (aside) {
                EXPECT_TRUE(window_->StopSaveButton->isVisible());
                QTest::keyClick(tree(), Qt::Key_S, Qt::ControlModifier);
                ASSERT_EQ(messages_.size(), 1);
                EXPECT_TRUE(messages_.takeFirst().contains("The devices are still being saved."));
                ASSERT_TRUE(
                    QTest::qWaitFor([this] { return !window_->SaveLabel->isVisible(); }, 20000));
            }
            EXPECT_EQ(Contents(saved), cli(json));
        }
    }
    QTest::keyClick(tree(), Qt::Key_S, Qt::ControlModifier);
    ASSERT_TRUE(window_->SaveLabel->isVisible());
    QTest::keyClick(tree(), Qt::Key_Escape);
    EXPECT_FALSE(window_->SaveLabel->isVisible());
    EXPECT_EQ(form_->Session.backgroundSave(session::CaptureSession::SavedView::Devices), nullptr);
    EXPECT_TRUE(messages_.isEmpty()) << messages_.join('\n').toStdString();
}

// A descriptor's row, or a field's row under it, copies and saves the descriptor's bytes as
// the device sent them (9.6.1: a device descriptor is 18 bytes, bLength then
// bDescriptorType 1).
TEST_F(DevicesActions, CopiesAndSavesADescriptorsBytes) {
    const QModelIndex descriptor = find([](const QString& t) { return t == "Device Descriptor:"; });
    ASSERT_TRUE(descriptor.isValid());
    const QString expected = "12 01 00 02 EF 02 01 40 3A 30 01 10 01 01 01 02 03 01";
    choose(descriptor, "Copy payload as hex");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), expected);
    tree()->expand(descriptor);
    const QModelIndex idVendor =
        find([](const QString& t) { return t.startsWith("idVendor"); }, descriptor);
    ASSERT_TRUE(idVendor.isValid());
    QGuiApplication::clipboard()->clear();
    choose(idVendor, "Copy payload as hex");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), expected);

    const QString saved = dir_.filePath("device.bin");
    window_->ChoosePayloadFile = [&] { return saved.toStdString(); };
    choose(idVendor, "Save payload as...");
    const std::string bytes = Contents(saved);
    ASSERT_EQ(bytes.size(), 18u);
    EXPECT_EQ(QByteArray::fromStdString(bytes).toHex(' ').toUpper(), expected.toLatin1());
    // A device's title row stands for its device descriptor.
    const QModelIndex device =
        find([](const QString& t) { return t.startsWith("Device at address 1"); });
    ClickRow(tree(), device);
    QGuiApplication::clipboard()->clear();
    choose(device, "Copy payload as hex");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), expected);
    EXPECT_FALSE(window_->FilterEndpointAction->isEnabled());
    EXPECT_TRUE(window_->FilterDeviceAction->isEnabled());
}

// Filter to this endpoint opens the Transfers window narrowed to the endpoint the descriptor
// describes (by its address: 9.6.6, bit 7 is the direction); Filter to this device to the
// device's address.
TEST_F(DevicesActions, FiltersOpenTheTransfersWindowNarrowed) {
    // The keyboard's interrupt IN endpoint, 0x83, the one the capture polls.
    const QModelIndex keyboard =
        find([](const QString& t) { return t.startsWith("Device at address 2"); });
    ASSERT_TRUE(keyboard.isValid());
    const QModelIndex address =
        find([](const QString& t) { return t.simplified().startsWith("bEndpointAddress 0x83"); },
             keyboard);
    ASSERT_TRUE(address.isValid());
    const QModelIndex endpoint = address.parent();
    ASSERT_EQ(endpoint.data().toString(), "Endpoint Descriptor:");

    choose(endpoint, "Filter to this endpoint");
    TTransfersForm* transfers = form_->transfersForm();
    ASSERT_NE(transfers, nullptr);
    EXPECT_TRUE(transfers->isVisible());
    EXPECT_EQ(transfers->FilterEdit->text(), "2.0x83");
    display::TransferTreeModel& model = transfers->model();
    ASSERT_GT(model.rowCount(), 0);
    for (int row = 0; row < model.rowCount(); ++row) {
        EXPECT_EQ(model.index(row, display::TransferTreeModel::EndpointColumn).data(), "2.3");
        EXPECT_EQ(model.index(row, display::TransferTreeModel::DirectionColumn).data(), "IN");
    }
    window_->activateWindow();
    choose(find([](const QString& t) { return t.startsWith("Device at address 1"); }),
           "Filter to this device");
    EXPECT_EQ(transfers->FilterEdit->text(), "1");
}

} // namespace
} // namespace vintrace::app
