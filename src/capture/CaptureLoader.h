#pragma once

#include "capture/EndpointTable.h"
#include "capture/PacketList.h"

#include <string>

namespace vintrace::capture {

/// How a load ended. `Loaded` also covers an empty file.
enum class LoadStatus {
    Loaded,
    CannotOpen, // missing, unreadable, a directory...: nothing was loaded
    ReadError,  // the file opened but reading failed part-way: what was read is kept
};

struct LoadResult {
    LoadStatus status = LoadStatus::Loaded;
    std::string reason; // the operating system's words for a failure, empty on success

    bool ok() const { return status == LoadStatus::Loaded; }
};

/// Loads the capture file at `path` into an empty store: decodes it into `packets`, then
/// builds `table`. The file is only read, so a read-only capture loads. When the file cannot
/// be opened nothing changes.
LoadResult LoadCaptureFile(const std::string& path, PacketList& packets, EndpointTable& table);

} // namespace vintrace::capture
