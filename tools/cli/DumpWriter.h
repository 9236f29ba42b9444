#pragma once

#include "capture/PacketList.h"

#include <cstdio>
#include <string>

namespace vintrace::cli {

/// Writes records as `dump` lines: index, kind, length, address, endpoint, bytes, separated
/// by one TAB. Buffers its output, since a capture can hold hundreds of millions of lines.
class DumpWriter {
public:
    explicit DumpWriter(std::FILE* out);
    ~DumpWriter();
    DumpWriter(const DumpWriter&) = delete;
    DumpWriter& operator=(const DumpWriter&) = delete;

    /// Appends the line of `record`, numbered `index`.
    void write(std::size_t index, const capture::CaptureRecord& record);
    /// Flushes; false when the output could not be written (a full disk, a closed pipe).
    bool flush();

private:
    std::FILE* out_;
    std::string buffer_;
    bool failed_ = false;
};

/// Dumps every record of `packets`; false when the output could not be written.
bool DumpAll(const capture::PacketList& packets, std::FILE* out);

} // namespace vintrace::cli
