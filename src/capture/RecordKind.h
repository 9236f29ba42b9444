#pragma once

#include <cstdint>
#include <string_view>

namespace vintrace::capture {

/// The kind of one decoded packet; the numeric codes are part of the record format.
/// Scoped names avoid the Windows headers' IN/OUT macros.
enum class RecordKind : std::uint8_t {
    Setup = 0,
    Out = 1,
    In = 2,
    Ack = 3,
    Nak = 4,
    Stall = 5,
    Data0 = 6,
    Data1 = 7,
    Sof = 8,
    Unknown = 9,
    Hidden = 10, // transient mark used only inside hide commands
};

inline constexpr int kRecordKindCount = 11;

/// True for SETUP, OUT and IN.
constexpr bool IsToken(RecordKind k) {
    return static_cast<std::uint8_t>(k) < 3;
}
/// True for ACK, NAK and STALL.
constexpr bool IsHandshake(RecordKind k) {
    return k == RecordKind::Ack || k == RecordKind::Nak || k == RecordKind::Stall;
}
/// True for DATA0 and DATA1.
constexpr bool IsData(RecordKind k) {
    return k == RecordKind::Data0 || k == RecordKind::Data1;
}

/// Number of bytes a record of this kind can hold: 66 for data and unknown packets, else 2.
constexpr std::uint8_t CapacityOf(RecordKind k) {
    return (IsData(k) || k == RecordKind::Unknown) ? 66 : 2;
}

/// Upper-case name as printed by the CLI: SETUP, OUT, ..., SOF, UNKNOWN, HIDDEN.
std::string_view KindName(RecordKind k);

/// Kind for a PID byte as it stands on the wire (check nibble included); UNKNOWN otherwise.
RecordKind KindOfPid(std::uint8_t pid);

/// The wire PID byte of a known kind (0 for UNKNOWN and HIDDEN).
std::uint8_t PidOfKind(RecordKind k);

} // namespace vintrace::capture
