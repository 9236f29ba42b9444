#pragma once

#include "capture/PacketList.h"

#include <cstdint>
#include <span>

namespace vintrace::capture {

/// Decodes the capture file format (2-byte units: marker, value; marker 1 starts a packet)
/// into a PacketList, one forward pass, in pieces of any size. Pure: no I/O, no globals.
class CaptureDecoder {
public:
    /// Appends to `out`, which must outlive the decoder.
    explicit CaptureDecoder(PacketList& out) : out_(out) {}

    /// Decodes the next piece of the file. A unit split across two pieces is joined.
    void feed(std::span<const std::uint8_t> piece);
    /// Completes the last record. A single byte left over (an odd file length) is dropped.
    void finish();

private:
    void unit(std::uint8_t marker, std::uint8_t value);
    void startRecord(std::uint8_t pid);
    void endRecord();

    PacketList& out_;
    bool started_ = false;     // a start unit has been seen
    bool havePending_ = false; // the previous piece ended in the middle of a unit
    std::uint8_t pending_ = 0;
    // The record being filled: kept here rather than in its header so the hot loop works
    // on locals. Headers never move once written, so a pointer to it stays valid.
    PacketList::Header* header_ = nullptr;
    std::uint8_t* bytes_ = nullptr;
    std::uint32_t stored_ = 0;
    std::uint32_t capacity_ = 0;
    std::uint32_t received_ = 0;
};

/// Decodes a whole capture held in memory into `out` (appending).
void ParseCaptureFile(std::span<const std::uint8_t> data, PacketList& out);

} // namespace vintrace::capture
