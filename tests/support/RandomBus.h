#pragma once

#include "capture/PacketClass.h"
#include "capture/PacketList.h"
#include "capture/UsbCrc.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <random>
#include <vector>

namespace vintrace::test {

/// Packets of every kind in random order, a few with a wrong CRC or longer than kept:
/// grouping meets every way a transaction can end before a part's first SOF.
inline capture::PacketList RandomBus(std::size_t n, std::uint32_t seed) {
    using capture::RecordKind;
    static constexpr RecordKind kKinds[] = {
        RecordKind::Setup, RecordKind::Out,   RecordKind::In,     RecordKind::Ack,
        RecordKind::Nak,   RecordKind::Stall, RecordKind::Data0,  RecordKind::Data1,
        RecordKind::Sof,   RecordKind::Sof,   RecordKind::Unknown};
    std::mt19937 random(seed);
    capture::PacketList packets;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < n; ++i) {
        const RecordKind kind = kKinds[random() % std::size(kKinds)];
        bytes.clear();
        if (capture::IsToken(kind) || kind == RecordKind::Sof) {
            // A few devices and endpoints, so that pipes repeat; now and then a wrong CRC5.
            const std::uint16_t field =
                capture::WithCrc5(static_cast<std::uint16_t>(random() % 4 | (random() % 3) << 7));
            bytes = {static_cast<std::uint8_t>(field), static_cast<std::uint8_t>(field >> 8)};
            bytes[1] ^= random() % 10 == 0 ? 0x80 : 0;
        } else if (capture::IsData(kind)) {
            bytes.resize(random() % 12);
            for (std::uint8_t& b : bytes) {
                b = static_cast<std::uint8_t>(random());
            }
            const std::uint16_t crc = capture::Crc16(bytes);
            bytes.push_back(static_cast<std::uint8_t>(crc ^ (random() % 10 == 0)));
            bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
        } else if (kind == RecordKind::Unknown) {
            bytes = {static_cast<std::uint8_t>(random() % 2 == 0 ? 0x3C : 0x00)}; // PRE or not
        }
        // Now and then longer on the wire than what was kept.
        packets.append(kind, static_cast<std::uint8_t>(bytes.size() + (random() % 16 == 0)), bytes);
    }
    return packets;
}

} // namespace vintrace::test
