#pragma once

#include "device/CaptureDownload.h"

#include <functional>
#include <optional>
#include <string>

namespace vintrace::device {

/// One acquisition from start to file, without a window: what `vintrace-cli analyzer acquire`
/// and the Wireshark capture program both run.
struct AcquireOnceOptions {
    int trigger = -1;                          // trigger code 0..15 to send first; -1: leave it
    std::optional<bool> fullSpeed;             // set the bus speed first; nothing: leave it
    double timeoutSeconds = 60;                // for the trigger and for the memory to fill
    bool force = false;                        // replace an existing file
    const std::atomic<bool>* cancel = nullptr; // set: give up at the next poll or block
    /// Told what the acquisition goes ahead despite (a lock file that cannot be made).
    std::function<void(const std::string&)> warn;
};

struct AcquireOnceResult {
    enum class Failure {
        None,
        Unconnected,     // no analyzer answered
        DeviceDirectory, // the device directory is unsafe, or its analyzer is another user's
        Busy,            // another acquisition holds the analyzer
        Refused,         // a command failed or an answer did not come
        TimedOut,        // no trigger, or the memory did not fill, in time
        Download,        // nothing or not all of the recording arrived
        File,            // the capture file could not be created, written or put in place
    };
    Failure failure = Failure::None;
    std::string error; // what went wrong, in words for the user
    DownloadOutcome outcome;
    bool ok() const { return failure == Failure::None; }
};

/// The memory fill level 0..255, or nothing when the analyzer did not answer.
std::optional<int> ReadFillLevel();

/// Locks the analyzer in use (the first found unless UseAnalyzer chose another), stages `output`
/// (before anything is sent, so a bad path costs no recording), sets the trigger and speed, arms,
/// waits for the trigger and for full memory, and downloads into `output`. Each step is reported to
/// `progress` ("Armed", "Waiting for Trigger", "Triggered", "Wait For FIFO Full", "level N/255",
/// "Downloading"). The analyzer is disarmed again on every way out.
AcquireOnceResult AcquireOnce(const AcquireOnceOptions& options, const std::string& output,
                              const std::function<void(const std::string&)>& progress);

} // namespace vintrace::device
