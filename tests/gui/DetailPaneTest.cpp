#include "display/DetailPane.h"
#include "app/TDevicesForm.h"
#include "app/TMainForm.h"
#include "app/TTransfersForm.h"
#include "display/TransferTreeModel.h"
#include "support/CompanionWindowTest.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>

namespace vintrace::app {
namespace {

using display::DetailPane;

using test::FindRow;

class DetailPaneWindows : public test::CompanionWindowTest {
protected:
    /// Clicks the pane's field row called `name`.
    void clickField(DetailPane* pane, const QString& name) {
        const QModelIndex field = FindRow(pane->FieldView, name);
        ASSERT_TRUE(field.isValid()) << name.toStdString();
        ClickRow(pane->FieldView, field);
    }
    /// Clicks byte `offset`'s hex digits in the pane's dump; returns the field then chosen.
    QString clickByte(DetailPane* pane, std::size_t offset) {
        const QRect cell = pane->BytesView->hexRect(offset);
        EXPECT_FALSE(cell.isEmpty()) << offset;
        QTest::mouseClick(pane->BytesView->viewport(), Qt::LeftButton, {}, cell.center());
        return pane->FieldView->currentIndex().siblingAtColumn(0).data().toString();
    }
    static std::pair<std::size_t, std::size_t> lit(DetailPane* pane) {
        return {pane->BytesView->highlightOffset(), pane->BytesView->highlightLength()};
    }
    using Range = std::pair<std::size_t, std::size_t>;
};

TEST_F(DetailPaneWindows, TransfersPaneShowsTheSetupPacketAndTheDescriptorItFetched) {
    form_->Transfers1->trigger();
    TTransfersForm* window = form_->transfersForm();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    DetailPane* pane = window->Details;
    EXPECT_EQ(pane->FieldView->model()->rowCount(), 0);

    const QModelIndex getDevice =
        FindRow(window->TransferTree, QStringLiteral("GET_DESCRIPTOR DEVICE"), {},
                display::TransferTreeModel::ItemColumn);
    ASSERT_TRUE(getDevice.isValid());
    ClickRow(window->TransferTree, getDevice);
    // The setup packet's 8 bytes, then the 18 of the device descriptor (9.3, 9.6.1).
    ASSERT_EQ(pane->BytesView->bytes().size(), 8u + 18u);
    ASSERT_EQ(pane->FieldView->model()->rowCount(), 2);

    // A field chosen lights its bytes: wLength is the setup packet's last two.
    clickField(pane, QStringLiteral("wLength"));
    EXPECT_EQ(lit(pane), Range(6, 2));
    // A byte clicked chooses the innermost field that holds it.
    EXPECT_EQ(clickByte(pane, 16), QStringLiteral("idVendor"));
    EXPECT_EQ(lit(pane), Range(16, 2));
    EXPECT_EQ(clickByte(pane, 0), QStringLiteral("Direction"));
    EXPECT_EQ(lit(pane), Range(0, 1));
    EXPECT_EQ(clickByte(pane, 8 + 17), QStringLiteral("bNumConfigurations"));

    // A transaction's row shows the transfer that holds it.
    window->TransferTree->expand(getDevice.siblingAtColumn(0));
    const QModelIndex transaction =
        window->TransferTree->model()->index(1, 0, getDevice.siblingAtColumn(0));
    ASSERT_TRUE(transaction.isValid());
    ClickRow(window->TransferTree, transaction);
    EXPECT_EQ(pane->BytesView->bytes().size(), 8u + 18u);
}

TEST_F(DetailPaneWindows, DevicesPaneShowsTheChosenDescriptorAndField) {
    form_->Devices1->trigger();
    TDevicesForm* window = form_->devicesForm();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    DetailPane* pane = window->Details;
    QAbstractItemModel& devices = *window->DeviceTree->model();

    const QModelIndex descriptor =
        FindRow(window->DeviceTree, QStringLiteral("Device Descriptor:"));
    ASSERT_TRUE(descriptor.isValid());
    ClickRow(window->DeviceTree, descriptor);
    ASSERT_EQ(pane->BytesView->bytes().size(), 18u);
    clickField(pane, QStringLiteral("idProduct"));
    EXPECT_EQ(lit(pane), Range(10, 2));
    EXPECT_EQ(clickByte(pane, 4), QStringLiteral("bDeviceClass"));
    EXPECT_EQ(lit(pane), Range(4, 1));

    // A field's row in the tree shows its descriptor with the field chosen.
    const QModelIndex packetSize =
        FindRow(window->DeviceTree, QStringLiteral("bMaxPacketSize0"), descriptor);
    ASSERT_TRUE(packetSize.isValid());
    ClickRow(window->DeviceTree, packetSize);
    EXPECT_EQ(pane->FieldView->currentIndex().data().toString(), QStringLiteral("bMaxPacketSize0"));
    EXPECT_EQ(lit(pane), Range(7, 1));

    // An endpoint of the configuration: its own seven bytes.
    const QModelIndex endpoint =
        FindRow(window->DeviceTree, QStringLiteral("Endpoint Descriptor:"));
    ASSERT_TRUE(endpoint.isValid());
    ClickRow(window->DeviceTree, endpoint);
    EXPECT_EQ(pane->BytesView->bytes().size(), 7u);
    EXPECT_EQ(clickByte(pane, 2), QStringLiteral("bEndpointAddress"));

    // The device's own row shows its device descriptor; a string's row the string
    // descriptor (9.6.7: bLength, bDescriptorType 3, UTF-16LE text).
    ClickRow(window->DeviceTree, devices.index(0, 0));
    EXPECT_EQ(pane->BytesView->bytes().size(), 18u);
    const QModelIndex string = FindRow(window->DeviceTree, QStringLiteral("String 2:"));
    ASSERT_TRUE(string.isValid());
    ClickRow(window->DeviceTree, string);
    EXPECT_EQ(clickByte(pane, 1), QStringLiteral("bDescriptorType"));
    EXPECT_EQ(clickByte(pane, 3), QStringLiteral("bString"));
    EXPECT_EQ(lit(pane), Range(2, pane->BytesView->bytes().size() - 2));

    // The keyboard's report descriptor sets its usage page twice, word for word: each row
    // lights its own item (HID 1.11 6.2.2.7).
    const QModelIndex first =
        FindRow(window->DeviceTree, QStringLiteral("Usage Page (Keyboard/Keypad)"));
    ASSERT_TRUE(first.isValid());
    // Eleven two-byte items on, the listing sets it again.
    const QModelIndex second = first.siblingAtRow(first.row() + 11);
    ASSERT_EQ(second.data().toString().trimmed(), QStringLiteral("Usage Page (Keyboard/Keypad)"));
    // 05 01 09 06 A1 01 85 01, then 05 07; 05 07 again 22 bytes on.
    ClickRow(window->DeviceTree, first);
    EXPECT_EQ(lit(pane), Range(8, 2));
    ClickRow(window->DeviceTree, second);
    EXPECT_EQ(lit(pane), Range(30, 2));
    EXPECT_EQ(pane->FieldView->currentIndex().data().toString(),
              QStringLiteral("Usage Page (Keyboard/Keypad)"));
}

} // namespace
} // namespace vintrace::app
