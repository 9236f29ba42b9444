// The acquisition as a user drives it: Start, the status timer tick by tick, Stop, against the
// analyzer emulator process (or none at all).
#include "app/TDefineTrigger.h"
#include "app/TMainForm.h"
#include "app/TUSBStatus.h"
#include "device/AnalyzerLock.h"
#include "device/DriverAnalyzer.h"
#include "platform/ShimSettings.h"
#include "support/EmulatorProcess.h"
#include "support/FileContents.h"
#include "support/QtPrinters.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
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

// A download cut short is the only copy of what arrived: it becomes the capture on screen, in
// a file of its own, and the previous capture stays as it was.
TEST_F(Acquire, DownloadCutShortIsKeptBesideThePreviousCapture) {
    const struct {
        const char* name;
        std::vector<std::string> fault;
        const char* label;
        std::size_t bytes;
    } cases[] = {
        {"TransferFails", {"--fail-transfer-after", "2"}, "Download incomplete: 2560 bytes", 2560},
        {"Vanishes", {"--vanish-after-blocks", "3"}, "Download incomplete: 3072 bytes", 3072},
    };
    platform::SetRequestTimeout(std::chrono::milliseconds(500));
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--memory", "20000", "--fill-seconds", "0.2"};
        args.insert(args.end(), c.fault.begin(), c.fault.end());
        std::filesystem::remove(work_ / "usbdata-incomplete.dat");
        std::ofstream(target(), std::ios::binary) << std::string("\x01\x5A", 2);
        startEmulator(args);
        open();
        ASSERT_EQ(form_->PacketList.size(), 1u) << c.name;
        QTest::mouseClick(form_->Button3, Qt::LeftButton);
        ASSERT_TRUE(tickUntil("Downloading")) << c.name;
        ASSERT_TRUE(finishDownload()) << c.name;
        EXPECT_EQ(form_->Label1->text(), "Incomplete") << c.name;
        EXPECT_EQ(form_->Label1->toolTip(), c.label) << c.name;
        const std::string kept = work_ / "usbdata-incomplete.dat";
        EXPECT_EQ(form_->CaptureFileName, kept) << c.name;
        EXPECT_EQ(test::ReadBytes(kept).size(), c.bytes) << c.name;
        EXPECT_EQ(test::ReadBytes(target()).size(), 2u) << c.name;
        EXPECT_GT(form_->PacketList.size(), 1u) << c.name;
        EXPECT_TRUE(form_->Button3->isEnabled()) << c.name;
        tick();
        EXPECT_EQ(lampInView(), c.bytes == 3072 ? form_->Image3 : form_->Image4) << c.name;
        form_.reset();
        emulator_.reset();
    }
    platform::SetRequestTimeout(std::chrono::seconds(1));
}

TEST_F(Acquire, CaptureFileThatCannotBeWrittenKeepsThePreviousOne) {
    startEmulator({"--memory", "8000", "--fill-seconds", "0.2"});
    const std::string folder = work_ / "captures";
    std::filesystem::create_directory(folder);
    QDir::setCurrent(QString::fromStdString(folder));
    std::ofstream(folder + "/usbdata.dat", std::ios::binary) << std::string("\x01\x5A", 2);
    open();
    ASSERT_EQ(form_->PacketList.size(), 1u);
    QTest::mouseClick(form_->Button3, Qt::LeftButton);
    // The folder goes away before the download: nothing can be created in it.
    std::filesystem::rename(folder, work_ / "moved");
    ASSERT_TRUE(tickUntil("Downloading"));
    ASSERT_TRUE(finishDownload());
    EXPECT_EQ(form_->Label1->text(), "Cannot write file");
    EXPECT_EQ(form_->Label1->toolTip(),
              "Cannot write usbdata.dat (No such file or directory); the previous capture is kept");
    EXPECT_EQ(test::ReadBytes(work_ / "moved/usbdata.dat").size(), 2u);
    EXPECT_EQ(form_->PacketList.size(), 1u);
    EXPECT_TRUE(form_->Button3->isEnabled());
}

// While another process acquires from the analyzer, Start sends nothing and writes nothing;
// the window stays idle and can start once the analyzer is free.
TEST_F(Acquire, StartIsRefusedWhileAnotherAcquisitionHoldsTheAnalyzer) {
    startEmulator({"--memory", "8000", "--fill-seconds", "0.2"});
    device::FileLock::Result result{};
    std::string reason;
    auto other = device::FileLock::Take(emulator_->socketPath() + ".lock", result, reason);
    ASSERT_NE(other, nullptr) << reason;
    open();
    tick();
    QLabel* lamp = lampInView();
    QTest::mouseClick(form_->Button3, Qt::LeftButton);
    EXPECT_EQ(form_->Label1->text(), "Analyzer busy");
    EXPECT_EQ(form_->Label1->toolTip(), "another acquisition is using this analyzer");
    EXPECT_TRUE(form_->Button3->isEnabled());
    EXPECT_FALSE(form_->Button4->isEnabled());
    tick();
    EXPECT_NE(lampInView(), lamp); // the idle blinking goes on
    EXPECT_EQ(form_->acquisition().state(), device::ACQ_IDLE_POLL);
    EXPECT_EQ(emulator_->log().find("SetArmed"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(target()));

    other.reset();
    QTest::mouseClick(form_->Button3, Qt::LeftButton);
    EXPECT_EQ(form_->Label1->text(), "Armed");
}

// A lock file that cannot be made (here a directory stands in its place) is no other
// acquisition: Start arms all the same, and the status label's tooltip keeps the reason for as
// long as the acquisition runs.
TEST_F(Acquire, LockFileThatCannotBeMadeDoesNotStopTheAcquisition) {
    startEmulator({"--memory", "8000", "--fill-seconds", "0.2"});
    std::filesystem::create_directory(emulator_->socketPath() + ".lock");
    open();
    QTest::mouseClick(form_->Button3, Qt::LeftButton);
    EXPECT_EQ(form_->Label1->text(), "Armed");
    EXPECT_FALSE(form_->Button3->isEnabled());
    EXPECT_TRUE(form_->Button4->isEnabled());
    const QString tip = form_->Label1->toolTip();
    EXPECT_TRUE(tip.startsWith("Not locked against other acquisitions (")) << tip.toStdString();
    EXPECT_TRUE(tip.contains(".lock: Is a directory")) << tip.toStdString();
    EXPECT_EQ(tick(), "Triggered");
    EXPECT_EQ(form_->Label1->toolTip(), tip);
    ASSERT_TRUE(tickUntil("Downloading"));
    ASSERT_TRUE(finishDownload());
    EXPECT_EQ(test::ReadBytes(target()).size(), 8000u);
    EXPECT_EQ(form_->Label1->toolTip(), "");
}

// Closing the window during a download stops it between two blocks: the window goes at once,
// no file is left behind and the previous capture is untouched.
TEST_F(Acquire, ClosingDuringADownloadStopsItAndKeepsThePreviousCapture) {
    // Every request 40 ms late: the whole download would take over 20 s.
    startEmulator({"--memory", "263680", "--fill-seconds", "0.1", "--delay-ms", "40"});
    std::ofstream(target(), std::ios::binary) << std::string("\x01\x5A", 2);
    open();
    QTest::mouseClick(form_->Button3, Qt::LeftButton);
    ASSERT_TRUE(tickUntil("Downloading"));
    for (int i = 0; i < 500 && form_->acquisition().blockCount() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(form_->acquisition().blockCount(), 2);
    const auto begin = std::chrono::steady_clock::now();
    form_->close();
    form_.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
    EXPECT_EQ(test::ReadBytes(target()).size(), 2u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(work_.path()), {}), 1);
    EXPECT_FALSE(std::filesystem::exists(emulator_->socketPath() + ".lock"));
}

// A hung analyzer costs each step one request's deadline (1 s) at most: the window keeps
// running, and shows what it shows for failed requests.
class HungAnalyzer : public Acquire {
protected:
    /// Requests the emulator has taken and left unanswered so far.
    int unanswered() const {
        const std::string log = emulator_->log();
        int n = 0;
        for (auto at = log.find("no answer (hung)"); at != std::string::npos;
             at = log.find("no answer (hung)", at + 1)) {
            ++n;
        }
        return n;
    }
    /// Waits (briefly) for the emulator's log to show `n` unanswered requests.
    int unansweredSettles(int n) const {
        for (int i = 0; i < 100 && unanswered() < n; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return unanswered();
    }
    static std::chrono::milliseconds timed(const std::function<void()>& step) {
        QElapsedTimer t;
        t.start();
        step();
        return std::chrono::milliseconds(t.elapsed());
    }
};

constexpr auto kAboutOneSecond = std::chrono::milliseconds(1500);

TEST_F(HungAnalyzer, FromTheStartEveryStepFailsWithinASecond) {
    startEmulator({"--hang-after", "0"});
    EXPECT_LT(timed([this] { open(); }), kAboutOneSecond); // sends the trigger on arm
    // Idle: red, then unlit without asking.
    EXPECT_LT(timed([this] { tick(); }), kAboutOneSecond);
    EXPECT_EQ(lampInView(), form_->Image3);
    EXPECT_LT(timed([this] { tick(); }), std::chrono::milliseconds(500));
    EXPECT_EQ(lampInView(), form_->Image1);
    // Start: the first of its four commands finds the analyzer hung; the rest are not sent.
    const int before = unanswered();
    EXPECT_LT(timed([this] { QTest::mouseClick(form_->Button3, Qt::LeftButton); }),
              kAboutOneSecond);
    EXPECT_EQ(form_->Label1->text(), "Armed");
    EXPECT_EQ(unansweredSettles(before + 1), before + 1);
    EXPECT_LT(timed([this] { EXPECT_EQ(tick(), "Read Failed"); }), kAboutOneSecond);
    EXPECT_EQ(lampInView(), form_->Image1); // left alone while armed

    // The dialogs that ask the analyzer open within a second with their failure texts.
    QString status, statusDetail, trigger;
    const auto dialogs = timed([&] {
        QTimer::singleShot(0, [&] {
            if (auto* d = qobject_cast<TUSBStatus*>(QApplication::activeModalWidget())) {
                status = d->Label1->text();
                statusDetail = d->Label2->text();
                d->Button1->click();
            }
        });
        form_->Status1->trigger();
        QTimer::singleShot(0, [&] {
            if (auto* d = qobject_cast<TDefineTrigger*>(QApplication::activeModalWidget())) {
                trigger = d->Label1->text();
                d->Button1->click();
            }
        });
        form_->DefineTrigger1->trigger();
    });
    EXPECT_LT(dialogs, 2 * kAboutOneSecond);
    EXPECT_EQ(status, "Vintrace is unconnected");
    EXPECT_EQ(statusDetail, "");
    EXPECT_EQ(trigger, "Set Trigger UNsuccessful");
}

// What a user sees of an analyzer that never answers: the real timer runs the ticks, and what
// the window paints at the lamp's spot is sampled every 20 ms. Each port-speed query waits out
// its deadline, yet red and unlit take turns on screen, each for a real interval.
TEST_F(HungAnalyzer, IdleLampAlternatesRedAndUnlitOnScreen) {
    startEmulator({"--hang-after", "0"});
    open();
    QWidget* client = form_->centralWidget();
    const QPoint spot = form_->Image3->geometry().center();
    struct Sample {
        qint64 at;
        bool red;
    };
    std::vector<Sample> samples;
    QElapsedTimer clock;
    qint64 longestStall = 0;
    QTimer sampler;
    sampler.setInterval(20);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const QColor c = client->grab(QRect(spot, QSize(1, 1))).toImage().pixelColor(0, 0);
        const qint64 now = clock.elapsed();
        longestStall = std::max(longestStall, now - (samples.empty() ? 0 : samples.back().at));
        samples.push_back({now, c.red() - c.green() > 80});
    });
    clock.start();
    sampler.start();
    form_->Timer1->start();
    QTest::qWait(6500);
    form_->Timer1->stop();
    sampler.stop();

    // Runs of one colour, each lasting until the other colour was first painted.
    std::vector<std::pair<bool, qint64>> runs;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i].red != samples[i - 1].red || runs.empty()) {
            runs.push_back({samples[i].red, samples[i].at});
        }
    }
    int redRuns = 0;
    int unlitRuns = 0;
    for (std::size_t r = 0; r + 1 < runs.size(); ++r) { // the last run is cut off by the end
        const qint64 lasted = runs[r + 1].second - runs[r].second;
        (runs[r].first ? redRuns : unlitRuns) += 1;
        EXPECT_GE(lasted, 300) << (runs[r].first ? "red" : "unlit") << " run " << r;
    }
    EXPECT_GE(redRuns, 2);
    EXPECT_GE(unlitRuns, 2);
    // The window stands still no longer than one request's deadline at a time.
    EXPECT_LT(longestStall, kAboutOneSecond.count());
}

TEST_F(HungAnalyzer, AfterTheTriggerTheTimerKeepsTheWindowRunning) {
    // It answers the trigger on arm at start-up, Start's look-up for the acquisition lock (an
    // open), its four commands and the first trigger status (an open and a request each), then
    // nothing more.
    startEmulator({"--hang-after", "13"});
    open();
    QTest::mouseClick(form_->Button3, Qt::LeftButton);
    ASSERT_EQ(tick(), "Triggered");
    const int before = unanswered();

    // The real timer drives it now; a 10 ms heartbeat notes the longest the loop stood still.
    int ticks = 0;
    QObject::connect(form_->Timer1, &QTimer::timeout, [&] { ++ticks; });
    qint64 longest = 0;
    QElapsedTimer sinceBeat;
    QTimer heartbeat;
    heartbeat.setInterval(10);
    QObject::connect(&heartbeat, &QTimer::timeout,
                     [&] { longest = std::max(longest, sinceBeat.restart()); });
    sinceBeat.start();
    heartbeat.start();
    form_->Timer1->start();
    QTest::qWait(3500);
    longest = std::max(longest, sinceBeat.elapsed()); // a stall at the very end counts too
    form_->Timer1->stop();
    heartbeat.stop();

    EXPECT_GE(ticks, 2);
    EXPECT_LT(longest, kAboutOneSecond.count());
    EXPECT_EQ(form_->Label1->text(), "Read Failed");
    EXPECT_EQ(form_->ProgressBar1->value(), 0);
    EXPECT_EQ(form_->acquisition().state(), device::ACQ_TRIGGERED);
    // The fill level timed out, so the memory-full query was never sent: one request a tick.
    EXPECT_EQ(unansweredSettles(before + ticks), before + ticks);
}

} // namespace
} // namespace vintrace::app
