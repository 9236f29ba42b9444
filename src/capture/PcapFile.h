#pragma once

#include "capture/PacketList.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>

namespace vintrace::capture {

/// The pcap link types that carry one USB packet per record, PID byte first.
enum class UsbLinkType : std::uint16_t {
    Usb20 = 288,     // LINKTYPE_USB_2_0: any speed
    LowSpeed = 293,  // LINKTYPE_USB_2_0_LOW_SPEED
    FullSpeed = 294, // LINKTYPE_USB_2_0_FULL_SPEED
};

/// True for 288, 293 and 294.
bool IsUsbLinkType(int linkType);

enum class PcapStatus {
    Ok,
    CannotOpen,       // the input could not be opened or read
    CannotWrite,      // the output could not be created, written or moved into place
    TargetExists,     // the output exists and overwriting was not asked for
    TargetNotRegular, // the output is a directory, device, FIFO...: never replaced
    BadFile,          // not a pcap/pcapng file, truncated, or a record of absurd length
    WrongLinkType,
    Stopped, // asked to stop before the end: nothing was written to the target
};

/// What another thread sees of an export or import while it runs, and how it stops one: an
/// export checks `stop` every 65,536 records, an import every megabyte it writes.
struct PcapProgress {
    std::atomic<std::uint64_t> records{0}; // records written so far
    std::atomic<std::uint64_t> bytes{0};   // import: bytes of the pcap read, about
    std::atomic<bool> stop{false};
};

/// How an export or import ended. On failure nothing was written to the target.
struct PcapResult {
    PcapStatus status = PcapStatus::Ok;
    std::string file;                    // the file the failure concerns
    std::string reason;                  // what went wrong, for the user
    std::optional<std::uint64_t> offset; // byte offset in `file` where the input went wrong
    std::uint64_t records = 0;           // records written
    std::uint64_t emptyRecords = 0;      // import: records without even a PID byte, skipped
    bool highSpeed = false;              // import: packets only a high-speed bus carries
    /// Import: records longer than a capture record keeps (CapacityOf), which load with their
    /// first bytes only and a length counted modulo 256; and the longest of them, PID included.
    std::uint64_t cutRecords = 0;
    std::uint32_t longestCut = 0;
    /// ImportPcapBeside: the capture file the import left, and whether it was there already.
    std::string target;
    bool reused = false;

    bool ok() const { return status == PcapStatus::Ok; }
};

/// Longest record accepted on import: a PID, 1024 payload bytes and a CRC16 is the largest
/// packet USB knows; anything longer is a damaged length field.
inline constexpr std::uint32_t kMaxUsbRecord = 1 + 1024 + 2;

/// Assigns export timestamps, since the capture format has none: SOFs advance the clock by
/// 1 ms per frame number (modulo 2048), other records follow 1 µs apart. Always increasing.
class ExportClock {
public:
    /// Microseconds since the start of the capture for the next record.
    std::uint64_t next(const CaptureRecord& r);

private:
    std::uint64_t last_ = 0;
    std::uint64_t frameStart_ = 0;
    std::optional<std::uint16_t> frame_;
    bool first_ = true;
};

/// Writes every record of `packets` as one pcap record (the PID byte, then the stored bytes;
/// for UNKNOWN the stored bytes, PID first) into `path`, via a temporary file beside it.
/// Replaces only a regular file, and only with `overwrite`. `progress` (may be null) counts
/// the records written and stops the export, which then leaves the target as it was.
PcapResult ExportPcap(const PacketList& packets, const std::string& path, UsbLinkType linkType,
                      bool overwrite, PcapProgress* progress = nullptr);

/// Writes the same pcap to an open stream (standard output, a pipe) and flushes it; `name`
/// is used in the result. The stream stays open. Without `withHeader` only the records are
/// written, after a header sent earlier by WritePcapHeader.
PcapResult WritePcap(const PacketList& packets, std::FILE* out, const std::string& name,
                     UsbLinkType linkType, bool withHeader = true,
                     PcapProgress* progress = nullptr);

/// Writes and flushes the pcap file header alone, so a reader learns the link type before the
/// records exist; false when it could not be written.
bool WritePcapHeader(std::FILE* out, UsbLinkType linkType);

/// Receives the records of a pcap file in order.
class PcapRecordSink {
public:
    virtual ~PcapRecordSink() = default;
    /// One record's bytes (possibly empty); false stops reading with a write failure.
    virtual bool record(std::span<const std::uint8_t> bytes) = 0;
};

/// Reads a classic pcap or pcapng stream of a USB link type and passes each record to
/// `sink`. `name` is used in the result. Takes ownership of `in` and closes it.
PcapResult ReadPcap(std::FILE* in, const std::string& name, PcapRecordSink& sink);

/// Converts the pcap or pcapng file `pcapPath` (a regular file) into a capture file `datPath`
/// (`01 PID`, then `00 b` per following byte), via a temporary file beside it. Replaces only a
/// regular file, and only with `overwrite`.
PcapResult ImportPcap(const std::string& pcapPath, const std::string& datPath, bool overwrite);

/// Most names ImportPcapBeside tries: `datPath`, then "-2" to "-100" before its extension.
inline constexpr int kImportNames = 100;

/// Imports as ImportPcap does, never replacing anything: into `datPath` when it is free, else
/// into the first free "<name>-N<extension>" beside it. A regular file among those names that
/// already holds exactly the bytes this import makes (the same capture imported before) is
/// taken as it is instead (`reused`). The comparison is of every byte, so no file can pass
/// for an import it is not. `target` names the capture file in both cases.
/// `progress` (may be null) follows and stops the conversion as ExportPcap's does; a stopped
/// import leaves nothing behind.
PcapResult ImportPcapBeside(const std::string& pcapPath, const std::string& datPath,
                            PcapProgress* progress = nullptr);

} // namespace vintrace::capture
