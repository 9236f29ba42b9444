#pragma once

#include "capture/EndpointTable.h"
#include "capture/PacketList.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace vintrace::capture {

/// Decodes the capture file format (2-byte units: marker, value; marker 1 starts a packet)
/// into a PacketList, one forward pass, in pieces of any size. Pure: no I/O, no globals.
class CaptureDecoder {
public:
    /// Appends to `out`, which must outlive the decoder.
    explicit CaptureDecoder(PacketList& out) : out_(out), cursor_(&out.tail_) {}

    /// Decodes the next piece of the file. A unit split across two pieces is joined.
    void feed(std::span<const std::uint8_t> piece);
    /// Completes the last record. A single byte left over (an odd file length) is dropped.
    void finish();

private:
    friend class ParallelDecoder;

    /// A decoder for one slice of a parallel decode: its records go to the header slots from
    /// `firstIndex` on, which the list already holds, and its bytes to `cursor`'s blocks.
    CaptureDecoder(PacketList& out, PacketList::ByteCursor& cursor, std::mutex& blockLock,
                   std::size_t firstIndex)
        : out_(out), cursor_(&cursor), blockLock_(&blockLock), appending_(false),
          next_(firstIndex) {}

    void unit(std::uint8_t marker, std::uint8_t value);
    void startRecord(std::uint8_t pid);
    void endRecord();
    void newBlock();
    /// Keeps the open record's bytes out of the cursor's way (reserving the most it can
    /// need), so that the cursor can serve other slices while the record waits for the
    /// units that continue it.
    void detachRecord();

    PacketList& out_;
    PacketList::ByteCursor* cursor_;
    EndpointLog* endpoints_ = nullptr;   // notes token records' pairs when set
    std::mutex* blockLock_ = nullptr;    // guards the list's blocks when threads share the list
    bool appending_ = true;              // grows the list; else fills header slots made beforehand
    std::size_t next_ = 0;               // the next header slot's index when not appending
    PacketList::Header* slot_ = nullptr; // that slot, once looked up
    PacketList::Header* slotEnd_ = nullptr; // the end of its chunk
    bool started_ = false;                  // a record is open
    bool detached_ = false;                 // the open record's bytes are already reserved
    bool havePending_ = false;              // the previous piece ended in the middle of a unit
    std::uint8_t pending_ = 0;
    // The record being filled: kept here rather than in its header so the hot loop works
    // on locals. Headers never move once written, so a pointer to it stays valid.
    PacketList::Header* header_ = nullptr;
    std::uint8_t* bytes_ = nullptr;
    std::uint32_t stored_ = 0;
    std::uint32_t capacity_ = 0;
    std::uint32_t received_ = 0;
};

/// Decodes a whole capture held in memory into `out` (appending), in one pass on one thread.
void ParseCaptureFile(std::span<const std::uint8_t> data, PacketList& out);

/// How a parallel decode cuts its input.
struct SliceOptions {
    unsigned threads = 0;            ///< 0: one per core
    std::size_t sliceBytes = 0;      ///< rounded up to whole units; 0: 1 to 4 MiB by threads
    std::size_t slicesPerWindow = 0; ///< 0: four per thread, in at most 64 MiB
};

/// Decodes a capture on several threads with the same result as CaptureDecoder.
///
/// The input arrives in windows (consecutive stretches of the file); each window is cut into
/// slices decoded in parallel. A packet belongs to the slice where its start unit is, so a
/// slice runs from its first start unit to the next slice's first start unit, and the units
/// before a window's first start unit continue the previous window's last packet. Records
/// are numbered before decoding by counting each slice's start units, so every slice writes
/// its records straight into their final places in `out`.
class ParallelDecoder {
public:
    /// Fills `dest` (the window's bytes from `offset`, `dest.size()` of them) and returns how
    /// many it filled; fewer ends the input there. Called from several threads at once.
    using Fill = std::function<std::size_t(std::uint64_t offset, std::span<std::uint8_t> dest)>;

    /// Appends to `out`, which must outlive the decoder.
    ParallelDecoder(PacketList& out, const SliceOptions& options);
    ~ParallelDecoder();
    ParallelDecoder(const ParallelDecoder&) = delete;
    ParallelDecoder& operator=(const ParallelDecoder&) = delete;

    /// Bytes per window (a whole number of units): the most readWindow() reads at once.
    std::size_t windowBytes() const { return sliceBytes_ * slicesPerWindow_; }
    unsigned threads() const { return threads_; }
    /// Notes the pairs of every token record decoded from here on in `log`, in record order,
    /// so that the endpoint table needs no pass over the store. `log` must outlive the decoder.
    void collectEndpoints(EndpointLog& log) { endpoints_ = &log; }

    /// Decodes the next part of the input, `data` (in windows of windowBytes()), which must
    /// be a whole number of units unless it is the last one.
    void window(std::span<const std::uint8_t> data);
    /// Reads the next window of `size` bytes (whole units, at most windowBytes()) into `buffer`
    /// with `fill`, slice by slice on the decoding threads, and decodes it. `offset` is where
    /// the window starts in the file. Returns the bytes read: fewer than `size` means the
    /// input ended.
    std::size_t readWindow(std::uint8_t* buffer, std::size_t size, std::uint64_t offset,
                           const Fill& fill);
    /// Completes the last record. A single byte left over (an odd file length) is dropped.
    void finish();

private:
    struct Slice;
    struct Pool;
    /// Runs task(i, thread) for i in [0, n) on the decoding threads.
    void parallel(std::size_t n, const std::function<void(std::size_t, unsigned)>& task);
    /// Counts the start units of slice i's bytes in `data`.
    void scan(Slice& slice, const std::uint8_t* data) const;
    /// Joins the scanned slices of a window of `length` bytes and decodes them.
    void decode(const std::uint8_t* data, std::size_t length);

    PacketList& out_;
    unsigned threads_;
    std::size_t sliceBytes_;
    std::size_t slicesPerWindow_;
    /// A thread's cursor, alone in its cache line: decoders bump it once per record, and
    /// two threads writing one line would pass it back and forth on every packet.
    struct alignas(64) ThreadCursor {
        PacketList::ByteCursor cursor;
    };
    std::vector<ThreadCursor> cursors_; // one per thread
    std::mutex blockLock_;
    std::vector<Slice> slices_;
    std::optional<CaptureDecoder> carry_; // owns the packet still open at a window's end
    EndpointLog* endpoints_ = nullptr;
    std::unique_ptr<Pool> pool_;
};

/// Decodes a whole capture held in memory into `out` (appending) on several threads.
/// Gives exactly the records ParseCaptureFile gives; notes token pairs in `endpoints` if set.
void ParseCaptureFileParallel(std::span<const std::uint8_t> data, PacketList& out,
                              const SliceOptions& options = {}, EndpointLog* endpoints = nullptr);

} // namespace vintrace::capture
