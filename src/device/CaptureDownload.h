#pragma once

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
        Written,         // the recording is in the target file
        NothingReceived, // the analyzer delivered no byte; the previous file is kept
        FileError,       // the file could not be created or written; the previous file is kept
        TransferFailed,  // a transfer failed and the caller wanted all or nothing
    };
    Status status = Status::NothingReceived;
    std::uint64_t bytes = 0;
    std::int32_t blocks = 0;
    std::string reason; // the system's words for a file error
};

/// Downloads the analyzer's recording into `target`: the blocks are written unchanged, in
/// order, ending at the first short block or after the most blocks. They go to a temporary
/// file beside the target, which replaces it only once the download has ended with data, so
/// a failed download never destroys the previous capture. `blockCount` counts the blocks
/// written, for a progress display on another thread. A failed transfer ends the download;
/// what arrived before it is kept, unless `keepPartial` is false (then the previous file is).
DownloadOutcome DownloadCapture(Analyzer& analyzer, const std::string& target,
                                std::atomic<std::int32_t>& blockCount, bool keepPartial = true);

} // namespace vintrace::device
