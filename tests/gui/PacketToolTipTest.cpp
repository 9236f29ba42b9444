#include "display/PacketToolTip.h"
#include "app/TMainForm.h"
#include "capture/CaptureDecoder.h"
#include "display/OwnerDrawListBox.h"
#include "display/PacketToolTipText.h"
#include "support/CaptureBytes.h"
#include "support/RecordingAnalyzer.h"

#include <QApplication>
#include <QDir>
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

} // namespace
} // namespace vintrace::display
