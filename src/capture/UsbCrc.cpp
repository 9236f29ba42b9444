#include "capture/UsbCrc.h"

#include <array>

namespace vintrace::capture {

namespace {

// Both CRCs are computed in the reflected form: USB sends every field least significant bit
// first, so shifting right consumes the bits in wire order and the result comes out in the
// bit order it is sent in.
constexpr std::uint16_t kCrc16Poly = 0xA001; // x^16 + x^15 + x^2 + 1, reflected

using Crc16Tables = std::array<std::array<std::uint16_t, 256>, 8>;

/// Table k advances the CRC over a byte followed by k zero bytes, so eight bytes are taken
/// in one step ("slicing by eight"): checking data packets is mostly this loop.
constexpr Crc16Tables MakeCrc16Tables() {
    Crc16Tables t{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 1) ? (crc >> 1) ^ kCrc16Poly : crc >> 1);
        }
        t[0][i] = crc;
    }
    for (std::size_t k = 1; k < t.size(); ++k) {
        for (unsigned i = 0; i < 256; ++i) {
            t[k][i] = static_cast<std::uint16_t>((t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF]);
        }
    }
    return t;
}

constexpr Crc16Tables kCrc16 = MakeCrc16Tables();

} // namespace

std::uint8_t Crc5(std::uint16_t data11) {
    return detail::kCrc5Table[data11 & 0x7FF];
}

std::uint16_t Crc16(std::span<const std::uint8_t> data) {
    std::uint16_t crc = 0xFFFF;
    const std::uint8_t* p = data.data();
    std::size_t n = data.size();
    for (; n >= 8; p += 8, n -= 8) {
        const auto b0 = static_cast<std::uint8_t>(p[0] ^ crc);
        const auto b1 = static_cast<std::uint8_t>(p[1] ^ (crc >> 8));
        crc = static_cast<std::uint16_t>(kCrc16[7][b0] ^ kCrc16[6][b1] ^ kCrc16[5][p[2]] ^
                                         kCrc16[4][p[3]] ^ kCrc16[3][p[4]] ^ kCrc16[2][p[5]] ^
                                         kCrc16[1][p[6]] ^ kCrc16[0][p[7]]);
    }
    for (; n > 0; ++p, --n) {
        crc = static_cast<std::uint16_t>((crc >> 8) ^ kCrc16[0][(crc ^ *p) & 0xFF]);
    }
    return static_cast<std::uint16_t>(~crc);
}

std::uint16_t WithCrc5(std::uint16_t elevenBits) {
    const auto bits = static_cast<std::uint16_t>(elevenBits & 0x7FF);
    return static_cast<std::uint16_t>(bits | Crc5(bits) << 11);
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
