#include "capture/UsbCrc.h"

namespace vintrace::capture {

std::uint8_t Crc5(std::uint16_t elevenBits) {
    // x^5 + x^2 + 1, shifted in least significant bit first, seeded with ones and inverted.
    std::uint8_t crc = 0x1F;
    for (int i = 0; i < 11; ++i) {
        const unsigned bit = (elevenBits >> i) & 1u;
        crc = ((crc ^ bit) & 1u) != 0 ? static_cast<std::uint8_t>((crc >> 1) ^ 0x14)
                                      : static_cast<std::uint8_t>(crc >> 1);
    }
    return static_cast<std::uint8_t>(~crc & 0x1F);
}

std::uint16_t WithCrc5(std::uint16_t elevenBits) {
    const auto bits = static_cast<std::uint16_t>(elevenBits & 0x7FF);
    return static_cast<std::uint16_t>(bits | Crc5(bits) << 11);
}

bool CheckCrc5(std::uint16_t field) {
    return WithCrc5(field & 0x7FF) == field;
}

std::uint16_t Crc16(std::span<const std::uint8_t> payload) {
    // x^16 + x^15 + x^2 + 1, least significant bit first, seeded with ones and inverted.
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t byte : payload) {
        crc ^= byte;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 1u) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                                  : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return static_cast<std::uint16_t>(~crc);
}

bool CheckCrc16(std::span<const std::uint8_t> payloadAndCrc) {
    if (payloadAndCrc.size() < 2) {
        return false;
    }
    const std::size_t n = payloadAndCrc.size() - 2;
    const std::uint16_t sent =
        static_cast<std::uint16_t>(payloadAndCrc[n] | payloadAndCrc[n + 1] << 8);
    return Crc16(payloadAndCrc.first(n)) == sent;
}

} // namespace vintrace::capture
