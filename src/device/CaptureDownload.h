#pragma once

#include "capture/StagedFile.h"
#include "device/Analyzer.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace vintrace::device {

/// Block sizes of a download: a first block of 2048 bytes, then blocks of 512, at most 512
/// blocks in all (263,680 bytes).
inline constexpr std::uint32_t kFirstBlockSize = 2048;
inline constexpr std::uint32_t kBlockSize = 512;
inline constexpr std::int32_t kMaxBlocks = 512;

/// How a download ended.
struct DownloadOutcome {
    enum class Status {
        Written,         // the whole recording is in the target file
        Incomplete,      // a transfer failed midway: what arrived is in `file`, a new file
        NothingReceived, // the analyzer delivered no byte; no file was written
        FileError,       // a file could not be created, written or moved; none was replaced
        Cancelled,       // stopped on request between two blocks; no file was written
    };
    Status status = Status::NothingReceived;
    std::uint64_t bytes = 0;
    std::int32_t blocks = 0;
    std::string reason; // the system's words for a file error
    std::string file;   // where the recording now is (Written, Incomplete)
};

/// Downloads the analyzer's recording into `staged` (open, beside its target): the blocks are
/// written unchanged, in order, ending at the first short block or after the most blocks. A
/// complete recording then moves onto the target, replacing an existing file only when
/// `replace`. A download cut short by a failed transfer is never taken for a complete one: it
/// is kept under a new name beside the target (IncompleteName) and the target is left alone.
/// `blockCount` counts the blocks written, for a progress display on another thread; a set
/// `cancel` stops the download before the next block and discards what was written.
DownloadOutcome DownloadCapture(Analyzer& analyzer, capture::StagedFile& staged, bool replace,
                                std::atomic<std::int32_t>& blockCount,
                                const std::atomic<bool>* cancel = nullptr);

/// The same, staged beside `target`, which a complete recording replaces.
DownloadOutcome DownloadCapture(Analyzer& analyzer, const std::string& target,
                                std::atomic<std::int32_t>& blockCount,
                                const std::atomic<bool>* cancel = nullptr);

/// The `n`th name (from 1) tried for an incomplete download of `target`:
/// "usbdata.dat" gives "usbdata-incomplete.dat", then "usbdata-incomplete-2.dat", ...
std::string IncompleteName(const std::string& target, int n);

} // namespace vintrace::device
