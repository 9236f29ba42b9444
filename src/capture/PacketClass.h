#pragma once

#include "capture/PacketList.h"
#include "capture/RecordKind.h"

#include <cstddef>
#include <cstdint>

namespace vintrace::capture {

// The packet classes by name. Search, hide, check and grouping ask here instead of comparing
// kind numbers. The three basic classes (IsToken, IsData, IsHandshake) live with the kinds in
// RecordKind.h because the store itself needs them (capacities, token fields).

/// Wire PID of the low-speed preamble (PRE), which the store keeps as an UNKNOWN record.
inline constexpr std::uint8_t kPreamblePid = 0x3C;

/// True for SOF.
constexpr bool IsSof(RecordKind k) {
    return k == RecordKind::Sof;
}
/// True for the IN token, after which the device sends the data.
constexpr bool IsInToken(RecordKind k) {
    return k == RecordKind::In;
}
/// True for SETUP and OUT, after which the host sends the data.
constexpr bool IsHostDataToken(RecordKind k) {
    return k == RecordKind::Setup || k == RecordKind::Out;
}
/// True for the packets that continue a transaction after its token: data and handshakes.
constexpr bool ContinuesTransaction(RecordKind k) {
    return IsData(k) || IsHandshake(k);
}
/// True for the packets a NAK can directly follow and refuse: SETUP and IN tokens and data
/// packets (an OUT token is followed by its data, never by the NAK itself).
constexpr bool IsRefusable(RecordKind k) {
    return k == RecordKind::Setup || k == RecordKind::In || IsData(k);
}
/// The data toggle a data packet carries: 0 for DATA0, 1 for DATA1.
constexpr int DataToggle(RecordKind k) {
    return k == RecordKind::Data1 ? 1 : 0;
}

/// True when record i is a low-speed preamble, sent ahead of each low-speed packet of the host.
bool IsPreamble(const PacketList& packets, std::size_t i);

/// Payload bytes on the wire of a data record: its length without the CRC16 (0 if shorter).
inline std::size_t PayloadLength(const PacketList& packets, std::size_t i) {
    const std::uint8_t length = packets[i].length;
    return length >= 2 ? length - 2u : 0u;
}

} // namespace vintrace::capture
