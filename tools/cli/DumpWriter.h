#pragma once

#include "capture/PacketList.h"

#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace vintrace::cli {

class LineFormatter;

/// Writes records as `dump` lines: index, kind, length, address, endpoint, bytes, separated
/// by one TAB. A capture can hold hundreds of millions of lines, so each field is copied from
/// a table into a large buffer that goes out in few, large writes.
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
    void append(std::string_view text);
    void writeOut();

    std::FILE* out_;
    std::unique_ptr<char[]> buffer_;
    char* at_;      // where the next character goes
    char* flushAt_; // a whole line without extra columns still fits below the end
    std::unique_ptr<LineFormatter> lines_;
    bool failed_ = false;
};

/// Dumps every record of `packets`; false when the output could not be written.
bool DumpAll(const capture::PacketList& packets, std::FILE* out);

/// DumpAll with the lines formatted on `threads` threads (0: one per core), `batch` records at
/// a time, and written in order from the calling thread. The output is the same.
bool DumpAll(const capture::PacketList& packets, std::FILE* out, unsigned threads,
             std::size_t batch);

/// Extra columns for `dump`, in this order when both are asked for.
struct DumpColumns {
    bool check = false;  // the record's findings: "ok" or "crc5,toggle"...
    bool decode = false; // a SETUP's request decoded, else empty
};

/// Dumps every record with the chosen extra columns; false when the output failed.
bool DumpAll(const capture::PacketList& packets, std::FILE* out, DumpColumns columns);

} // namespace vintrace::cli
