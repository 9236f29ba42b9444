#include "device/AcquireOnce.h"

#include "capture/StagedFile.h"
#include "device/AnalyzerCommands.h"
#include "device/AnalyzerInterface.h"
#include "device/AnalyzerLock.h"
#include "device/DeviceAccess.h"
#include "device/DriverAnalyzer.h"
#include "platform/ShimSettings.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace vintrace::device {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollInterval = std::chrono::milliseconds(100);

AcquireOnceResult Failed(AcquireOnceResult::Failure failure, std::string error) {
    AcquireOnceResult result;
    result.failure = failure;
    result.error = std::move(error);
    return result;
}

} // namespace

std::optional<int> ReadFillLevel() {
    // The device layer's ReadFifoLevel answers 0 both for an empty memory and for no answer.
    std::uint8_t level = 0;
    if (!QueryCommand(static_cast<std::int32_t>(AnalyzerCommand::ReadFifoLevel), 0, &level, 1)) {
        return std::nullopt;
    }
    return level;
}

AcquireOnceResult AcquireOnce(const AcquireOnceOptions& o, const std::string& output,
                              const std::function<void(const std::string&)>& progress) {
    using Failure = AcquireOnceResult::Failure;
    DevicePathBuffer path{};
    if (!ProbeAnalyzer(path)) {
#ifndef _WIN32
        // Say why when the device directory was not searched at all, or its device belongs
        // to another user.
        std::string problem = platform::DeviceDirectoryProblem(ANALYZER_INTERFACE_GUID);
        if (problem.empty()) {
            problem = platform::RefusedDeviceProblem();
        }
        if (!problem.empty()) {
            return Failed(Failure::DeviceDirectory, std::move(problem));
        }
#endif
        return Failed(Failure::Unconnected, "Vintrace is unconnected");
    }
    // One acquisition per analyzer, across processes, from the trigger to the download.
    std::string lockProblem;
    const std::unique_ptr<AcquisitionLock> lock = LockFirstAnalyzer(lockProblem);
    if (!lock) {
        return Failed(Failure::Busy, "another acquisition is using this analyzer");
    }
    if (!lockProblem.empty() && o.warn) {
        o.warn("cannot lock the analyzer against other acquisitions (" + lockProblem +
               "); acquiring without the lock");
    }
    // Staged now, so a path that cannot take the file fails before the analyzer is armed;
    // SIGINT or SIGTERM removes it (and the lock file) again.
    capture::StagedFile staged(output);
    if (staged.file() == nullptr) {
        return Failed(Failure::File, output + ": " + staged.error());
    }
    if (o.trigger >= 0 && !SetTrigger(static_cast<std::uint8_t>(o.trigger))) {
        return Failed(Failure::Refused, "Trigger Failed");
    }
    if (o.fullSpeed && !SetBusSpeed(*o.fullSpeed ? 1 : 0)) {
        return Failed(Failure::Refused, "cannot set the bus speed");
    }
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(o.timeoutSeconds));
    const auto cancelled = [&o] { return o.cancel != nullptr && o.cancel->load(); };
    const auto disarm = [] {
        SetArmed(0);
        SetStopped(0);
    };

    SetArmed(0);
    SetStopped(0);
    BeginAcquisition();
    SetArmed(1);
    progress("Armed");

    progress("Waiting for Trigger");
    for (std::uint8_t status = 0;;) {
        if (!ReadTriggerStatus(status)) {
            disarm();
            return Failed(Failure::Refused, "Read Failed");
        }
        if (status == 1) {
            break;
        }
        if (cancelled()) {
            disarm();
            return Failed(Failure::TimedOut, "stopped while waiting for the trigger");
        }
        if (Clock::now() >= deadline) {
            disarm();
            return Failed(Failure::TimedOut, "timed out waiting for the trigger");
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    progress("Triggered");

    progress("Wait For FIFO Full");
    int lastLevel = -1;
    for (std::uint8_t full = 0;;) {
        const int level = ReadFillLevel().value_or(-2);
        if (level != lastLevel) {
            progress(level < 0 ? "level Read Failed" : "level " + std::to_string(level) + "/255");
            lastLevel = level;
        }
        if (!ReadFifoFull(full)) {
            disarm();
            return Failed(Failure::Refused, "Read Failed");
        }
        if (full == 1) {
            break;
        }
        if (cancelled()) {
            disarm();
            return Failed(Failure::TimedOut, "stopped while waiting for the memory to fill");
        }
        if (Clock::now() >= deadline) {
            disarm();
            return Failed(Failure::TimedOut, "timed out waiting for the recording memory to fill");
        }
        std::this_thread::sleep_for(kPollInterval);
    }

    progress("Downloading");
    SetStopped(1);
    // The application's download; one cut short goes to a file of its own, never onto FILE.
    DriverAnalyzer analyzer;
    std::atomic<std::int32_t> blockCount{0};
    AcquireOnceResult result;
    result.outcome = DownloadCapture(analyzer, staged, o.force, blockCount, o.cancel);
    switch (result.outcome.status) {
    case DownloadOutcome::Status::Written:
        break;
    case DownloadOutcome::Status::NothingReceived:
    case DownloadOutcome::Status::Cancelled:
        result.failure = Failure::Download;
        result.error = "nothing was downloaded";
        break;
    case DownloadOutcome::Status::Incomplete:
        result.failure = Failure::Download;
        result.error = "Download incomplete: " + std::to_string(result.outcome.bytes) +
                       " bytes, kept in " + result.outcome.file;
        break;
    case DownloadOutcome::Status::FileError:
        result.failure = Failure::File;
        result.error = output + ": " + result.outcome.reason;
        break;
    }
    // What the application does once a download has ended.
    SetArmed(0);
    SetStopped(0);
    EndDownload();
    return result;
}

} // namespace vintrace::device
