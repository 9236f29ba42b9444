#include "device/Acquisition.h"
#include "device/AnalyzerLock.h"
#include "support/FileContents.h"
#include "support/RecordingAnalyzer.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

namespace vintrace::device {
namespace {

using test::RecordingAnalyzer;

std::vector<std::uint8_t> Pattern(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    }
    return bytes;
}

/// Ticks until the download thread has ended (state 6); false if it never does.
bool WaitForDownload(Acquisition& a) {
    for (int i = 0; i < 2000 && a.state() != ACQ_DOWNLOADED; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return a.state() == ACQ_DOWNLOADED;
}

TEST(Acquisition, IdleLampFollowsThePortSpeed) {
    const struct {
        bool attached;
        std::uint8_t speed;
        Lamp poll;
        std::optional<Lamp> blink;
    } cases[] = {
        {false, 0, Lamp::Red, Lamp::Unlit},
        {true, 0, Lamp::Yellow, Lamp::Unlit},
        {true, 2, Lamp::Green, std::nullopt}, // green stays lit
    };
    for (const auto& c : cases) {
        RecordingAnalyzer analyzer;
        analyzer.attached = c.attached;
        analyzer.portSpeed = c.speed;
        Acquisition a(analyzer);
        const AcquisitionEffects poll = a.Tick(false, 131071);
        EXPECT_EQ(poll.lamp, c.poll);
        EXPECT_EQ(a.state(), ACQ_IDLE_BLINK);
        const AcquisitionEffects blink = a.Tick(poll.lamp == Lamp::Green, 131071);
        EXPECT_EQ(blink.lamp, c.blink);
        EXPECT_EQ(a.state(), ACQ_IDLE_POLL);
        EXPECT_EQ(analyzer.calls(), std::vector<std::string>{"ReadPortSpeed"});
    }
}

TEST(Acquisition, StartArmsAndFollowsTheAnalyzerToTheDownload) {
    RecordingAnalyzer analyzer;
    analyzer.attached = true;
    Acquisition a(analyzer);
    AcquisitionEffects e = a.Start("unused.dat");
    EXPECT_EQ(e.status, Status::Armed);
    EXPECT_EQ(e.startEnabled, false);
    EXPECT_EQ(e.stopEnabled, true);
    EXPECT_EQ(analyzer.calls(), (std::vector<std::string>{"SetArmed 0", "SetStopped 0",
                                                          "BeginAcquisition", "SetArmed 1"}));
    analyzer.triggerStatus = 2;
    EXPECT_EQ(a.Tick(false, 1).status, Status::WaitingForTrigger);
    analyzer.triggerStatus = 1;
    e = a.Tick(false, 1);
    EXPECT_EQ(e.status, Status::Triggered);
    EXPECT_EQ(e.progressMax, 255);
    EXPECT_EQ(a.state(), ACQ_TRIGGERED);
    analyzer.fifoLevel = 90;
    analyzer.fifoFull = 2;
    e = a.Tick(false, 1);
    EXPECT_EQ(e.status, Status::WaitForFifoFull);
    EXPECT_EQ(e.progressValue, 90);
    analyzer.fifoFull = 1;
    analyzer.clearCalls();
    e = a.Tick(false, 4242);
    EXPECT_EQ(e.status, Status::Downloading);
    EXPECT_EQ(e.progressMax, 4242);
    EXPECT_TRUE(e.startDownload);
    EXPECT_EQ(e.startEnabled, false); // no second download can be started meanwhile
    EXPECT_EQ(e.stopEnabled, false);
    EXPECT_EQ(a.state(), ACQ_DOWNLOADING);
    EXPECT_EQ(analyzer.calls(),
              (std::vector<std::string>{"ReadFifoLevel", "ReadFifoFull", "SetStopped 1"}));
}

TEST(Acquisition, FailedQueriesSayReadFailedAndKeepTheState) {
    RecordingAnalyzer analyzer; // no analyzer
    Acquisition a(analyzer);
    a.Start("unused.dat");
    EXPECT_EQ(a.Tick(false, 1).status, Status::ReadFailed);
    EXPECT_EQ(a.state(), ACQ_ARMED);
    analyzer.attached = true;
    analyzer.triggerStatus = 1;
    a.Tick(false, 1);
    analyzer.refused = {"ReadFifoFull", "ReadFifoLevel"};
    const AcquisitionEffects e = a.Tick(false, 1);
    EXPECT_EQ(e.status, Status::ReadFailed);
    EXPECT_EQ(e.progressValue, 0);
    EXPECT_EQ(a.state(), ACQ_TRIGGERED);
}

// A hung analyzer costs one step one time-out: after a request that timed out, the step makes
// no further request, and it shows what a failed request shows. A refused request (an answer,
// only a negative one) does not end the step.
TEST(Acquisition, RequestThatTimesOutEndsTheStepsRequests) {
    const struct {
        const char* name;
        std::uint8_t state; // reached by a scripted acquisition first
        std::set<std::string> hung;
        std::set<std::string> refused;
        std::vector<std::string> calls;
        std::optional<Status> status;
        std::uint8_t stateAfter;
    } cases[] = {
        {"StartHungAtOnce", ACQ_ARMED, {"SetArmed"}, {}, {"SetArmed 0"}, Status::Armed, ACQ_ARMED},
        {"StartHungLater",
         ACQ_ARMED,
         {"BeginAcquisition"},
         {},
         {"SetArmed 0", "SetStopped 0", "BeginAcquisition"},
         Status::Armed,
         ACQ_ARMED},
        {"FillLevelHung",
         ACQ_TRIGGERED,
         {"ReadFifoLevel"},
         {},
         {"ReadFifoLevel"},
         Status::ReadFailed,
         ACQ_TRIGGERED},
        {"FillLevelRefused",
         ACQ_TRIGGERED,
         {},
         {"ReadFifoLevel"},
         {"ReadFifoLevel", "ReadFifoFull"},
         Status::WaitForFifoFull,
         ACQ_TRIGGERED},
        {"ResetAfterDownloadHung",
         ACQ_DOWNLOADED,
         {"SetStopped"},
         {},
         {"SetArmed 0", "SetStopped 0"},
         Status::NothingReceived,
         ACQ_IDLE_POLL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingAnalyzer analyzer;
        analyzer.attached = true;
        analyzer.triggerStatus = 1;
        Acquisition a(analyzer);
        AcquisitionEffects e;
        if (c.state == ACQ_ARMED) {
            analyzer.hung = c.hung;
            e = a.Start("unused.dat");
        } else {
            a.Start("unused.dat");
            a.Tick(false, 1); // triggered
            if (c.state == ACQ_DOWNLOADED) {
                a.StartDownload(); // nothing recorded: the download ends at once
                ASSERT_TRUE(WaitForDownload(a));
            }
            analyzer.clearCalls();
            analyzer.hung = c.hung;
            analyzer.refused = c.refused;
            e = a.Tick(false, 1);
        }
        EXPECT_EQ(analyzer.calls(), c.calls);
        EXPECT_EQ(e.status, c.status);
        EXPECT_EQ(a.state(), c.stateAfter);
        if (c.state == ACQ_DOWNLOADED) {
            EXPECT_TRUE(e.reload); // the capture is reloaded all the same
            EXPECT_EQ(e.startEnabled, true);
        }
    }
}

TEST(Acquisition, StopBeforeTheTriggerDisarmsQuietlyAfterItEndsTheRecording) {
    RecordingAnalyzer analyzer;
    analyzer.attached = true;
    Acquisition a(analyzer);
    a.Start("unused.dat");
    analyzer.clearCalls();
    AcquisitionEffects e = a.Stop();
    EXPECT_EQ(e.status, Status::Empty);
    EXPECT_EQ(e.startEnabled, true);
    EXPECT_EQ(e.stopEnabled, false);
    EXPECT_EQ(a.state(), ACQ_IDLE_POLL);
    EXPECT_TRUE(analyzer.calls().empty());

    a.Start("unused.dat");
    analyzer.triggerStatus = 1;
    a.Tick(false, 1);
    analyzer.clearCalls();
    e = a.Stop();
    EXPECT_EQ(e.status, Status::Stopped);
    EXPECT_EQ(a.state(), ACQ_TRIGGERED); // polling goes on until the memory reads full
    EXPECT_EQ(analyzer.calls(), std::vector<std::string>{"SetStopped 1"});
}

class Download : public ::testing::Test {
protected:
    /// Runs a whole download of `recording` into "usbdata.dat" and the tick after it.
    AcquisitionEffects run(std::vector<std::uint8_t> recording) {
        analyzer_.attached = true;
        analyzer_.recording = std::move(recording);
        a_.Start(target_);
        a_.StartDownload();
        EXPECT_TRUE(WaitForDownload(a_));
        analyzer_.clearCalls();
        return a_.Tick(false, 1);
    }

    test::TempDir dir_;
    const std::string target_ = dir_ / "usbdata.dat";
    RecordingAnalyzer analyzer_;
    Acquisition a_{analyzer_};
};

TEST_F(Download, EndsAtTheFirstShortBlock) {
    const auto recording = Pattern(2048 + 3 * 512 + 100);
    const AcquisitionEffects e = run(recording);
    EXPECT_EQ(test::ReadBytes(target_), recording);
    EXPECT_EQ(a_.blockCount(), 5);
    EXPECT_EQ(analyzer_.beeps.load(), 6); // one more than the blocks
    EXPECT_EQ(e.newCapture, target_);
    EXPECT_TRUE(e.reload);
    EXPECT_EQ(e.startEnabled, true);
    EXPECT_EQ(e.status, Status::Empty);
    EXPECT_EQ(e.progressValue, 0);
    EXPECT_EQ(a_.state(), ACQ_IDLE_POLL);
    EXPECT_EQ(analyzer_.calls(),
              (std::vector<std::string>{"SetArmed 0", "SetStopped 0", "EndDownload"}));
    EXPECT_FALSE(std::filesystem::exists(target_ + ".download"));
}

TEST_F(Download, StopsAfterTheMostBlocks) {
    run(Pattern(400'000));
    EXPECT_EQ(test::ReadBytes(target_).size(), 263'680u);
    EXPECT_EQ(a_.blockCount(), 512);
}

TEST_F(Download, ShortFirstBlockEndsIt) {
    run(Pattern(512));
    EXPECT_EQ(test::ReadBytes(target_), Pattern(512));
    EXPECT_EQ(a_.blockCount(), 1);
}

// A download cut short is the only copy of what arrived: it becomes the capture, in a file of
// its own, and replaces neither the previous capture nor an earlier incomplete one.
TEST_F(Download, FailedTransferKeepsWhatArrivedBesideThePreviousCapture) {
    std::ofstream(target_, std::ios::binary) << "previous";
    std::ofstream(dir_ / "usbdata-incomplete.dat", std::ios::binary) << "earlier";
    analyzer_.failTransferAfter = 2;
    const AcquisitionEffects e = run(Pattern(10'000));
    EXPECT_EQ(e.status, Status::Incomplete);
    EXPECT_EQ(a_.lastDownload().bytes, 2048u + 512u);
    const std::string kept = dir_ / "usbdata-incomplete-2.dat";
    EXPECT_EQ(e.newCapture, kept);
    EXPECT_TRUE(e.reload);
    EXPECT_EQ(test::ReadBytes(kept), Pattern(2048 + 512));
    EXPECT_EQ(test::ReadText(target_), "previous");
    EXPECT_EQ(test::ReadText(dir_ / "usbdata-incomplete.dat"), "earlier");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 3);
}

TEST(IncompleteDownload, NamesSitBesideTheTarget) {
    EXPECT_EQ(IncompleteName("/d/usbdata.dat", 1), "/d/usbdata-incomplete.dat");
    EXPECT_EQ(IncompleteName("/d/usbdata.dat", 3), "/d/usbdata-incomplete-3.dat");
    EXPECT_EQ(IncompleteName("capture", 1), "capture-incomplete");
}

// A link planted where the temporary file used to go must not redirect the download.
TEST_F(Download, PlantedLinkIsNeverWrittenThrough) {
    const std::string victim = dir_ / "victim";
    std::ofstream(victim, std::ios::binary) << "victim";
    std::filesystem::create_symlink(victim, target_ + ".download");
    run(Pattern(3000));
    EXPECT_EQ(test::ReadText(victim), "victim");
    EXPECT_EQ(test::ReadBytes(target_), Pattern(3000));
}

// Closing the window ends the acquisition: the download stops at its next block, leaves no
// file behind and keeps the previous capture.
TEST_F(Download, EndingTheAcquisitionStopsTheDownloadBetweenBlocks) {
    std::ofstream(target_, std::ios::binary) << "previous";
    analyzer_.attached = true;
    analyzer_.recording = Pattern(400'000);
    analyzer_.transferTime = std::chrono::milliseconds(20); // 10 s for the whole download
    auto a = std::make_unique<Acquisition>(analyzer_);
    a->Start(target_);
    a->StartDownload();
    for (int i = 0; i < 500 && a->blockCount() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_GE(a->blockCount(), 2);
    const auto begin = std::chrono::steady_clock::now();
    a.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(500));
    EXPECT_TRUE(test::ReadText(target_) == "previous"); // no dump of a whole recording
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);
}

// A download that brings nothing (no analyzer, a pipe that does not open) must not destroy
// the capture that was there.
TEST_F(Download, NothingReceivedKeepsThePreviousCapture) {
    std::ofstream(target_, std::ios::binary) << "previous";
    analyzer_.refused = {"OpenDataPipe"};
    const AcquisitionEffects e = run(Pattern(5000));
    EXPECT_EQ(e.status, Status::NothingReceived);
    EXPECT_FALSE(e.newCapture.has_value());
    EXPECT_TRUE(e.reload);
    const auto kept = test::ReadBytes(target_);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "previous");
}

TEST_F(Download, UnwritableFileKeepsThePreviousCaptureAndSaysWhy) {
    const std::string folder = dir_ / "captures";
    std::filesystem::create_directory(folder);
    const std::string target = folder + "/usbdata.dat";
    std::ofstream(target, std::ios::binary) << "previous";
    analyzer_.attached = true;
    analyzer_.recording = Pattern(5000);
    a_.Start(target);
    // The folder goes away before the download: nothing can be created in it.
    std::filesystem::rename(folder, dir_ / "moved");
    a_.StartDownload();
    ASSERT_TRUE(WaitForDownload(a_));
    const AcquisitionEffects e = a_.Tick(false, 1);
    EXPECT_EQ(e.status, Status::CannotWrite);
    EXPECT_FALSE(a_.lastDownload().reason.empty());
    EXPECT_EQ(e.startEnabled, true);
    EXPECT_EQ(test::ReadText(dir_ / "moved/usbdata.dat"), "previous");
}

TEST_F(Download, OnlyOneDownloadRunsAtATime) {
    analyzer_.attached = true;
    analyzer_.recording = Pattern(3000);
    a_.Start(target_);
    a_.StartDownload();
    a_.StartDownload(); // ignored while one exists
    ASSERT_TRUE(WaitForDownload(a_));
    a_.Tick(false, 1);
    EXPECT_EQ(test::ReadBytes(target_), Pattern(3000));
    int opens = 0;
    for (const std::string& c : analyzer_.calls()) {
        opens += c == "OpenDataPipe";
    }
    EXPECT_LE(opens, 1);
}

// One acquisition per analyzer: a second one (another window or process) is refused at Start
// without a word to the analyzer, and gets its turn once the first has ended.
TEST(AcquisitionLock, SecondAcquisitionIsRefusedUntilTheFirstEnds) {
    test::TempDir dir;
    RecordingAnalyzer analyzer;
    analyzer.attached = true;
    analyzer.recording = Pattern(3000);
    Acquisition first(analyzer);
    Acquisition second(analyzer);
    first.Start(dir / "first.dat");
    analyzer.clearCalls();
    AcquisitionEffects e = second.Start(dir / "second.dat");
    EXPECT_EQ(e.status, Status::AnalyzerBusy);
    EXPECT_EQ(e.startEnabled, true);
    EXPECT_EQ(e.stopEnabled, false);
    EXPECT_EQ(second.state(), ACQ_IDLE_POLL);
    EXPECT_TRUE(analyzer.calls().empty());

    // Stop before the trigger lets go of the analyzer.
    first.Stop();
    EXPECT_EQ(second.Start(dir / "second.dat").status, Status::Armed);
    EXPECT_EQ(first.Start(dir / "first.dat").status, Status::AnalyzerBusy);
    // So does the end of a download, once it has been taken in.
    second.StartDownload();
    ASSERT_TRUE(WaitForDownload(second));
    EXPECT_EQ(first.Start(dir / "first.dat").status, Status::AnalyzerBusy);
    second.Tick(false, 1);
    EXPECT_EQ(first.Start(dir / "first.dat").status, Status::Armed);
    EXPECT_EQ(test::ReadBytes(dir / "second.dat"), Pattern(3000));
    EXPECT_FALSE(std::filesystem::exists(dir / "first.dat"));
}

TEST(AcquisitionLock, LockFileIsExclusiveAndNeverFollowsALink) {
    test::TempDir dir;
    const std::string path = dir / "analyzer0.lock";
    FileLock::Result result{};
    std::string reason;
    auto held = FileLock::Take(path, result, reason);
    ASSERT_NE(held, nullptr) << reason;
    EXPECT_EQ(result, FileLock::Result::Held);
    // A second taker, even in this process, is turned away at once.
    EXPECT_EQ(FileLock::Take(path, result, reason), nullptr);
    EXPECT_EQ(result, FileLock::Result::Busy);
    held.reset();
    EXPECT_FALSE(std::filesystem::exists(path)); // nothing left behind
    held = FileLock::Take(path, result, reason);
    EXPECT_NE(held, nullptr);
    held.reset();

    const std::string victim = dir / "victim";
    std::ofstream(victim) << "victim";
    std::filesystem::create_symlink(victim, path);
    EXPECT_EQ(FileLock::Take(path, result, reason), nullptr);
    EXPECT_EQ(result, FileLock::Result::Failed);
    EXPECT_EQ(test::ReadText(victim), "victim");
    // A directory in its place cannot be locked either, and is no holder.
    const std::string taken = dir / "taken.lock";
    std::filesystem::create_directory(taken);
    EXPECT_EQ(FileLock::Take(taken, result, reason), nullptr);
    EXPECT_EQ(result, FileLock::Result::Failed);
    EXPECT_EQ(AnalyzerLockPath("/run/v/analyzer0"), "/run/v/analyzer0.lock");
}

} // namespace
} // namespace vintrace::device
