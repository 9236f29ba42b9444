#include "display/PacketToolTip.h"
#include "app/TMainForm.h"
#include "capture/CaptureDecoder.h"
#include "display/OwnerDrawListBox.h"
#include "display/PacketToolTipText.h"
#include "support/CaptureBytes.h"
#include "support/RecordingAnalyzer.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHelpEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>
#include <gtest/gtest.h>

#include <fstream>
#include <vector>

namespace vintrace::display {
namespace {

using test::Append;
using test::Hex;
using test::Packet;

/// SOF 100, a GET_DESCRIPTOR setup (SETUP, DATA0, ACK), then an ACK answering nothing.
capture::PacketList Capture() {
    std::vector<std::uint8_t> dat;
    Append(dat, Packet(0xA5, Hex("64 F8")));
    Append(dat, Packet(0x2D, Hex("03 50")));
    Append(dat, Packet(0xC3, Hex("80 06 00 01 00 00 40 00 DD 94")));
    Append(dat, Packet(0xD2));
    Append(dat, Packet(0xD2));
    capture::PacketList list;
    capture::ParseCaptureFile(dat, list);
    return list;
}

TEST(PacketToolTipText, SaysWhatTheRecordIsAndWhatWasFound) {
    const capture::PacketList list = Capture();
    const auto findings = capture::CheckCapture(list);
    EXPECT_EQ(PacketToolTipText(list, 0, findings[0]), "SOF, frame 100\nChecks: ok");
    EXPECT_EQ(PacketToolTipText(list, 1, findings[1]),
              "SETUP token, address 3, endpoint 0\nChecks: ok");
    EXPECT_EQ(PacketToolTipText(list, 2, findings[2]),
              "DATA0, 8 payload bytes\nGET_DESCRIPTOR DEVICE index 0 (standard, device-to-host, "
              "device) wValue=0x0100 wIndex=0x0000 wLength=64\nChecks: ok");
    EXPECT_EQ(PacketToolTipText(list, 4, findings[4]),
              "ACK handshake\nProblem: handshake without a transaction");
    // What the transfer carries comes after the request, on one line.
    EXPECT_EQ(PacketToolTipText(list, 2, findings[2], "device 1209:0003\nmore"),
              "DATA0, 8 payload bytes\nGET_DESCRIPTOR DEVICE index 0 (standard, device-to-host, "
              "device) wValue=0x0100 wIndex=0x0000 wLength=64\ndevice 1209:0003 | more\n"
              "Checks: ok");
    EXPECT_EQ(PacketToolTipText(list, 0, capture::kFindingCrc5 | capture::kFindingLength),
              "SOF, frame 100\nProblem: CRC5 does not match\nProblem: unexpected length for its "
              "kind");
}

TEST(PacketToolTip, ShowsTheLineUnderThePointerAndFollowsNewContents) {
    capture::PacketList list = Capture();
    OwnerDrawListBox box;
    box.setMeasureItem([](std::int64_t) { return 10; });
    box.resize(200, 100);
    box.setCount(static_cast<std::int64_t>(list.size()));
    auto* tip = new PacketToolTip(&box, list);
    box.show();

    const QPoint onLine4(5, 45); // lines are 10 pixels high
    QHelpEvent event(QEvent::ToolTip, onLine4, box.viewport()->mapToGlobal(onLine4));
    QApplication::sendEvent(box.viewport(), &event);
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text().toStdString(),
              "ACK handshake\nProblem: handshake without a transaction");

    // New contents: the findings are computed again, not taken from the old capture.
    list.clear();
    std::vector<std::uint8_t> dat = Packet(0xC3, Hex("00 00"));
    Append(dat, Packet(0xD2));
    capture::ParseCaptureFile(dat, list);
    box.setCount(static_cast<std::int64_t>(list.size()));
    EXPECT_EQ(tip->textFor(1).toStdString(), "ACK handshake\nChecks: ok");
    EXPECT_TRUE(tip->textFor(2).isEmpty());
    EXPECT_TRUE(tip->textFor(-1).isEmpty());

    const QPoint belowTheLines(5, 80);
    QHelpEvent nothing(QEvent::ToolTip, belowTheLines, box.viewport()->mapToGlobal(belowTheLines));
    QApplication::sendEvent(box.viewport(), &nothing);
    EXPECT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 5000));
}

TEST(PacketToolTip, TheMainWindowsPacketListShowsItAndFollowsHiding) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir.path());
    {
        std::vector<std::uint8_t> dat = Packet(0xA5, Hex("64 F8"));
        Append(dat, Packet(0x69, Hex("83 E8"))); // CRC5 off by one bit
        std::ofstream("usbdata.dat", std::ios::binary)
            .write(reinterpret_cast<const char*>(dat.data()),
                   static_cast<std::streamsize>(dat.size()));
    }
    test::RecordingAnalyzer analyzer;
    app::TMainForm form(analyzer);
    form.show();
    QWidget* viewport = form.ListBox1->viewport();
    const QPoint firstLine = form.ListBox1->itemRect(0).center();
    auto tipAtFirstLine = [&] {
        QHelpEvent event(QEvent::ToolTip, firstLine, viewport->mapToGlobal(firstLine));
        QApplication::sendEvent(viewport, &event);
        return QToolTip::text().toStdString();
    };
    EXPECT_EQ(tipAtFirstLine(), "SOF, frame 100\nChecks: ok");

    capture::CommandMessage hideSof;
    hideSof.setCommand(capture::CMD_HIDE_SOF);
    form.HandleCommand(hideSof);
    EXPECT_EQ(tipAtFirstLine(), "IN token, address 3, endpoint 1\nProblem: CRC5 does not match");
    form.close();
    QDir::setCurrent(previous);
}

// Over a real capture, a data packet's tooltip adds what its transfer carries: a HID report,
// a HID class request; the other packets of the transfer stay as they were.
TEST(PacketToolTip, ADataPacketTellsWhatItsTransferCarries) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir.path());
    ASSERT_TRUE(QFile::copy(QString::fromLatin1(VINTRACE_TEST_DATA "/ls-mouse.dat"),
                            dir.filePath(QStringLiteral("usbdata.dat"))));
    test::RecordingAnalyzer analyzer;
    app::TMainForm form(analyzer);
    form.show();
    const struct {
        std::int64_t record;
        const char* line;    // the line after the first (and the request, if any)
        const char* meaning; // the start of the meaning line; nothing when there is none
    } cases[] = {
        {1161, nullptr,
         "HID report 1: Button 1: 0, Button 2: 0, Button 3: 0, Button 4: 0, Button 5: 0, X: -1, "
         "Y: 0, Wheel: 0, AC Pan: 0"},
        {1164, nullptr,
         "HID report 1: Button 1: 0, Button 2: 0, Button 3: 0, Button 4: 0, Button 5: 0, X: -2, "
         "Y: 0, Wheel: 0, AC Pan: 0"},
        {247,
         "class request 10 (class, host-to-device, interface) wValue=0x0000 wIndex=0x0000 "
         "wLength=0",
         "SET_IDLE indefinite report 0 interface 0"},
        {1160, nullptr, nullptr}, // the IN token
        {1162, nullptr, nullptr}, // the ACK
    };
    QWidget* viewport = form.ListBox1->viewport();
    for (const auto& c : cases) {
        form.ListBox1->setTopIndex(c.record);
        const QPoint at = form.ListBox1->itemRect(c.record).center();
        QHelpEvent event(QEvent::ToolTip, at, viewport->mapToGlobal(at));
        QApplication::sendEvent(viewport, &event);
        ASSERT_TRUE(QToolTip::isVisible()) << c.record;
        QStringList lines = QToolTip::text().split(QLatin1Char('\n'));
        ASSERT_GE(lines.size(), 2) << c.record;
        lines.removeFirst();
        if (c.line) {
            EXPECT_EQ(lines.takeFirst().toStdString(), c.line) << c.record;
        }
        const QString next = lines.isEmpty() ? QString() : lines.first();
        if (c.meaning) {
            EXPECT_TRUE(next.startsWith(QString::fromLatin1(c.meaning))) << next.toStdString();
            ASSERT_GE(lines.size(), 2) << c.record;
            EXPECT_TRUE(lines[1].startsWith(QStringLiteral("Checks:")) ||
                        lines[1].startsWith(QStringLiteral("Problem:")))
                << "one line only, record " << c.record;
        } else {
            EXPECT_TRUE(next.startsWith(QStringLiteral("Checks:")) ||
                        next.startsWith(QStringLiteral("Problem:")))
                << next.toStdString();
        }
    }
    form.close();
    QDir::setCurrent(previous);
}

} // namespace
} // namespace vintrace::display
