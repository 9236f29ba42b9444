#pragma once

#include "capture/PacketList.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vintrace::capture {

/// What is wrong with one record, as bits; 0 when nothing is.
using Findings = std::uint8_t;

inline constexpr Findings kFindingCrc5 = 1 << 0;  // token or SOF whose CRC5 does not match
inline constexpr Findings kFindingCrc16 = 1 << 1; // data packet whose CRC16 does not match
inline constexpr Findings kFindingPid = 1 << 2;   // identifier whose check nibble is wrong
/// Token or SOF not 2 bytes long, handshake with bytes, data packet too short for its CRC,
/// or a data packet whose length count wrapped (256 bytes or more received).
inline constexpr Findings kFindingLength = 1 << 3;
/// DATA0/DATA1 not the one the endpoint expects (see CheckCapture).
inline constexpr Findings kFindingToggle = 1 << 4;
/// ACK, NAK or STALL that answers no data packet or IN token.
inline constexpr Findings kFindingHandshake = 1 << 5;

/// Checks every record of `packets`; element i holds the findings of record i.
///
/// Data toggles are followed per device address, endpoint and direction. A SETUP expects
/// DATA0, and once that is ACKed both directions of the endpoint expect DATA1 (data and
/// status stages). Any other ACKed data packet makes its endpoint expect the other toggle
/// next. A data packet that follows no token, or an endpoint not yet seen, is not judged;
/// a mismatch is reported once and the seen toggle is taken as the new state.
/// SET_CONFIGURATION and SET_INTERFACE reset the device's other endpoints to DATA0, and
/// CLEAR_FEATURE(ENDPOINT_HALT) the endpoint it names. Low-speed preambles are skipped.
std::vector<Findings> CheckCapture(const PacketList& packets);

/// "ok", or the names of the findings joined by commas in a fixed order:
/// crc5, crc16, pid, length, toggle, handshake.
std::string FindingsText(Findings f);

} // namespace vintrace::capture
