#pragma once

#include "device/Analyzer.h"
#include "device/CaptureDownload.h"
#include "device/USBReadThread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vintrace::device {

/// The phase of an acquisition, as the status timer follows it.
enum AcquisitionStateCode : std::uint8_t {
    ACQ_IDLE_POLL = 0,
    ACQ_IDLE_BLINK = 1,
    ACQ_TRIGGERED = 3,
    ACQ_ARMED = 4,
    ACQ_DOWNLOADING = 5,
    ACQ_DOWNLOADED = 6,
};

/// Which status lamp is the one in view.
enum class Lamp { Unlit, Green, Red, Yellow };

/// The status line; the window turns it into its words.
enum class Status {
    Empty,
    Armed,
    WaitingForTrigger,
    Triggered,
    WaitForFifoFull,
    Downloading,
    ReadFailed,
    Stopped,
    NothingReceived, // a download ended without data: the previous capture is kept
    CannotWrite,     // the capture file could not be written: the previous capture is kept
    AnalyzerBusy,    // another acquisition holds the analyzer: nothing was sent or written
    Incomplete,      // the download ended early: what arrived is the new capture, in a new file
};

/// What one step asks of the window; unset fields leave the window as it is.
struct AcquisitionEffects {
    std::optional<Status> status;
    std::optional<Lamp> lamp;
    std::optional<int> progressMax; // range 0..max, position 0
    std::optional<int> progressValue;
    std::optional<bool> startEnabled;
    std::optional<bool> stopEnabled;
    bool startDownload = false; // dispatch the start of the download
    bool reload = false;        // dispatch a reload of the capture
    /// After a download that wrote a capture, whole or incomplete: the file that now holds it.
    std::optional<std::string> newCapture;
};

/// Start, Stop and the 500 ms status tick, and the download thread. One download at a time:
/// Start stays disabled from the download's start until it has ended and been reloaded, and
/// from Start to the end of the download the analyzer is locked against acquisitions of other
/// processes. The download writes the file fixed when Start was pressed.
class Acquisition {
public:
    /// `analyzer` must outlive the object (and its download thread).
    explicit Acquisition(Analyzer& analyzer) : analyzer_(analyzer) {}
    /// Stops a running download between two blocks and waits for it.
    ~Acquisition();
    Acquisition(const Acquisition&) = delete;
    Acquisition& operator=(const Acquisition&) = delete;

    /// Start: arms the analyzer; the next download goes into `target`. While another
    /// acquisition holds the analyzer nothing is sent and the status says so; a lock that
    /// cannot be made for any other reason does not stop it (see lockProblem()).
    AcquisitionEffects Start(const std::string& target);
    /// Stop: before the trigger it disarms quietly, after it it ends the recording early.
    AcquisitionEffects Stop();
    /// One tick of the status timer; `greenLampShown` says whether the green lamp is in view,
    /// `captureSize` is the progress maximum for a download.
    AcquisitionEffects Tick(bool greenLampShown, std::int32_t captureSize);
    /// Starts the download thread (at most one runs).
    void StartDownload();
    /// Asks a running download to stop before its next block; its file is discarded.
    void CancelDownload() { cancel_.store(true); }

    std::uint8_t state() const { return state_.load(); }
    std::int32_t blockCount() const { return blockCount_.load(); }
    /// How the last download ended; meaningful once the state has become ACQ_DOWNLOADED.
    const DownloadOutcome& lastDownload() const { return outcome_; }
    /// The file the running or last download writes.
    const std::string& target() const { return target_; }
    /// Why the running acquisition goes ahead without its lock; empty while it holds one or
    /// none runs.
    const std::string& lockProblem() const { return lockProblem_; }

private:
    /// Waits for the download thread, keeps its outcome and lets it go.
    void endDownload();
    /// Lets go of the analyzer at the end of the acquisition.
    void releaseLock();
    /// True when a request failed for want of an answer: the rest of the step's requests are
    /// skipped, so one step waits for a hung analyzer once, not once per request.
    bool hung(bool requestSucceeded);

    Analyzer& analyzer_;
    std::atomic<std::uint8_t> state_{ACQ_IDLE_POLL};
    std::atomic<std::int32_t> blockCount_{0};
    std::string target_;
    std::atomic<bool> cancel_{false};
    std::unique_ptr<USBReadThread> reader_;
    DownloadOutcome outcome_;
    /// Held from Start until the download has ended or Stop disarmed before the trigger.
    std::unique_ptr<AcquisitionLock> lock_;
    std::string lockProblem_;
};

} // namespace vintrace::device
