// Every caption of every window and dialog can be read whole: each text fits the room its
// control gives it, measured with the control's own font and the style's own margins.

#include "app/TAboutForm.h"
#include "app/TDefineHide.h"
#include "app/TDefineSearch.h"
#include "app/TDefineTrigger.h"
#include "app/TMainForm.h"
#include "app/TSetFileSize.h"
#include "app/TUSBStatus.h"
#include "support/QtPrinters.h"
#include "support/RecordingAnalyzer.h"

#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <thread>

namespace vintrace {
namespace {

/// What a control shows as text, the size that text needs and the room the control draws it
/// in, in the control's own coordinates.
struct TextRoom {
    QString text;
    QSize needed;
    QRect room;
};

QStyleOptionButton ButtonOption(const QAbstractButton* b) {
    QStyleOptionButton opt;
    opt.initFrom(b);
    opt.text = b->text();
    opt.icon = b->icon();
    opt.iconSize = b->iconSize();
    return opt;
}

std::optional<TextRoom> RoomOf(const QWidget* w) {
    const QFontMetrics fm(w->font());
    if (const auto* label = qobject_cast<const QLabel*>(w)) {
        if (label->text().isEmpty() || !label->pixmap().isNull()) {
            return std::nullopt;
        }
        const QRect room = label->contentsRect().adjusted(label->margin(), label->margin(),
                                                          -label->margin(), -label->margin());
        const QSize needed =
            label->wordWrap()
                ? fm.boundingRect(QRect(0, 0, room.width(), INT_MAX),
                                  Qt::TextWordWrap | label->alignment(), label->text())
                      .size()
                : fm.size(0, label->text());
        return TextRoom{label->text(), needed, room};
    }
    if (const auto* button = qobject_cast<const QPushButton*>(w)) {
        const QStyleOptionButton opt = ButtonOption(button);
        return TextRoom{
            button->text(), fm.size(Qt::TextShowMnemonic, button->text()),
            button->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, button)};
    }
    const auto element = qobject_cast<const QCheckBox*>(w)      ? QStyle::SE_CheckBoxContents
                         : qobject_cast<const QRadioButton*>(w) ? QStyle::SE_RadioButtonContents
                                                                : QStyle::SE_CustomBase;
    if (element != QStyle::SE_CustomBase) {
        const auto* button = static_cast<const QAbstractButton*>(w);
        if (button->text().isEmpty()) {
            return std::nullopt;
        }
        const QStyleOptionButton opt = ButtonOption(button);
        return TextRoom{button->text(), fm.size(Qt::TextShowMnemonic, button->text()),
                        button->style()->subElementRect(element, &opt, button)};
    }
    if (const auto* box = qobject_cast<const QGroupBox*>(w)) {
        QStyleOptionGroupBox opt;
        opt.initFrom(box);
        opt.text = box->title();
        opt.textAlignment = box->alignment();
        opt.lineWidth = 1;
        opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        const QRect label =
            box->style()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, box);
        // The style sizes the caption's rectangle to the text; it has room when the box holds it.
        return TextRoom{box->title(), fm.size(Qt::TextShowMnemonic, box->title()),
                        label.intersected(box->rect())};
    }
    return std::nullopt;
}

/// Every text shown in `window` that its control (or the control's parent) cuts off.
std::vector<std::string> Misfits(const QWidget* window) {
    std::vector<std::string> out;
    for (const QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window)) {
            continue;
        }
        const std::optional<TextRoom> r = RoomOf(w);
        if (!r) {
            continue;
        }
        // Only what the parent shows of the control counts.
        const QRect shown = r->room.intersected(w->parentWidget()->rect().translated(-w->pos()));
        if (r->needed.width() > shown.width() || r->needed.height() > shown.height()) {
            out.push_back(w->objectName().toStdString() + " \"" + r->text.toStdString() +
                          "\" needs " + std::to_string(r->needed.width()) + "x" +
                          std::to_string(r->needed.height()) + ", has " +
                          std::to_string(shown.width()) + "x" + std::to_string(shown.height()));
        }
    }
    return out;
}

#define EXPECT_ALL_TEXT_FITS(window) EXPECT_EQ(Misfits(window), std::vector<std::string>{})

capture::EndpointTable SomeAddresses() {
    capture::EndpointTable table(2);
    table[0].address = 0x7F;
    table[0].endpoints = {0xF, 1};
    table[0].endpointCount = 2;
    table[1].address = 0x1A;
    table[1].endpoints = {0};
    table[1].endpointCount = 1;
    return table;
}

TEST(TextFit, DefineHide) {
    const capture::EndpointTable table = SomeAddresses();
    app::TDefineHide dialog;
    dialog.FillAddresses(table);
    dialog.show();
    EXPECT_ALL_TEXT_FITS(&dialog);
}

TEST(TextFit, DefineSearch) {
    search::SearchCriteria criteria;
    const capture::EndpointTable table = SomeAddresses();
    app::TDefineSearch dialog(criteria, table);
    dialog.Load();
    dialog.show();
    EXPECT_ALL_TEXT_FITS(&dialog);
}

TEST(TextFit, CaptureSizeAndAbout) {
    std::int32_t size = 131071;
    app::TSetFileSize capture(size);
    capture.show();
    EXPECT_ALL_TEXT_FITS(&capture);
    app::TAboutForm about;
    about.show();
    EXPECT_ALL_TEXT_FITS(&about);
}

TEST(TextFit, DefineTriggerWithEveryAnswer) {
    for (const bool attached : {false, true}) {
        SCOPED_TRACE(attached ? "analyzer attached" : "no analyzer");
        test::RecordingAnalyzer analyzer;
        analyzer.attached = attached;
        app::TDefineTrigger dialog(analyzer);
        dialog.show();
        EXPECT_ALL_TEXT_FITS(&dialog);
        for (QRadioButton* b : dialog.findChildren<QRadioButton*>()) {
            QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(6, b->height() / 2));
            ASSERT_TRUE(b->isChecked()) << b->objectName().toStdString();
            EXPECT_ALL_TEXT_FITS(&dialog);
        }
    }
}

TEST(TextFit, UsbStatusWithEveryAnswer) {
    std::array<std::uint8_t, 13> longest{};
    std::memcpy(longest.data(), "WWWWWWWWWWWWW", 13);
    const struct {
        bool attached;
        std::uint8_t speed;
    } cases[] = {{false, 0}, {true, 0}, {true, 1}};
    for (const auto& c : cases) {
        test::RecordingAnalyzer analyzer;
        analyzer.attached = c.attached;
        analyzer.portSpeed = c.speed;
        analyzer.firmware = longest;
        app::TUSBStatus dialog;
        dialog.ReadStatus(analyzer);
        dialog.show();
        SCOPED_TRACE(dialog.Label2->text().toStdString());
        EXPECT_ALL_TEXT_FITS(&dialog);
    }
}

/// The main window, and its status label through every message an acquisition can give:
/// each fits and stays clear of the lamps and of the progress bar.
class TextFitMainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
        form_ = std::make_unique<app::TMainForm>(analyzer_);
        form_->Timer1->stop(); // ticked by hand
        form_->show();
    }
    void TearDown() override {
        form_.reset();
        QDir::setCurrent(previous_);
    }
    void expectReadable() {
        SCOPED_TRACE(form_->Label1->text().toStdString());
        EXPECT_ALL_TEXT_FITS(form_.get());
        const QRect label = form_->Label1->geometry();
        const QWidget* neighbours[] = {form_->Image1, form_->Image2, form_->Image3, form_->Image4,
                                       form_->ProgressBar1};
        for (const QWidget* other : neighbours) {
            EXPECT_FALSE(label.intersects(other->geometry())) << other->objectName().toStdString();
        }
    }
    void click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }
    void tick() { form_->Timer1Timer(); }
    /// Lets the download thread end, then runs the tick that takes its outcome.
    void finishDownload() {
        for (int i = 0; i < 500 && form_->acquisition().state() != device::ACQ_DOWNLOADED; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(form_->acquisition().state(), device::ACQ_DOWNLOADED);
        tick();
    }

    test::RecordingAnalyzer analyzer_;
    std::unique_ptr<app::TMainForm> form_;
    QTemporaryDir dir_;

private:
    QString previous_;
};

TEST_F(TextFitMainWindow, NoAnalyzer) {
    expectReadable();
    click(form_->Button3);
    EXPECT_EQ(form_->Label1->text(), "Armed");
    expectReadable();
    tick();
    EXPECT_EQ(form_->Label1->text(), "Read Failed");
    expectReadable();
}

TEST_F(TextFitMainWindow, AcquisitionThatBringsNothing) {
    analyzer_.attached = true;
    click(form_->Button3);
    const char* expected[] = {"Waiting for Trigger", "Triggered", "Wait For FIFO Full"};
    for (const char* text : expected) {
        tick();
        EXPECT_EQ(form_->Label1->text(), text);
        expectReadable();
        analyzer_.triggerStatus = 1;
    }
    click(form_->Button4);
    EXPECT_EQ(form_->Label1->text(), "Stopped");
    expectReadable();
    analyzer_.fifoFull = 1;
    tick();
    EXPECT_EQ(form_->Label1->text(), "Downloading");
    expectReadable();
    finishDownload();
    EXPECT_TRUE(form_->Label1->text().startsWith("Nothing")) << form_->Label1->text().toStdString();
    // No capture was on screen before, so none is said to be kept.
    EXPECT_EQ(form_->Label1->toolTip(), "Nothing was downloaded");
    expectReadable();
}

TEST_F(TextFitMainWindow, CaptureFileThatCannotBeWritten) {
    analyzer_.attached = true;
    analyzer_.triggerStatus = 1;
    analyzer_.fifoFull = 1;
    analyzer_.recording.assign(64, 0x5A);
    // The capture's folder goes away once Start has named the file: nothing can be written.
    ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("captures")));
    QDir::setCurrent(dir_.filePath(QStringLiteral("captures")));
    click(form_->Button3);
    ASSERT_TRUE(QDir(dir_.path()).rename(QStringLiteral("captures"), QStringLiteral("moved")));
    tick();
    tick();
    ASSERT_EQ(form_->Label1->text(), "Downloading");
    finishDownload();
    EXPECT_TRUE(form_->Label1->text().startsWith("Cannot write"))
        << form_->Label1->text().toStdString();
    EXPECT_TRUE(form_->Label1->toolTip().startsWith("Cannot write usbdata.dat ("));
    expectReadable();
    // A status that says it all has no tooltip.
    click(form_->Button3);
    EXPECT_EQ(form_->Label1->text(), "Armed");
    EXPECT_EQ(form_->Label1->toolTip(), "");
}

TEST_F(TextFitMainWindow, BusyAnalyzerAndDownloadCutShort) {
    analyzer_.attached = true;
    analyzer_.locksHeld = 1; // another acquisition holds the analyzer
    click(form_->Button3);
    EXPECT_EQ(form_->Label1->toolTip(), "another acquisition is using this analyzer");
    expectReadable();

    analyzer_.locksHeld = 0;
    analyzer_.triggerStatus = 1;
    analyzer_.fifoFull = 1;
    analyzer_.recording.assign(8192, 0x5A);
    analyzer_.failTransferAfter = 1;
    click(form_->Button3);
    tick();
    tick();
    ASSERT_EQ(form_->Label1->text(), "Downloading");
    finishDownload();
    EXPECT_TRUE(form_->Label1->toolTip().startsWith("Download incomplete: "))
        << form_->Label1->toolTip().toStdString();
    expectReadable();
}

TEST_F(TextFitMainWindow, WhileACaptureLoads) {
    form_->BackgroundLoadBytes = 1;
    form_->OpenCaptureFile(std::string(VINTRACE_TEST_DATA) + "/fs-badge.dat");
    ASSERT_TRUE(form_->loading());
    ASSERT_TRUE(form_->CancelLoad->isVisible());
    EXPECT_ALL_TEXT_FITS(form_.get());
    const QRect cancel = form_->CancelLoad->geometry();
    const QWidget* neighbours[] = {form_->Image1,   form_->Image2,       form_->Image3,
                                   form_->Image4,   form_->ProgressBar1, form_->ListBox1,
                                   form_->GroupBox1};
    for (const QWidget* other : neighbours) {
        EXPECT_FALSE(cancel.intersects(other->geometry())) << other->objectName().toStdString();
    }
    click(form_->CancelLoad);
    EXPECT_FALSE(form_->loading());
    expectReadable();
}

} // namespace
} // namespace vintrace
