#pragma once

#include <cstdint>
#include <span>

namespace vintrace::capture {

// The CRCs of USB 1.1 packets, as values in the bit order the bus sends (least significant
// bit first), so they drop straight into the little-endian packet fields.

/// CRC5 of the 11 bits of a token (address | endpoint << 7) or an SOF (frame number).
std::uint8_t Crc5(std::uint16_t elevenBits);

/// The 16-bit token/SOF field: the 11 bits with their CRC5 in bits 11 to 15.
std::uint16_t WithCrc5(std::uint16_t elevenBits);

/// True when the CRC5 in bits 11 to 15 of a token/SOF field matches its low 11 bits.
bool CheckCrc5(std::uint16_t field);

/// CRC16 of a data packet's payload; sent low byte first after the payload.
std::uint16_t Crc16(std::span<const std::uint8_t> payload);

/// True when the last two bytes are the CRC16 of the bytes before them.
bool CheckCrc16(std::span<const std::uint8_t> payloadAndCrc);

} // namespace vintrace::capture
