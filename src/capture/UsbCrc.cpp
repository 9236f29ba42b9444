#include "capture/UsbCrc.h"

#include <array>

namespace vintrace::capture {

namespace {

// Both CRCs are computed in the reflected form: USB sends every field least significant bit
// first, so shifting right consumes the bits in wire order and the result comes out in the
// bit order it is sent in.
constexpr std::uint8_t kCrc5Poly = 0x14;     // x^5 + x^2 + 1, reflected
constexpr std::uint16_t kCrc16Poly = 0xA001; // x^16 + x^15 + x^2 + 1, reflected

constexpr std::array<std::uint16_t, 256> MakeCrc16Table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 1) ? (crc >> 1) ^ kCrc16Poly : crc >> 1);
        }
        table[i] = crc;
    }
    return table;
}

constexpr std::uint8_t ComputeCrc5(std::uint16_t data11) {
    std::uint8_t crc = 0x1F;
    for (int bit = 0; bit < 11; ++bit) {
        const bool feedback = ((crc ^ (data11 >> bit)) & 1) != 0;
        crc = static_cast<std::uint8_t>(crc >> 1);
        if (feedback) {
            crc ^= kCrc5Poly;
        }
    }
    return static_cast<std::uint8_t>(~crc & 0x1F);
}

// Every 11-bit field has its CRC looked up: checking millions of SOFs and tokens stays cheap.
constexpr std::array<std::uint8_t, 2048> MakeCrc5Table() {
    std::array<std::uint8_t, 2048> table{};
    for (unsigned i = 0; i < table.size(); ++i) {
        table[i] = ComputeCrc5(static_cast<std::uint16_t>(i));
    }
    return table;
}

constexpr auto kCrc16Table = MakeCrc16Table();
constexpr auto kCrc5Table = MakeCrc5Table();

} // namespace

std::uint8_t Crc5(std::uint16_t data11) {
    return kCrc5Table[data11 & 0x7FF];
}

std::uint16_t Crc16(std::span<const std::uint8_t> data) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t b : data) {
        crc = static_cast<std::uint16_t>((crc >> 8) ^ kCrc16Table[(crc ^ b) & 0xFF]);
    }
    return static_cast<std::uint16_t>(~crc);
}

bool TokenCrcMatches(std::uint8_t byte0, std::uint8_t byte1) {
    const auto field = static_cast<std::uint16_t>(byte0 | ((byte1 & 0x07) << 8));
    return Crc5(field) == (byte1 >> 3);
}

bool DataCrcMatches(std::span<const std::uint8_t> packet) {
    if (packet.size() < 2) {
        return false;
    }
    const std::size_t n = packet.size() - 2;
    const auto sent = static_cast<std::uint16_t>(packet[n] | (packet[n + 1] << 8));
    return Crc16(packet.first(n)) == sent;
}

} // namespace vintrace::capture
