#pragma once

#include "device/Analyzer.h"
#include "device/CaptureDownload.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace vintrace::device {

/// The download worker: moves the analyzer's recording into the capture file on a thread of
/// its own. It shares with the window only the two atomics it is given; when it has ended it
/// sets `state` to `doneState`, after the file is closed and in place. A set `cancel` stops it
/// between two blocks.
class USBReadThread {
public:
    /// Starts at once. Everything passed must outlive the thread.
    USBReadThread(Analyzer& analyzer, std::string target, std::atomic<std::int32_t>& blockCount,
                  std::atomic<std::uint8_t>& state, std::uint8_t doneState,
                  const std::atomic<bool>& cancel);
    /// Waits for the download to end.
    ~USBReadThread();
    USBReadThread(const USBReadThread&) = delete;
    USBReadThread& operator=(const USBReadThread&) = delete;

    /// How the download ended; read it only once `state` says so.
    const DownloadOutcome& outcome() const { return outcome_; }

private:
    DownloadOutcome outcome_;
    std::thread thread_;
};

} // namespace vintrace::device
