#pragma once

#include "capture/PcapFile.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

namespace vintrace::session {

/// Captures of at least this many records export on a worker: a record costs the export
/// ≈ 40 ns (vintrace-stall-bench), so 100 M records held the window for seconds. Below it an
/// export takes a few tens of milliseconds.
inline constexpr std::size_t kBackgroundExportRecords = std::size_t{1} << 20;
/// pcap files of at least this many bytes import on a worker; smaller ones convert in a few
/// tens of milliseconds.
inline constexpr std::uint64_t kBackgroundImportBytes = std::uint64_t{32} << 20;

/// Transfers views of at least this many items are saved as text or JSON on a worker.
inline constexpr std::size_t kBackgroundSaveItems = std::size_t{1} << 18;
/// Devices windows of at least this many devices are saved on a worker: a device's text takes
/// some 30 µs, and a reset loop enumerates tens of thousands.
inline constexpr std::size_t kBackgroundSaveDevices = 1024;

/// A file written on a thread of its own: a pcap export or import, or the Transfers or
/// Devices view saved as text. Each writes through a temporary file beside its target, so only one
/// that ends replaces anything, and reports as a pcap conversion does. An export or a save reads a
/// store (and its indexes) that nobody changes meanwhile: the session sees to that. Destroying the
/// job stops the worker within milliseconds (65,536 records, 4,096 items, 64 devices, or a megabyte
/// written) and waits for it.
class FileJob {
public:
    enum class Unit { Records, Bytes };
    using Work = std::function<capture::PcapResult(capture::PcapProgress&)>;

    /// Runs `work` with the job's progress; done() counts `unit`s of `total`.
    FileJob(Work work, Unit unit, std::uint64_t total);
    ~FileJob();
    FileJob(const FileJob&) = delete;
    FileJob& operator=(const FileJob&) = delete;

    /// Asks the worker to stop; the target stays as it was.
    void cancel() { progress_.stop.store(true); }
    /// Cancels and waits for the worker, which reads and writes nothing more then.
    void stop();
    /// True once the worker has returned; result() is usable from then on.
    bool finished() const { return finished_.load(std::memory_order_acquire); }
    /// Records (items, for a save) or bytes done so far, of total().
    std::uint64_t done() const {
        return (unit_ == Unit::Records ? progress_.records : progress_.bytes)
            .load(std::memory_order_relaxed);
    }
    std::uint64_t total() const { return total_; }
    /// How it ended, once finished(); PcapStatus::Stopped when it was cancelled.
    const capture::PcapResult& result() const { return result_; }

private:
    Unit unit_;
    std::uint64_t total_;
    capture::PcapProgress progress_;
    std::atomic<bool> finished_{false};
    capture::PcapResult result_;
    std::thread worker_;
};

} // namespace vintrace::session
