#pragma once

#include "capture/PacketList.h"

#include <cstdio>
#include <span>
#include <string>
#include <string_view>

namespace vintrace::cli {

/// Writes records as `dump` lines: index, kind, length, address, endpoint, bytes, separated
/// by one TAB. Buffers its output, since a capture can hold hundreds of millions of lines.
class DumpWriter {
public:
    explicit DumpWriter(std::FILE* out);
    ~DumpWriter();
    DumpWriter(const DumpWriter&) = delete;
    DumpWriter& operator=(const DumpWriter&) = delete;

    /// Appends the line of `record`, numbered `index`, then `extra` columns, each after a TAB.
    void write(std::size_t index, const capture::CaptureRecord& record,
               std::span<const std::string_view> extra = {});
    /// Flushes; false when the output could not be written (a full disk, a closed pipe).
    bool flush();

private:
    std::FILE* out_;
    std::string buffer_;
    bool failed_ = false;
};

/// Dumps every record of `packets`; false when the output could not be written.
bool DumpAll(const capture::PacketList& packets, std::FILE* out);

/// Extra columns for `dump`, in this order when both are asked for.
struct DumpColumns {
    bool check = false;  // the record's findings: "ok" or "crc5,toggle"...
    bool decode = false; // a SETUP's request decoded, else empty
};

/// Dumps every record with the chosen extra columns; false when the output failed.
bool DumpAll(const capture::PacketList& packets, std::FILE* out, DumpColumns columns);

} // namespace vintrace::cli
