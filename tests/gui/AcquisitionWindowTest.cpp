// The acquisition as a user drives it: Start, the status timer tick by tick, Stop, against the
// analyzer emulator process (or none at all).
#include "app/TMainForm.h"
#include "device/DriverAnalyzer.h"
#include "platform/ShimSettings.h"
#include "support/EmulatorProcess.h"
#include "support/FileContents.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"

#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

namespace vintrace::app {
namespace {

class Acquire : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetDeviceRoot(devices_.path().string());
        previous_ = QDir::currentPath();
        QDir::setCurrent(QString::fromStdString(work_.path().string()));
    }
    void TearDown() override {
        form_.reset();
        emulator_.reset();
        QDir::setCurrent(previous_);
        platform::SetDeviceRoot("");
    }

    void startEmulator(std::vector<std::string> args) {
        emulator_ =
            std::make_unique<test::EmulatorProcess>(devices_.path().string(), std::move(args));
        ASSERT_TRUE(emulator_->ready());
    }
    void open() {
        form_ = std::make_unique<TMainForm>(analyzer_);
        form_->Timer1->stop(); // the test ticks by hand
        form_->ShowMessage = [this](const QString&, const QString& text) { messages_ << text; };
        form_->show();
    }
    QString tick() {
        form_->Timer1Timer();
        return form_->Label1->text();
    }
    /// Ticks every 20 ms until the label reads `text`; false after 10 s.
    bool tickUntil(const QString& text) {
        for (int i = 0; i < 500; ++i) {
            if (tick() == text) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    /// Waits for the download thread, then runs the tick that reloads.
    bool finishDownload() {
        for (int i = 0; i < 1000 && form_->acquisition().state() != device::ACQ_DOWNLOADED; ++i) {
            EXPECT_FALSE(form_->Button3->isEnabled()); // no second download meanwhile
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (form_->acquisition().state() != device::ACQ_DOWNLOADED) {
            return false;
        }
        tick();
        return true;
    }
    QLabel* lampInView() const {
        QLabel* shown = nullptr;
        for (QLabel* lamp : {form_->Image1, form_->Image2, form_->Image3, form_->Image4}) {
            if (!lamp->isHidden()) {
                EXPECT_EQ(shown, nullptr) << "two lamps in view";
                shown = lamp;
            }
        }
        return shown;
    }
    std::string target() const { return work_ / "usbdata.dat"; }

    test::TempDir devices_;
    test::TempDir work_;
    std::unique_ptr<test::EmulatorProcess> emulator_;
    device::DriverAnalyzer analyzer_;
    std::unique_ptr<TMainForm> form_;
    QStringList messages_;

private:
    QString previous_;
};

TEST_F(Acquire, WithoutAnAnalyzerTheLampBlinksRedAndStartReadsFailed) {
    open();
    tick();
    EXPECT_EQ(lampInView(), form_->Image3);
    tick();
    EXPECT_EQ(lampInView(), form_->Image1);
    tick();
    EXPECT_EQ(lampInView(), form_->Image3);
    form_->Button3->click();
    EXPECT_EQ(form_->Label1->text(), "Armed");
    EXPECT_FALSE(form_->Button3->isEnabled());
    EXPECT_TRUE(form_->Button4->isEnabled());
    EXPECT_EQ(tick(), "Read Failed");
    EXPECT_EQ(tick(), "Read Failed");
    EXPECT_EQ(lampInView(), form_->Image3); // the lamp is left alone while armed
}

TEST_F(Acquire, LampShowsThePortSpeed) {
    startEmulator({"--port-speed", "full"});
    open();
    tick();
    EXPECT_EQ(lampInView(), form_->Image4);
    tick();
    EXPECT_EQ(lampInView(), form_->Image1);
    emulator_.reset();
    startEmulator({"--port-speed", "high"});
    tick();
    EXPECT_EQ(lampInView(), form_->Image2);
    tick();
    EXPECT_EQ(lampInView(), form_->Image2); // green stays lit
}

TEST_F(Acquire, AWholeAcquisitionEndsWithTheNewCaptureOnScreen) {
    startEmulator({"--memory", "20000", "--fill-seconds", "0.4"});
    open();
    ASSERT_EQ(form_->PacketList.size(), 0u);
    form_->Button3->click();
    EXPECT_EQ(form_->Label1->text(), "Armed");
    EXPECT_EQ(tick(), "Triggered"); // trigger on arm, sent at start-up
    EXPECT_EQ(form_->ProgressBar1->maximum(), 255);
    EXPECT_EQ(tick(), "Wait For FIFO Full");
    ASSERT_TRUE(tickUntil("Downloading"));
    EXPECT_EQ(form_->ProgressBar1->maximum(), form_->CaptureSize);
    EXPECT_FALSE(form_->Button4->isEnabled());
    ASSERT_TRUE(finishDownload());
    EXPECT_EQ(form_->Label1->text(), "");
    EXPECT_EQ(form_->ProgressBar1->value(), 0);
    EXPECT_TRUE(form_->Button3->isEnabled());
    EXPECT_EQ(form_->CaptureFileName, target());
    EXPECT_EQ(test::ReadBytes(target()).size(), 20000u);
    EXPECT_GT(form_->PacketList.size(), 100u);
    EXPECT_EQ(form_->ListBox1->count(), static_cast<std::int64_t>(form_->PacketList.size()));
    EXPECT_FALSE(form_->EndpointTable.empty());
}

TEST_F(Acquire, WaitsForATriggerThatHasNotOccurred) {
    startEmulator({"--speed", "low"});
    open();
    ASSERT_TRUE(analyzer_.SetTrigger(5)); // SOF: a low-speed bus has none
    form_->Button3->click();
    EXPECT_EQ(tick(), "Waiting for Trigger");
    EXPECT_EQ(tick(), "Waiting for Trigger");
    // Stop while armed: nothing is sent, the label clears, Start comes back.
    form_->Button4->click();
    EXPECT_EQ(form_->Label1->text(), "");
    EXPECT_TRUE(form_->Button3->isEnabled());
    EXPECT_FALSE(form_->Button4->isEnabled());
    EXPECT_EQ(form_->acquisition().state(), device::ACQ_IDLE_POLL);
}

TEST_F(Acquire, StopAfterTheTriggerEndsTheRecordingEarly) {
    startEmulator({"--memory", "200000", "--fill-seconds", "30"});
    open();
    form_->Button3->click();
    EXPECT_EQ(tick(), "Triggered");
    form_->Button4->click();
    EXPECT_EQ(form_->Label1->text(), "Stopped");
    ASSERT_TRUE(tickUntil("Downloading"));
    ASSERT_TRUE(finishDownload());
    const auto size = test::ReadBytes(target()).size();
    EXPECT_GT(size, 0u);
    EXPECT_LT(size, 200000u);
}

// The download writes the file fixed at Start, never one the user opened meanwhile.
TEST_F(Acquire, FileOpenedDuringTheAcquisitionIsNeverTouched) {
    startEmulator({"--memory", "8000", "--fill-seconds", "0.3"});
    const std::string other = work_ / "other.dat";
    std::ofstream(other, std::ios::binary) << std::string("\x01\xD2", 2);
    const auto before = test::ReadBytes(other);
    open();
    form_->Button3->click();
    form_->ChooseCaptureFile = [&] { return other; };
    form_->Open1Click();
    ASSERT_EQ(form_->CaptureFileName, other);
    ASSERT_TRUE(tickUntil("Downloading"));
    ASSERT_TRUE(finishDownload());
    EXPECT_EQ(test::ReadBytes(other), before);
    EXPECT_EQ(test::ReadBytes(target()).size(), 8000u);
    EXPECT_EQ(form_->CaptureFileName, target()); // the new capture is the one shown
}

TEST_F(Acquire, InjectedTransferFailureKeepsWhatArrived) {
    startEmulator({"--memory", "20000", "--fill-seconds", "0.2", "--fail-transfer-after", "2"});
    open();
    form_->Button3->click();
    ASSERT_TRUE(tickUntil("Downloading"));
    ASSERT_TRUE(finishDownload());
    EXPECT_EQ(test::ReadBytes(target()).size(), 2048u + 512u);
    EXPECT_EQ(form_->Label1->text(), "");
    EXPECT_GT(form_->PacketList.size(), 0u);
}

TEST_F(Acquire, AnalyzerVanishingMidDownloadKeepsTheBlocksReceived) {
    platform::SetRequestTimeout(std::chrono::milliseconds(500));
    startEmulator({"--memory", "20000", "--fill-seconds", "0.2", "--vanish-after-blocks", "3"});
    open();
    form_->Button3->click();
    ASSERT_TRUE(tickUntil("Downloading"));
    ASSERT_TRUE(finishDownload());
    platform::SetRequestTimeout(std::chrono::seconds(5));
    EXPECT_EQ(test::ReadBytes(target()).size(), 2048u + 2 * 512u);
    EXPECT_TRUE(form_->Button3->isEnabled());
    tick();
    EXPECT_EQ(lampInView(), form_->Image3); // gone: red
}

TEST_F(Acquire, CaptureFileThatCannotBeWrittenKeepsThePreviousOne) {
    startEmulator({"--memory", "8000", "--fill-seconds", "0.2"});
    std::ofstream(target(), std::ios::binary) << std::string("\x01\x5A", 2);
    std::filesystem::create_directory(target() + ".download");
    open();
    ASSERT_EQ(form_->PacketList.size(), 1u);
    form_->Button3->click();
    ASSERT_TRUE(tickUntil("Downloading"));
    ASSERT_TRUE(finishDownload());
    EXPECT_EQ(form_->Label1->text(), "Cannot write file");
    EXPECT_TRUE(form_->Label1->toolTip().startsWith("Cannot write usbdata.dat ("))
        << form_->Label1->toolTip().toStdString();
    EXPECT_TRUE(form_->Label1->toolTip().endsWith("the previous capture is kept"));
    EXPECT_EQ(test::ReadBytes(target()).size(), 2u);
    EXPECT_EQ(form_->PacketList.size(), 1u);
    EXPECT_TRUE(form_->Button3->isEnabled());
}

} // namespace
} // namespace vintrace::app
