#pragma once

#include <array>
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

namespace detail {

constexpr std::uint8_t ComputeCrc5(std::uint16_t data11) {
    // Reflected (x^5 + x^2 + 1): USB sends the field least significant bit first.
    std::uint8_t crc = 0x1F;
    for (int bit = 0; bit < 11; ++bit) {
        const bool feedback = ((crc ^ (data11 >> bit)) & 1) != 0;
        crc = static_cast<std::uint8_t>(crc >> 1);
        if (feedback) {
            crc ^= 0x14;
        }
    }
    return static_cast<std::uint8_t>(~crc & 0x1F);
}

constexpr std::array<std::uint8_t, 2048> MakeCrc5Table() {
    std::array<std::uint8_t, 2048> table{};
    for (unsigned i = 0; i < table.size(); ++i) {
        table[i] = ComputeCrc5(static_cast<std::uint16_t>(i));
    }
    return table;
}

/// The CRC5 of every 11-bit field.
inline constexpr std::array<std::uint8_t, 2048> kCrc5Table = MakeCrc5Table();

} // namespace detail

/// True when a token's or SOF's two bytes carry the CRC5 of their 11-bit field. Inline:
/// grouping checks every token and SOF of a capture.
inline bool TokenCrcMatches(std::uint8_t byte0, std::uint8_t byte1) {
    return detail::kCrc5Table[byte0 | (byte1 & 0x07) << 8] == (byte1 >> 3);
}

/// True when `packet` (payload then two CRC bytes, at least 2 bytes) ends in the payload's
/// CRC16.
bool DataCrcMatches(std::span<const std::uint8_t> packet);

} // namespace vintrace::capture
