// Large captures load in the background: the window keeps running and shows the progress,
// Escape or Cancel stops the load and keeps the capture on screen, and whatever would touch
// the store waits until the load has ended.

#include "app/CommandEvent.h"
#include "app/TDevicesForm.h"
#include "app/TMainForm.h"
#include "app/TTransfersForm.h"
#include "capture/PcapFile.h"
#include "display/TransferTreeModel.h"
#include "session/CaptureSession.h"
#include "support/CaptureBytes.h"
#include "support/MenuClicks.h"
#include "support/RecordingAnalyzer.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <utility>

namespace vintrace::app {
namespace {

std::string Data(const char* name) {
    return std::string(VINTRACE_TEST_DATA) + "/" + name;
}

/// The capture the tests load in the background, and what an ordinary load makes of it.
const std::string kLarge = Data("fs-badge.dat");

const session::CaptureSession& Ordinary() {
    static const session::CaptureSession session = [] {
        session::CaptureSession s;
        s.open(kLarge);
        return s;
    }();
    return session;
}

class BackgroundLoading : public ::testing::Test {
protected:
    void SetUp() override {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_.path());
        previous_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
        // The capture on screen before each load: one SOF.
        const std::vector<std::uint8_t> sof = test::Packet(0xA5, {0x01, 0x00});
        std::ofstream("usbdata.dat", std::ios::binary)
            .write(reinterpret_cast<const char*>(sof.data()),
                   static_cast<std::streamsize>(sof.size()));
        SharedCommand() = capture::CommandMessage{};
        ASSERT_GT(Ordinary().packets().size(), 100u);
    }
    void TearDown() override {
        form_.reset();
        QDir::setCurrent(previous_);
    }
    /// A window with usbdata.dat on screen, loaded at start-up as always; from then on every
    /// capture counts as large.
    TMainForm& open() {
        form_ = std::make_unique<TMainForm>(analyzer_);
        form_->Timer1->stop();
        form_->ShowMessage = [this](const QString&, const QString& text) { messages_ << text; };
        form_->show();
        form_->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(form_.get()));
        EXPECT_EQ(form_->PacketList.size(), 1u);
        form_->BackgroundLoadBytes = 1;
        messages_.clear();
        return *form_;
    }
    bool waitLoaded() {
        return QTest::qWaitFor([this] { return !form_->loading(); }, 30000);
    }
    void expectOnScreen(std::size_t records, const std::string& name) {
        EXPECT_EQ(form_->CaptureFileName, name);
        EXPECT_EQ(form_->PacketList.size(), records);
        EXPECT_EQ(form_->ListBox1->count(), static_cast<std::int64_t>(records));
        EXPECT_EQ(form_->ListBox2->count(), static_cast<std::int64_t>(records));
        EXPECT_TRUE(form_->ListBox1->isVisible());
        // The status label is back in place of the Cancel button.
        EXPECT_FALSE(form_->CancelLoad->isVisible());
        EXPECT_TRUE(form_->Label1->isVisible());
        EXPECT_FALSE(form_->ProgressBar1->isTextVisible());
        EXPECT_EQ(form_->ProgressBar1->value(), 0);
    }
    QStringList recentItems() const {
        QStringList items;
        for (const QAction* a : form_->Recent1->actions()) {
            items << a->text();
        }
        return items;
    }

    QTemporaryDir dir_;
    QTemporaryDir settingsDir_;
    QString previous_;
    test::RecordingAnalyzer analyzer_;
    std::unique_ptr<TMainForm> form_;
    QStringList messages_;
};

TEST_F(BackgroundLoading, TheWindowRunsOnAndTakesTheSameStoreAsAnOrdinaryLoad) {
    TMainForm& form = open();
    // Each position the bar shows, with the number of records on screen at the time.
    std::vector<std::pair<int, std::size_t>> shown;
    QObject::connect(form.ProgressBar1, &QProgressBar::valueChanged,
                     [&](int value) { shown.emplace_back(value, form.PacketList.size()); });
    bool ticked = false;
    bool tickedWhileLoading = false;
    QTimer::singleShot(0, [&] {
        ticked = true;
        tickedWhileLoading = form.loading();
    });

    form.OpenCaptureFile(kLarge);
    ASSERT_TRUE(form.loading());
    // Meanwhile the capture on screen stays, and the Cancel button stands in the label's place.
    EXPECT_EQ(form.PacketList.size(), 1u);
    EXPECT_EQ(form.ListBox1->count(), 1);
    EXPECT_TRUE(form.CancelLoad->isVisible());
    EXPECT_FALSE(form.Label1->isVisible());
    EXPECT_EQ(form.ProgressBar1->text(), "Loading 0%");

    ASSERT_TRUE(waitLoaded());
    EXPECT_TRUE(ticked);
    EXPECT_TRUE(tickedWhileLoading);
    // The bar reached its end while the old capture was still shown, then went back to 0.
    EXPECT_NE(std::find(shown.begin(), shown.end(), std::pair<int, std::size_t>(100, 1)),
              shown.end());
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back().first, 0);

    const session::CaptureSession& ordinary = Ordinary();
    expectOnScreen(ordinary.packets().size(), kLarge);
    for (std::size_t i = 0; i < ordinary.packets().size(); ++i) {
        ASSERT_EQ(form.PacketList[i], ordinary.packets()[i]) << "record " << i;
    }
    EXPECT_EQ(form.EndpointTable, ordinary.endpoints());
    EXPECT_EQ(recentItems(), QStringList{QString::fromStdString(kLarge)});
    EXPECT_TRUE(messages_.isEmpty()) << messages_.join(' ').toStdString();
}

TEST_F(BackgroundLoading, EscapeOrCancelKeepsTheCaptureOnScreen) {
    const struct {
        const char* way;
        std::function<void(TMainForm&)> stop;
    } ways[] = {
        {"Escape", [](TMainForm& f) { QTest::keyClick(&f, Qt::Key_Escape); }},
        {"Cancel button", [](TMainForm& f) { QTest::mouseClick(f.CancelLoad, Qt::LeftButton); }},
    };
    for (const auto& w : ways) {
        SCOPED_TRACE(w.way);
        TMainForm& form = open();
        const QStringList recent = recentItems();
        form.OpenCaptureFile(kLarge);
        ASSERT_TRUE(form.loading());
        w.stop(form);
        EXPECT_FALSE(form.loading());
        QTest::qWait(300); // long enough for a finished worker's result to land, were it taken
        expectOnScreen(1, "usbdata.dat");
        EXPECT_EQ(recentItems(), recent);
        EXPECT_TRUE(messages_.isEmpty()) << messages_.join(' ').toStdString();

        // Escape does nothing more once no load runs; the same file then loads in full.
        QTest::keyClick(&form, Qt::Key_Escape);
        form.OpenCaptureFile(kLarge);
        ASSERT_TRUE(waitLoaded());
        expectOnScreen(Ordinary().packets().size(), kLarge);
    }
}

TEST_F(BackgroundLoading, WhatWouldTouchTheStoreIsRefusedUntilTheLoadEnds) {
    TMainForm& form = open();
    bool asked = false;
    form.ChooseCaptureFile = [&]() -> std::optional<std::string> {
        asked = true;
        return std::nullopt;
    };
    form.ChooseSaveName = [&]() -> std::optional<std::string> {
        asked = true;
        return std::nullopt;
    };
    form.ChoosePcapToImport = form.ChooseCaptureFile;
    form.ChoosePcapToExport = form.ChooseCaptureFile;
    form.OpenCaptureFile(kLarge);
    ASSERT_TRUE(form.loading());

    const struct {
        const char* what;
        std::function<void()> attempt;
    } attempts[] = {
        {"Search", [&] { QTest::mouseClick(form.Button1, Qt::LeftButton); }},
        {"Start", [&] { QTest::mouseClick(form.Button3, Qt::LeftButton); }},
        {"File > Open", [&] { form.Open1->trigger(); }},
        {"Save As", [&] { form.SaveAs1->trigger(); }},
        {"Import pcap", [&] { form.ImportPcap1->trigger(); }},
        {"Export pcap", [&] { form.ExportPcap1->trigger(); }},
        {"Show All", [&] { form.ShowAll1->trigger(); }},
        {"Search from Top", [&] { form.SearchfromTop1->trigger(); }},
        {"another file", [&] { form.OpenCaptureFile(Data("ls-mouse.dat")); }},
        {"hide SOF from the hide dialog",
         [&] {
             SharedCommand().setCommand(capture::CMD_HIDE_SOF);
             SendCommand(&form);
         }},
    };
    for (const auto& a : attempts) {
        SCOPED_TRACE(a.what);
        messages_.clear();
        a.attempt();
        ASSERT_EQ(messages_.size(), 1);
        EXPECT_TRUE(messages_[0].contains("still loading")) << messages_[0].toStdString();
        EXPECT_TRUE(form.loading());
        EXPECT_EQ(form.PacketList.size(), 1u);
    }
    EXPECT_FALSE(asked);
    EXPECT_FALSE(form.Button4->isEnabled()); // no acquisition started
    EXPECT_TRUE(form.RadioButton1->isChecked());

    // The load went on undisturbed.
    ASSERT_TRUE(waitLoaded());
    expectOnScreen(Ordinary().packets().size(), kLarge);
}

// The Devices window opens during a load without a box: it says the capture is loading and
// fills once the load has ended.
TEST_F(BackgroundLoading, TheDevicesWindowOpensAndFillsWhenTheLoadEnds) {
    TMainForm& form = open();
    form.OpenCaptureFile(kLarge);
    ASSERT_TRUE(form.loading());
    ASSERT_TRUE(test::ChooseMenuItem(form.menuBar(), "View", "Devices..."));
    TDevicesForm* devices = form.devicesForm();
    ASSERT_NE(devices, nullptr);
    EXPECT_TRUE(messages_.isEmpty()) << messages_.join(' ').toStdString();
    EXPECT_TRUE(devices->isVisible());
    EXPECT_TRUE(devices->StateLabel->isVisible());
    EXPECT_TRUE(devices->StateLabel->text().startsWith("Loading fs-badge.dat"))
        << devices->StateLabel->text().toStdString();

    ASSERT_TRUE(waitLoaded());
    EXPECT_FALSE(devices->StateLabel->isVisible()) << devices->StateLabel->text().toStdString();
    EXPECT_EQ(devices->DeviceTree->model()->rowCount(), 2);
    EXPECT_EQ(devices->windowTitle(), "Devices \u2014 fs-badge.dat");
}

// So does the Transfers window, which builds nothing from the capture about to be replaced.
TEST_F(BackgroundLoading, TheTransfersWindowOpensAndFillsWhenTheLoadEnds) {
    TMainForm& form = open();
    form.OpenCaptureFile(kLarge);
    ASSERT_TRUE(form.loading());
    ASSERT_TRUE(test::ChooseMenuItem(form.menuBar(), "View", "Transfers..."));
    TTransfersForm* transfers = form.transfersForm();
    ASSERT_NE(transfers, nullptr);
    EXPECT_TRUE(messages_.isEmpty()) << messages_.join(' ').toStdString();
    EXPECT_TRUE(transfers->isVisible());
    EXPECT_TRUE(transfers->StateLabel->isVisible());
    EXPECT_TRUE(transfers->StateLabel->text().startsWith("Loading fs-badge.dat\u2026"))
        << transfers->StateLabel->text().toStdString();
    EXPECT_EQ(transfers->TransferTree->model()->rowCount(), 0);
    EXPECT_FALSE(form.Session.hasIndexes());

    ASSERT_TRUE(waitLoaded());
    QApplication::processEvents();
    EXPECT_FALSE(transfers->StateLabel->isVisible()) << transfers->StateLabel->text().toStdString();
    EXPECT_EQ(transfers->TransferTree->model()
                  ->index(1, display::TransferTreeModel::ItemColumn)
                  .data()
                  .toString(),
              "GET_DESCRIPTOR DEVICE; device 303A:1001");
    EXPECT_EQ(transfers->windowTitle(), "Transfers \u2014 fs-badge.dat");
}

TEST_F(BackgroundLoading, AReloadSentDuringALoadTakesItsPlace) {
    TMainForm& form = open();
    const auto reload = [&form] {
        SharedCommand().setCommand(capture::CMD_RELOAD); // as a finished download sends it
        SendCommand(&form);
    };
    form.OpenCaptureFile(kLarge);
    ASSERT_TRUE(form.loading());
    reload();
    EXPECT_TRUE(form.loading());
    EXPECT_TRUE(messages_.isEmpty()) << messages_.join(' ').toStdString();
    // Stopping the second load gives back the name from before the first.
    QTest::keyClick(&form, Qt::Key_Escape);
    QTest::qWait(300);
    expectOnScreen(1, "usbdata.dat");

    form.OpenCaptureFile(kLarge);
    reload();
    ASSERT_TRUE(waitLoaded());
    expectOnScreen(Ordinary().packets().size(), kLarge);
}

TEST_F(BackgroundLoading, ClosingTheWindowStopsTheLoad) {
    TMainForm& form = open();
    form.OpenCaptureFile(kLarge);
    ASSERT_TRUE(form.loading());
    QElapsedTimer timer;
    timer.start();
    form.Close1->trigger();
    EXPECT_LT(timer.elapsed(), session::kBackgroundStopWait.count());
    EXPECT_FALSE(form.loading());
    EXPECT_FALSE(form.isVisible());
    QTest::qWait(300);
    EXPECT_EQ(form.PacketList.size(), 0u); // freed on close, and nothing loaded after
    EXPECT_EQ(form.ListBox1->count(), 0);
}

TEST_F(BackgroundLoading, CapturesBelowTheThresholdStillLoadAtOnce) {
    const auto size = static_cast<std::uint64_t>(std::filesystem::file_size(kLarge));
    const struct {
        std::uint64_t threshold;
        bool background;
    } cases[] = {{size + 1, false}, {size, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.threshold);
        TMainForm& form = open();
        form.BackgroundLoadBytes = c.threshold;
        form.OpenCaptureFile(kLarge);
        EXPECT_EQ(form.loading(), c.background);
        if (!c.background) {
            expectOnScreen(Ordinary().packets().size(), kLarge);
        }
        ASSERT_TRUE(waitLoaded());
        expectOnScreen(Ordinary().packets().size(), kLarge);
    }
}

// A large capture hides on a worker: it stays on screen, and what would touch it is refused,
// until the rest is ready, which is what a hide at once leaves. Escape stops the hide and
// leaves the capture as it was.
TEST_F(BackgroundLoading, ALargeCaptureHidesOnAWorker) {
    session::CaptureSession atOnce;
    atOnce.open(kLarge);
    const std::size_t before = atOnce.packets().size();
    atOnce.hide(capture::HidePass::Sof());
    ASSERT_LT(atOnce.packets().size(), before);

    TMainForm& form = open();
    form.BackgroundLoadBytes = std::numeric_limits<std::uint64_t>::max();
    form.OpenCaptureFile(kLarge);
    form.BackgroundHideRecords = before;
    const auto hideSof = [&form] {
        SharedCommand().setCommand(capture::CMD_HIDE_SOF);
        SendCommand(&form);
    };
    hideSof();
    ASSERT_TRUE(form.loading());
    EXPECT_EQ(form.ProgressBar1->format(), QStringLiteral("Hiding %p%"));
    EXPECT_TRUE(form.CancelLoad->isVisible());
    QTest::keyClick(&form, Qt::Key_Escape);
    EXPECT_FALSE(form.loading());
    expectOnScreen(before, kLarge);

    hideSof();
    messages_.clear();
    QTest::mouseClick(form.Button1, Qt::LeftButton); // Search
    ASSERT_EQ(messages_.size(), 1);
    EXPECT_TRUE(messages_[0].contains("being hidden")) << messages_[0].toStdString();
    EXPECT_EQ(form.PacketList.size(), before);
    ASSERT_TRUE(waitLoaded());
    expectOnScreen(atOnce.packets().size(), kLarge);
    for (std::size_t i = 0; i < atOnce.packets().size(); ++i) {
        ASSERT_EQ(form.PacketList[i], atOnce.packets()[i]) << i;
    }
}

// Export pcap of a large capture runs on a worker: progress in the status bar, what would
// change the store refused meanwhile, and the file the same as an export at once.
TEST_F(BackgroundLoading, ALargeCaptureExportsOnAWorker) {
    session::CaptureSession atOnce;
    atOnce.open(kLarge);
    const std::string expected = dir_.filePath("expected.pcap").toStdString();
    ASSERT_TRUE(
        capture::ExportPcap(atOnce.packets(), expected, capture::UsbLinkType::FullSpeed, false)
            .ok());

    TMainForm& form = open();
    form.BackgroundLoadBytes = std::numeric_limits<std::uint64_t>::max();
    form.OpenCaptureFile(kLarge);
    form.BackgroundExportRecords = 1;
    const std::string target = dir_.filePath("exported.pcap").toStdString();
    form.ChoosePcapToExport = [&] { return std::optional(target); };
    ASSERT_TRUE(test::ChooseMenuItem(form.menuBar(), "File", "Export pcap..."));
    ASSERT_TRUE(form.loading());
    EXPECT_EQ(form.ProgressBar1->format(), QStringLiteral("Exporting %p%"));
    EXPECT_TRUE(form.CancelLoad->isVisible());
    messages_.clear();
    QTest::mouseClick(form.Button1, Qt::LeftButton); // Search
    ASSERT_EQ(messages_.size(), 1);
    EXPECT_TRUE(messages_[0].contains("being exported")) << messages_[0].toStdString();

    messages_.clear();
    ASSERT_TRUE(waitLoaded());
    expectOnScreen(atOnce.packets().size(), kLarge);
    std::ifstream a(expected, std::ios::binary);
    std::ifstream b(target, std::ios::binary);
    const std::string want((std::istreambuf_iterator<char>(a)), std::istreambuf_iterator<char>());
    const std::string got((std::istreambuf_iterator<char>(b)), std::istreambuf_iterator<char>());
    EXPECT_GT(want.size(), 24u);
    EXPECT_EQ(got, want);
    EXPECT_TRUE(messages_.isEmpty()) << messages_.join(' ').toStdString();
}

// Import pcap of a large pcap converts on a worker, then loads what it made.
TEST_F(BackgroundLoading, ALargePcapImportsOnAWorker) {
    session::CaptureSession atOnce;
    atOnce.open(kLarge);
    const std::string pcap = dir_.filePath("badge.pcap").toStdString();
    std::filesystem::copy_file(Data("fs-badge.pcap"), pcap);

    TMainForm& form = open();
    form.BackgroundImportBytes = 1;
    form.ChoosePcapToImport = [&] { return std::optional(pcap); };
    ASSERT_TRUE(test::ChooseMenuItem(form.menuBar(), "File", "Import pcap..."));
    ASSERT_TRUE(form.loading());
    EXPECT_EQ(form.ProgressBar1->format(), QStringLiteral("Importing %p%"));
    EXPECT_TRUE(form.CancelLoad->isVisible());
    EXPECT_EQ(form.PacketList.size(), 1u);
    QTest::mouseClick(form.Button1, Qt::LeftButton); // Search
    ASSERT_EQ(messages_.size(), 1);
    EXPECT_TRUE(messages_[0].contains("being imported")) << messages_[0].toStdString();

    messages_.clear();
    ASSERT_TRUE(waitLoaded());
    expectOnScreen(atOnce.packets().size(), dir_.filePath("badge.dat").toStdString());
    EXPECT_TRUE(messages_.isEmpty()) << messages_.join(' ').toStdString();
}

} // namespace
} // namespace vintrace::app
