#include "app/TAboutForm.h"
#include "app/TMainForm.h"
#include "app/VintraceApplication.h"
#include "capture/CaptureLoader.h"
#include "capture/PcapFile.h"
#include "support/CaptureBytes.h"
#include "support/MenuClicks.h"
#include "support/QtPrinters.h"
#include "support/RecordingAnalyzer.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

namespace vintrace::app {
namespace {

using test::Append;
using test::Packet;

/// Runs each test in an empty working directory, where the window looks for "usbdata.dat".
class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        previous_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
    }
    void TearDown() override { QDir::setCurrent(previous_); }

    void writeCapture(const std::vector<std::uint8_t>& bytes) {
        std::ofstream out(dir_.filePath("usbdata.dat").toStdString(), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }

    std::unique_ptr<TMainForm> open() { return std::make_unique<TMainForm>(analyzer_); }

    test::RecordingAnalyzer analyzer_;

private:
    QTemporaryDir dir_;
    QString previous_;
};

TEST_F(MainWindow, StartsWithoutCaptureInItsDefaultState) {
    auto form = open();
    EXPECT_EQ(form->windowTitle(), "Vintrace");
    EXPECT_EQ(form->CaptureFileName, "usbdata.dat");
    EXPECT_EQ(form->ListBox1->count(), 0);
    EXPECT_EQ(form->ListBox2->count(), 0);
    EXPECT_TRUE(form->EndpointTable.empty());
    EXPECT_TRUE(form->Button3->isEnabled());
    EXPECT_FALSE(form->Button4->isEnabled());
    EXPECT_TRUE(form->RadioButton1->isChecked());
    EXPECT_FALSE(form->RadioButton2->isChecked());
    EXPECT_TRUE(form->Label1->text().isEmpty());
    EXPECT_EQ(form->ProgressBar1->minimum(), 0);
    EXPECT_EQ(form->ProgressBar1->maximum(), 100);
    EXPECT_EQ(form->Timer1->interval(), 500);
    EXPECT_TRUE(form->Timer1->isActive());
    // The trigger "on arm" goes out first, and nothing else is sent at creation.
    EXPECT_EQ(analyzer_.calls(), std::vector<std::string>{"SetTrigger 15"});
}

TEST_F(MainWindow, RedLampIsInViewAtStart) {
    auto form = open();
    form->show();
    EXPECT_FALSE(form->Image1->isHidden());
    EXPECT_FALSE(form->Image2->isHidden());
    EXPECT_FALSE(form->Image3->isHidden());
    EXPECT_TRUE(form->Image4->isHidden());
    // The red lamp is the topmost of the visible ones at their common spot.
    QWidget* client = form->centralWidget();
    EXPECT_EQ(client->childAt(form->Image3->geometry().center()), form->Image3);
}

TEST_F(MainWindow, MenusHaveTheirItemsAndCheckMarks) {
    auto form = open();
    const struct {
        const char* menu;
        std::vector<std::pair<const char*, const char*>> items;
    } expected[] = {
        {"File",
         {{"Open1", "Open"},
          {"SaveAs1", "Save As"},
          {"Close1", "Close"},
          {"", ""},
          {"Recent1", "Recent"},
          {"", ""},
          {"ImportPcap1", "Import pcap..."},
          {"ExportPcap1", "Export pcap..."}}},
        {"Setup",
         {{"FullSpeed1", "Full Speed"},
          {"LowSpeed1", "Low Speed"},
          {"", ""}, // separator
          {"SetCaptureLength1", "Capture Size..."}}},
        {"Trigger",
         {{"DefineTrigger1", "Define Trigger"},
          {"ArmTrigger1", "Start Acquire"},
          {"StopAcquire1", "Stop Acquire"}}},
        {"Display", {{"ShowAll1", "Show All"}, {"HideDefine1", "Define Hide"}}},
        {"Search",
         {{"DefineSearch1", "Define Search"},
          {"SearchNext1", "Search from Cursor"},
          {"SearchfromTop1", "Search from Top"}}},
        {"View",
         {{"NoWrap1", "No Wrap"},
          {"Wrap16", "Wrap at 16"},
          {"Wrap32", "Wrap at 32"},
          {"", ""},
          {"Transfers1", "Transfers..."},
          {"Devices1", "Devices..."},
          {"Problems1", "Problems..."},
          {"NextProblem1", "Next Problem"},
          {"PreviousProblem1", "Previous Problem"}}},
        {"About", {{"Status1", "Status"}, {"About2", "About"}}},
    };
    const QList<QAction*> menus = form->menuBar()->actions();
    ASSERT_EQ(menus.size(), static_cast<qsizetype>(std::size(expected)));
    for (std::size_t m = 0; m < std::size(expected); ++m) {
        EXPECT_EQ(menus[m]->text(), expected[m].menu);
        const QList<QAction*> items = menus[m]->menu()->actions();
        ASSERT_EQ(items.size(), static_cast<qsizetype>(expected[m].items.size()));
        for (std::size_t i = 0; i < expected[m].items.size(); ++i) {
            EXPECT_EQ(items[i]->objectName(), expected[m].items[i].first);
            EXPECT_EQ(items[i]->text(), expected[m].items[i].second);
        }
    }
    EXPECT_TRUE(form->FullSpeed1->isChecked());
    EXPECT_FALSE(form->LowSpeed1->isChecked());
    EXPECT_TRUE(form->NoWrap1->isChecked());
    EXPECT_FALSE(form->Wrap16->isChecked());
    EXPECT_FALSE(form->Wrap32->isChecked());
}

// The keyboard walks the File menu as its first three items stand: Open, Save As, Close, with
// nothing between them.
TEST_F(MainWindow, FileMenuOpensWithOpenSaveAsCloseTogether) {
    auto form = open();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    QMenu* menu = test::OpenMenu(form->menuBar(), "File");
    ASSERT_NE(menu, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
    QStringList walked;
    for (int i = 0; i < 3; ++i) {
        QTest::keyClick(menu, Qt::Key_Down);
        walked << (menu->activeAction() != nullptr ? menu->activeAction()->text() : QString());
    }
    EXPECT_EQ(walked, QStringList({"Open", "Save As", "Close"}));
    QTest::keyClick(menu, Qt::Key_Escape);
}

// The window holds the wrap mode and the search origin; the check marks and radio buttons
// show what it holds, whichever control changed it.
TEST_F(MainWindow, WrapModeAndSearchOriginAreWindowStateTheControlsShow) {
    auto form = open();
    form->show();
    const struct {
        const char* step;
        std::function<void()> act;
        display::WrapMode wrap;
        bool fromStart;
    } steps[] = {
        {"Wrap at 32", [&] { form->Wrap32->trigger(); }, display::WrapMode::Wrap32, true},
        {"From Cursor", [&] { QTest::mouseClick(form->RadioButton2, Qt::LeftButton); },
         display::WrapMode::Wrap32, false},
        {"Wrap at 16", [&] { form->Wrap16->trigger(); }, display::WrapMode::Wrap16, false},
        {"From Start", [&] { QTest::mouseClick(form->RadioButton1, Qt::LeftButton); },
         display::WrapMode::Wrap16, true},
        {"Search from Cursor", [&] { form->SearchNext1->trigger(); }, display::WrapMode::Wrap16,
         false},
        {"No Wrap", [&] { form->NoWrap1->trigger(); }, display::WrapMode::NoWrap, false},
        // A search, once run, goes on from the cursor.
        {"Search from Top", [&] { form->SearchfromTop1->trigger(); }, display::WrapMode::NoWrap,
         false},
    };
    form->ShowMessage = [](const QString&, const QString&) {};
    for (const auto& s : steps) {
        s.act();
        EXPECT_EQ(form->wrapMode(), s.wrap) << s.step;
        EXPECT_EQ(form->NoWrap1->isChecked(), s.wrap == display::WrapMode::NoWrap) << s.step;
        EXPECT_EQ(form->Wrap16->isChecked(), s.wrap == display::WrapMode::Wrap16) << s.step;
        EXPECT_EQ(form->Wrap32->isChecked(), s.wrap == display::WrapMode::Wrap32) << s.step;
        EXPECT_EQ(form->searchFromStart(), s.fromStart) << s.step;
        EXPECT_EQ(form->RadioButton1->isChecked(), s.fromStart) << s.step;
        EXPECT_EQ(form->RadioButton2->isChecked(), !s.fromStart) << s.step;
    }
}

TEST_F(MainWindow, StartAndStopAcquireItemsDoNothing) {
    auto form = open();
    analyzer_.clearCalls();
    form->ArmTrigger1->trigger();
    form->StopAcquire1->trigger();
    EXPECT_TRUE(analyzer_.calls().empty());
    EXPECT_TRUE(form->Button3->isEnabled());
    EXPECT_FALSE(form->Button4->isEnabled());
    EXPECT_TRUE(form->Label1->text().isEmpty());
}

TEST_F(MainWindow, ControlsStandWhereTheLayoutPutsThem) {
    auto form = open();
    form->show();
    const struct {
        QWidget* widget;
        QRect geometry;
        QString caption;
    } controls[] = {
        {form->ListBox1, {0, 0, 389, 370}, {}},
        {form->ProgressBar1, {8, 382, 268, 16}, {}},
        {form->Image1, {365, 374, 25, 30}, {}},
        {form->Image2, {366, 374, 25, 30}, {}},
        {form->Image3, {365, 373, 25, 30}, {}},
        {form->Image4, {365, 373, 25, 30}, {}},
        {form->GroupBox2, {405, 0, 217, 105}, "Acquisition Control"},
        {form->Button3, {16, 24, 177, 25}, "Start"},
        {form->Button4, {16, 64, 177, 25}, "Stop"},
        {form->GroupBox1, {405, 120, 217, 281}, "Data Navigation"},
        {form->Button2, {40, 24, 153, 25}, "Define Search"},
        {form->Button1, {40, 56, 153, 25}, "Search"},
        {form->RadioButton1, {16, 96, 81, 17}, "From Start"},
        {form->RadioButton2, {112, 96, 81, 17}, "From Cursor"},
        {form->Label2, {16, 128, 44, 32}, "Shrink View"},
        {form->ListBox2, {72, 128, 129, 142}, {}},
    };
    for (const auto& c : controls) {
        SCOPED_TRACE(c.widget->objectName().toStdString());
        EXPECT_EQ(c.widget->geometry(), c.geometry);
        if (!c.caption.isEmpty()) {
            QString text;
            if (auto* b = qobject_cast<QAbstractButton*>(c.widget)) {
                text = b->text();
            } else if (auto* g = qobject_cast<QGroupBox*>(c.widget)) {
                text = g->title();
            } else if (auto* l = qobject_cast<QLabel*>(c.widget)) {
                text = l->text();
            }
            EXPECT_EQ(text, c.caption);
        }
    }
    EXPECT_EQ(form->centralWidget()->size(),
              QSize(TMainForm::kClientWidth, TMainForm::kClientHeight));
}

TEST_F(MainWindow, ResizingFollowsTheAnchors) {
    auto form = open();
    form->show();
    form->resize(form->width() + 100, form->height() + 50);
    EXPECT_EQ(form->ListBox1->geometry(), QRect(0, 0, 489, 420));
    EXPECT_EQ(form->ProgressBar1->geometry(), QRect(8, 432, 368, 16));
    EXPECT_EQ(form->Image3->geometry(), QRect(465, 423, 25, 30));
    EXPECT_EQ(form->GroupBox2->geometry(), QRect(505, 0, 217, 105));
    EXPECT_EQ(form->GroupBox1->geometry(), QRect(505, 120, 217, 331));
    EXPECT_EQ(form->ListBox2->geometry(), QRect(72, 128, 129, 192));
    EXPECT_EQ(form->Button2->geometry(), QRect(40, 24, 153, 25));
}

TEST_F(MainWindow, LoadsUsbdataDatIntoBothLists) {
    std::vector<std::uint8_t> file = Packet(0xA5, {0x12, 0x34});
    Append(file, Packet(0x69, {0x85, 0x00}));
    Append(file, Packet(0x4B, {1, 2, 3, 0xAA, 0xBB}));
    Append(file, Packet(0xD2));
    Append(file, Packet(0xE1, {0x03, 0x01}));
    writeCapture(file);
    auto form = open();
    ASSERT_EQ(form->PacketList.size(), 5u);
    EXPECT_EQ(form->ListBox1->count(), 5);
    EXPECT_EQ(form->ListBox2->count(), 5);
    EXPECT_TRUE(form->ListBox1->isVisibleTo(form.get()));
    ASSERT_EQ(form->EndpointTable.size(), 2u);
    EXPECT_EQ(form->EndpointTable[0].address, 5);
    EXPECT_EQ(form->EndpointTable[1].address, 3);
}

TEST_F(MainWindow, CloseFreesTheCaptureAndClosesTheWindow) {
    writeCapture(Packet(0xD2));
    auto form = open();
    form->show();
    ASSERT_EQ(form->PacketList.size(), 1u);
    form->Close1->trigger();
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(form->PacketList.empty());
    EXPECT_TRUE(form->EndpointTable.empty());
    EXPECT_EQ(form->ListBox1->count(), 0);
}

// "Nothing received" and "Incomplete" speak of the last download: they go once the user opens
// or imports another capture, and the tooltip claims a kept capture only while one is there.
TEST_F(MainWindow, DownloadStatusGoesWhenAnotherCaptureIsOpened) {
    const QDir dir = QDir::current();
    const std::string other = dir.filePath("other.dat").toStdString();
    const std::string pcap = dir.filePath("imported.pcap").toStdString();
    {
        std::ofstream(other, std::ios::binary).write("\x01\x69\x00\x85\x00\x00", 6);
        capture::PacketList packets;
        capture::EndpointTable table;
        ASSERT_TRUE(capture::LoadCaptureFile(other, packets, table).ok());
        ASSERT_TRUE(capture::ExportPcap(packets, pcap, capture::UsbLinkType::FullSpeed, true).ok());
    }
    const struct {
        const char* name;
        bool previous; // a capture on screen before Start
        std::size_t recorded;
        int failTransferAfter;
        const char* label;
        const char* tip;
        const char* replaceWith; // the File menu item that opens another capture
    } cases[] = {
        {"NothingPreviousKept", true, 0, -1, "Nothing received",
         "Nothing was downloaded; the previous capture is kept", "Open"},
        {"NothingNoCaptureToKeep", false, 0, -1, "Nothing received", "Nothing was downloaded",
         "Import pcap..."},
        {"Incomplete", true, 3000, 1, "Incomplete", "Download incomplete: 2048 bytes", "Open"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(dir.filePath("usbdata.dat"));
        QFile::remove(dir.filePath("usbdata-incomplete.dat"));
        QFile::remove(dir.filePath("imported.dat"));
        if (c.previous) {
            writeCapture(Packet(0xD2));
        }
        analyzer_.attached = true;
        analyzer_.triggerStatus = 1;
        analyzer_.fifoFull = 1;
        analyzer_.recording.assign(c.recorded, 0x5A);
        analyzer_.failTransferAfter = c.failTransferAfter;
        auto form = open();
        form->Timer1->stop(); // ticked by hand below
        QStringList messages;
        form->ShowMessage = [&](const QString&, const QString& text) { messages << text; };
        form->ChooseCaptureFile = [&] { return std::optional(other); };
        form->ChoosePcapToImport = [&] { return std::optional(pcap); };
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));

        QTest::mouseClick(form->Button3, Qt::LeftButton);
        form->Timer1Timer(); // Triggered
        form->Timer1Timer(); // memory full: the download starts
        for (int i = 0; i < 500 && form->acquisition().state() != device::ACQ_DOWNLOADED; ++i) {
            QTest::qWait(10);
        }
        form->Timer1Timer(); // the download is taken in
        EXPECT_EQ(form->Label1->text(), c.label);
        EXPECT_EQ(form->Label1->toolTip(), c.tip);

        ASSERT_TRUE(test::ChooseMenuItem(form->menuBar(), "File", c.replaceWith));
        EXPECT_EQ(form->PacketList.size(), 1u);
        EXPECT_EQ(form->Label1->text(), "");
        EXPECT_EQ(form->Label1->toolTip(), "");
        EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
    }
}

TEST_F(MainWindow, AboutBoxIsAFreshInstanceEachTime) {
    auto form = open();
    std::vector<QPointer<TAboutForm>> seen;
    for (int i = 0; i < 2; ++i) {
        QTimer::singleShot(0, [&] {
            auto* about = qobject_cast<TAboutForm*>(QApplication::activeModalWidget());
            ASSERT_NE(about, nullptr);
            EXPECT_EQ(about->windowTitle(), "AboutForm");
            EXPECT_EQ(about->CloseDialog->text(), "Close");
            EXPECT_TRUE(about->Label1->text().startsWith("Vintrace version 1.0\n"));
            EXPECT_EQ(about->Label1->text().count('\n'), 3);
            seen.emplace_back(about);
            about->CloseDialog->click();
        });
        form->About2->trigger();
    }
    ASSERT_EQ(seen.size(), 2u);
    // Each box is gone once closed.
    EXPECT_TRUE(seen[0].isNull());
    EXPECT_TRUE(seen[1].isNull());
}

class Thrower : public QObject {
protected:
    bool event(QEvent*) override { throw std::runtime_error("handler failed"); }
};

TEST(Application, ExceptionFromAHandlerIsReportedAndTheProgramGoesOn) {
    auto* app = qobject_cast<VintraceApplication*>(QCoreApplication::instance());
    ASSERT_NE(app, nullptr);
    QStringList reported;
    app->setExceptionReporter([&](const QString& m) { reported << m; });
    Thrower thrower;
    QEvent event(QEvent::User);
    EXPECT_FALSE(QCoreApplication::sendEvent(&thrower, &event));
    EXPECT_EQ(reported, QStringList{"handler failed"});
    // The event loop still runs.
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    QCoreApplication::processEvents();
    EXPECT_TRUE(ran);
    app->setExceptionReporter(&VintraceApplication::ShowException);
}

// Start-up runs inside the handler: whatever escapes it is reported, and the program ends
// with 0.
TEST(Application, AnythingThrownAtStartUpIsReported) {
    struct NotAnException {};
    const struct {
        const char* name;
        std::function<void()> program;
        QStringList reported;
    } cases[] = {
        {"a standard exception", [] { throw std::runtime_error("no display"); }, {"no display"}},
        {"an integer", [] { throw 42; }, {"Unknown exception"}},
        {"another type", [] { throw NotAnException{}; }, {"Unknown exception"}},
        {"nothing", [] {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList reported;
        EXPECT_EQ(RunReportingExceptions(c.program, [&](const QString& m) { reported << m; }), 0);
        EXPECT_EQ(reported, c.reported);
    }
}

} // namespace
} // namespace vintrace::app
