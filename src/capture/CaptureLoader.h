#pragma once

#include "capture/EndpointTable.h"
#include "capture/PacketList.h"

#include <cstdio>
#include <string>

namespace vintrace::capture {

/// How a load ended. `Loaded` also covers an empty file.
enum class LoadStatus {
    Loaded,
    CannotOpen, // missing, unreadable, not a regular file...: nothing was loaded
    ReadError,  // the file opened but reading failed part-way: what was read is kept
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

} // namespace vintrace::capture
