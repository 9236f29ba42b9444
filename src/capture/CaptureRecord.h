#pragma once

#include "capture/RecordKind.h"

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>

namespace vintrace::capture {

/// One decoded packet, as read from the PacketList. A light value: `bytes` views the
/// store's memory and stays valid until the list is changed.
struct CaptureRecord {
    RecordKind kind = RecordKind::Unknown;
    /// Bytes that followed the PID in the file (plus the PID itself for UNKNOWN), modulo 256.
    std::uint8_t length = 0;
    /// The stored bytes: the first min(received, capacity) bytes. For UNKNOWN the PID first.
    std::span<const std::uint8_t> bytes;
    /// Tokens only: 7-bit device address, 0 when no byte followed the PID.
    std::uint8_t address = 0;
    /// Tokens only: 4-bit endpoint number, 0 when fewer than two bytes followed the PID.
    std::uint8_t endpoint = 0;

    /// Byte i as received, or 0 where nothing was stored (a cut packet).
    std::uint8_t byteAt(std::size_t i) const { return i < bytes.size() ? bytes[i] : 0; }

    friend bool operator==(const CaptureRecord& a, const CaptureRecord& b);
};

/// Human-readable form for test failures: "IN len=2 addr=5 ep=1 [85 00]".
std::string ToString(const CaptureRecord& r);
std::ostream& operator<<(std::ostream& os, const CaptureRecord& r);

} // namespace vintrace::capture
