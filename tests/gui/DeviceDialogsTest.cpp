#include "app/TDefineTrigger.h"
#include "app/TSetFileSize.h"
#include "app/TUSBStatus.h"
#include "device/CaptureSize.h"
#include "support/QtPrinters.h"
#include "support/RecordingAnalyzer.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace vintrace::device {
namespace {

using app::TDefineTrigger;
using app::TSetFileSize;
using app::TUSBStatus;
using test::RecordingAnalyzer;

TEST(TriggerDialog, OpeningSendsTriggerOnArm) {
    RecordingAnalyzer absent;
    TDefineTrigger dialog(absent);
    EXPECT_EQ(dialog.windowTitle(), "Define Trigger");
    EXPECT_TRUE(dialog.RadioButton10->isChecked());
    EXPECT_EQ(dialog.RadioButton10->text(), "Trigger on Arm");
    EXPECT_EQ(dialog.Label1->text(), "Set Trigger UNsuccessful");
    EXPECT_EQ(absent.calls(), std::vector<std::string>{"SetTrigger 15"});

    RecordingAnalyzer present;
    present.attached = true;
    TDefineTrigger again(present);
    EXPECT_EQ(again.Label1->text(), "Set Trigger to Manual");
}

TEST(TriggerDialog, EachChoiceSendsItsCodeAndSaysSo) {
    const struct {
        QRadioButton* TDefineTrigger::*button;
        const char* caption;
        int code;
        const char* success;
        const char* failure;
    } rows[] = {
        {&TDefineTrigger::RadioButton1, "SETUP", 13, "Set Trigger to SETUP",
         "Set Trigger unsuccessful"},
        {&TDefineTrigger::RadioButton2, "IN", 9, "Set Trigger to IN", "Set Trigger unsuccessful"},
        {&TDefineTrigger::RadioButton7, "OUT", 1, "Set Trigger to OUT", "Set Trigger Unsuccessful"},
        {&TDefineTrigger::RadioButton3, "DATA0", 3, "Set Trigger to DATA0",
         "Set Trigger Unsuccessful"},
        {&TDefineTrigger::RadioButton4, "DATA1", 11, "Set Trigger to DATA1",
         "Set Trigger Unsuccessful"},
        {&TDefineTrigger::RadioButton5, "NAK", 10, "Set Trigger to NAK",
         "Set Trigger Unsuccessful"},
        {&TDefineTrigger::RadioButton6, "ACK", 2, "Set Trigger to ACK", "Set Trigger Unsuccessful"},
        {&TDefineTrigger::RadioButton8, "SOF", 5, "Set Trigger to SOF", "Set Trigger Unsuccessful"},
        {&TDefineTrigger::RadioButton9, "STALL", 14, "Set Trigger to STALL",
         "Set Trigger Unsuccessful"},
    };
    for (bool attached : {true, false}) {
        RecordingAnalyzer analyzer;
        analyzer.attached = attached;
        TDefineTrigger dialog(analyzer);
        for (const auto& row : rows) {
            QRadioButton* button = dialog.*row.button;
            EXPECT_EQ(button->text(), row.caption);
            analyzer.clearCalls();
            button->click();
            EXPECT_EQ(analyzer.calls(),
                      std::vector<std::string>{"SetTrigger " + std::to_string(row.code)});
            EXPECT_EQ(dialog.Label1->text(), attached ? row.success : row.failure);
            EXPECT_TRUE(button->isChecked()); // checked even when the analyzer refused
            EXPECT_FALSE(dialog.RadioButton10->isChecked());
        }
        // The checked button again sends nothing and leaves the label.
        analyzer.clearCalls();
        const QString label = dialog.Label1->text();
        dialog.RadioButton9->click();
        EXPECT_TRUE(analyzer.calls().empty());
        EXPECT_EQ(dialog.Label1->text(), label);
    }
}

std::array<std::uint8_t, 13> Version(const char* text) {
    std::array<std::uint8_t, 13> v{};
    std::memcpy(v.data(), text, std::min<std::size_t>(std::strlen(text), 13));
    return v;
}

TEST(StatusDialog, ShowsVersionAndPortSpeed) {
    RecordingAnalyzer analyzer;
    analyzer.attached = true;
    analyzer.firmware = Version("V1.2");
    TUSBStatus full;
    full.ReadStatus(analyzer);
    EXPECT_EQ(full.windowTitle(), "USB Status");
    EXPECT_EQ(full.Label1->text(), "Firmware Version : V1.2");
    EXPECT_EQ(full.Label2->text(), "Vintrace is connected to a Full speed port and working Good");

    analyzer.firmware = Version("ABCDEFGHIJKLM");
    analyzer.portSpeed = 2;
    TUSBStatus high;
    high.ReadStatus(analyzer);
    EXPECT_EQ(high.Label1->text(), "Firmware Version : ABCDEFGHIJKLM");
    EXPECT_EQ(high.Label2->text(), "Vintrace is connected to High Speed port and working Good");
}

TEST(StatusDialog, EitherFailureSaysUnconnected) {
    RecordingAnalyzer absent;
    TUSBStatus none;
    none.ReadStatus(absent);
    EXPECT_EQ(none.Label1->text(), "Vintrace is unconnected");
    EXPECT_TRUE(none.Label2->text().isEmpty());

    RecordingAnalyzer noSpeed;
    noSpeed.attached = true;
    noSpeed.refused = {"ReadPortSpeed"};
    TUSBStatus half;
    half.ReadStatus(noSpeed);
    EXPECT_EQ(half.Label1->text(), "Vintrace is unconnected");
    EXPECT_TRUE(half.Label2->text().isEmpty());
}

TEST(StatusDialog, LabelsStretchWithTheDialog) {
    TUSBStatus dialog;
    dialog.show();
    const QRect button = dialog.Button1->geometry();
    for (const int grow : {100, -40, 0}) {
        SCOPED_TRACE(grow);
        dialog.resize(455 + grow, 194 + 30);
        EXPECT_EQ(dialog.Label1->geometry(), QRect(24, 16, 409 + grow, 22));
        EXPECT_EQ(dialog.Label2->geometry(), QRect(32, 56, 393 + grow, 81));
        EXPECT_EQ(dialog.Button1->geometry(), button);
    }
}

TEST(CaptureSize, DoublesWithWrapAroundAndRefusesWhatIsNotPositive) {
    EXPECT_EQ(CaptureSizeFor(1), 2);
    EXPECT_EQ(CaptureSizeFor(65535), 131070);
    EXPECT_EQ(CaptureSizeFor(1'073'741'823), 2'147'483'646);
    EXPECT_EQ(CaptureSizeFor(1'073'741'824), std::nullopt); // 2^31 wraps negative
    EXPECT_EQ(CaptureSizeFor(0), std::nullopt);
    EXPECT_EQ(CaptureSizeFor(-5), std::nullopt);
    EXPECT_EQ(CaptureSizeFor(INT_MIN), std::nullopt);
    EXPECT_EQ(CaptureSizeFor(-1'073'741'825), 2'147'483'646); // wraps to a positive value
    EXPECT_EQ(ParseInt32("123"), 123);
    EXPECT_EQ(ParseInt32("-7"), -7);
    EXPECT_EQ(ParseInt32(""), std::nullopt);
    EXPECT_EQ(ParseInt32("12a"), std::nullopt);
    EXPECT_EQ(ParseInt32("2147483648"), std::nullopt);
}

TEST(CaptureSizeDialog, AppliesHalvesAndReportsBadText) {
    std::int32_t size = 131071;
    TSetFileSize dialog(size);
    QStringList errors;
    dialog.ShowError = [&](const QString& text) { errors << text; };
    EXPECT_EQ(dialog.windowTitle(), "SetFileSize");
    EXPECT_EQ(dialog.Edit1->text(), "65535");

    dialog.Edit1->clear();
    QTest::keyClicks(dialog.Edit1, "1x2 -3");
    EXPECT_EQ(dialog.Edit1->text(), "123");
    dialog.Button2->click();
    EXPECT_EQ(size, 246);

    dialog.Edit1->setText("0");
    dialog.Button2->click();
    EXPECT_EQ(size, 246);
    EXPECT_EQ(dialog.Edit1->text(), "123");

    dialog.Edit1->setText("");
    dialog.Button2->click();
    EXPECT_EQ(errors, QStringList{"'' is not a valid integer value"});
    EXPECT_EQ(size, 246);
}

// Only the ASCII digits and backspace get in by typing; editing keys still work.
TEST(CaptureSizeDialog, KeepsOnlyAsciiDigitsAndBackspace) {
    std::int32_t size = 131071;
    TSetFileSize dialog(size);
    QStringList errors;
    dialog.ShowError = [&](const QString& text) { errors << text; };
    dialog.Edit1->clear();
    const QString typed[] = {
        QStringLiteral("1"),
        QString(QChar(0x0662)),           // Arabic-Indic two
        QString(QChar(0xFF13)),           // full-width three
        QString(QChar(0x06F4)),           // extended Arabic-Indic four
        QString(QChar(0x200E)),           // left-to-right mark, a format character
        QString(QChar(0xE000)),           // private use
        QString::fromUcs4(U"\U0001D7D3"), // mathematical bold five: two UTF-16 units
        QStringLiteral("x"),
        QStringLiteral("6"),
    };
    for (const QString& text : typed) {
        QTest::sendKeyEvent(QTest::Click, dialog.Edit1, Qt::Key_unknown, text, Qt::NoModifier);
    }
    EXPECT_EQ(dialog.Edit1->text(), "16");
    // Shortcuts type no character either; arrows, Delete and backspace edit as usual.
    QApplication::clipboard()->setText(QStringLiteral("99"));
    QTest::keyClick(dialog.Edit1, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(dialog.Edit1->text(), "16");
    QTest::keyClick(dialog.Edit1, Qt::Key_Home);
    QTest::keyClick(dialog.Edit1, Qt::Key_Delete);
    QTest::keyClicks(dialog.Edit1, "42");
    QTest::keyClick(dialog.Edit1, Qt::Key_End);
    QTest::keyClick(dialog.Edit1, Qt::Key_Backspace);
    EXPECT_EQ(dialog.Edit1->text(), "42");
    QTest::mouseClick(dialog.Button2, Qt::LeftButton);
    EXPECT_EQ(size, 84);
    EXPECT_TRUE(errors.isEmpty());
}

} // namespace
} // namespace vintrace::device
