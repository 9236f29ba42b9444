#pragma once

#include "capture/EndpointTable.h"
#include "capture/PacketList.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace vintrace::capture {

/// How a load ended. `Loaded` also covers an empty file.
enum class LoadStatus {
    Loaded,
    CannotOpen, // missing, unreadable, not a regular file...: nothing was loaded
    ReadError,  // the file opened but reading failed part-way: what was read is kept
    Cancelled,  // stopped on request: the store was left empty
};

struct LoadResult {
    LoadStatus status = LoadStatus::Loaded;
    std::string reason; // the operating system's words for a failure, empty on success

    bool ok() const { return status == LoadStatus::Loaded; }
};

/// Opens `path` for reading, in binary, only if it is a regular file: a device would never
/// end (/dev/zero) or grow without bound (/dev/urandom), and a FIFO would block. Never blocks
/// on opening. nullptr with `reason` set ("not a regular file", or the system's words).
std::FILE* OpenRegularFile(const std::string& path, std::string& reason);

/// Loads the capture file at `path` into an empty store: decodes it into `packets`, then
/// builds `table`. The file is only read, so a read-only capture loads. When the file cannot
/// be opened, or is not a regular file, nothing changes.
LoadResult LoadCaptureFile(const std::string& path, PacketList& packets, EndpointTable& table);

/// How a load runs. Everything is optional; a load can run on any thread, so a caller that
/// must stay responsive loads into a store of its own on a worker and swaps it in when the
/// load ends with `Loaded`, keeping its previous capture otherwise.
struct LoadOptions {
    /// Decoding threads; 0: one per core.
    unsigned threads = 0;
    /// Called on the loading thread after each stretch of the file (tens of megabytes), with
    /// the bytes done so far and the file's size when it was opened.
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
    /// When it becomes true (from any thread), the load stops at the next stretch, empties
    /// the store and returns `Cancelled`.
    const std::atomic<bool>* cancel = nullptr;
};

/// LoadCaptureFile with a choice of threads, progress and cancellation.
LoadResult LoadCaptureFile(const std::string& path, PacketList& packets, EndpointTable& table,
                           const LoadOptions& options);

} // namespace vintrace::capture
