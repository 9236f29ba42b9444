#pragma once

#include "capture/PacketList.h"
#include "capture/PcapFile.h"

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <thread>

namespace vintrace::session {

/// Captures of at least this many records export on a worker: a record costs the export
/// ≈ 40 ns (vintrace-stall-bench), so 100 M records held the window for seconds. Below it an
/// export takes a few tens of milliseconds.
inline constexpr std::size_t kBackgroundExportRecords = std::size_t{1} << 20;

/// Writes a pcap of a store that nobody changes meanwhile (the session sees to that) on a
/// thread of its own, through a temporary file beside the target: only an export that ends
/// replaces it. Destroying the job stops the worker within 65,536 records (a few
/// milliseconds) and waits for it.
class BackgroundExport {
public:
    BackgroundExport(const capture::PacketList& packets, std::string path,
                     capture::UsbLinkType linkType);
    ~BackgroundExport();
    BackgroundExport(const BackgroundExport&) = delete;
    BackgroundExport& operator=(const BackgroundExport&) = delete;

    const std::string& path() const { return path_; }
    /// Asks the worker to stop; the target stays as it was.
    void cancel() { progress_.stop.store(true); }
    /// Cancels and waits for the worker, which no longer reads the store then.
    void stop();
    /// True once the worker has returned; result() is usable from then on.
    bool finished() const { return finished_.load(std::memory_order_acquire); }
    /// Records written so far, of total().
    std::size_t done() const {
        return static_cast<std::size_t>(progress_.records.load(std::memory_order_relaxed));
    }
    std::size_t total() const { return total_; }
    /// How the export ended, once finished(); PcapStatus::Stopped when it was cancelled.
    const capture::PcapResult& result() const { return result_; }

private:
    std::string path_;
    std::size_t total_ = 0;
    capture::PcapProgress progress_;
    std::atomic<bool> finished_{false};
    capture::PcapResult result_;
    std::thread worker_;
};

} // namespace vintrace::session
