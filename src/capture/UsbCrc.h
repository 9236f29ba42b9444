#pragma once

#include <cstdint>
#include <span>

namespace vintrace::capture {

/// The 5-bit CRC of an 11-bit token or SOF field (bits 0-10 as sent, least significant
/// first), inverted as sent: the value that stands in the top 5 bits of the packet's second
/// byte.
std::uint8_t Crc5(std::uint16_t data11);

/// The CRC16 of a data payload as sent, inverted: the wire carries it low byte first.
std::uint16_t Crc16(std::span<const std::uint8_t> data);

/// The 16-bit token/SOF field as sent: the 11 bits with their CRC5 in bits 11 to 15.
std::uint16_t WithCrc5(std::uint16_t elevenBits);

/// True when a token's or SOF's two bytes carry the CRC5 of their 11-bit field.
bool TokenCrcMatches(std::uint8_t byte0, std::uint8_t byte1);

/// True when `packet` (payload then two CRC bytes, at least 2 bytes) ends in the payload's
/// CRC16.
bool DataCrcMatches(std::span<const std::uint8_t> packet);

} // namespace vintrace::capture
