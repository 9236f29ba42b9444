#include "capture/CaptureStats.h"
#include "capture/CaptureDecoder.h"
#include "capture/UsbCrc.h"
#include "support/CaptureBytes.h"

#include <gtest/gtest.h>

#include <vector>

namespace vintrace::capture {
namespace {

using test::Append;
using test::Hex;
using test::Packet;

PacketList Capture(const std::vector<std::vector<std::uint8_t>>& packets) {
    std::vector<std::uint8_t> dat;
    for (const auto& p : packets) {
        Append(dat, Packet(p[0], {p.begin() + 1, p.end()}));
    }
    PacketList list;
    ParseCaptureFile(dat, list);
    return list;
}

/// A SOF with a good CRC5.
std::vector<std::uint8_t> Sof(unsigned frame) {
    const auto crc = Crc5(static_cast<std::uint16_t>(frame));
    return {0xA5, static_cast<std::uint8_t>(frame),
            static_cast<std::uint8_t>((frame >> 8) | (crc << 3))};
}

TEST(CaptureStats, AttributesTransactionsToTheirEndpoint) {
    const PacketList list = Capture({
        Hex("69 83 E0"), Hex("5A"),                  // IN 3/1, NAK
        Hex("69 83 E0"), Hex("4B 00 00"), Hex("D2"), // IN 3/1, DATA1, ACK
        Hex("E1 03 79"), Hex("C3 00 00"), Hex("1E"), // OUT 3/2, DATA0, STALL
        Hex("5A"),                                   // a NAK answering nothing
        Hex("C3 00 00"),                             // data outside a transaction
    });
    const CaptureStats s = ComputeStats(list, CheckCapture(list));
    EXPECT_EQ(s.packets, 10u);
    EXPECT_EQ(s.perKind[static_cast<int>(RecordKind::Nak)], 2u);
    ASSERT_EQ(s.endpoints.size(), 2u);
    EXPECT_EQ(s.endpoints[0], (EndpointStats{3, 1, 0, 0, 2, 1, 1, 1, 0}));
    EXPECT_EQ(s.endpoints[1], (EndpointStats{3, 2, 0, 1, 0, 1, 0, 0, 1}));
    EXPECT_DOUBLE_EQ(s.endpoints[0].nakRatio(), 0.5);
    EXPECT_DOUBLE_EQ(s.endpoints[1].nakRatio(), 0.0);
    // Bit times: 10 packets of sync and end of packet, 22 bytes with the PIDs.
    EXPECT_EQ(s.busBits, 10u * 11 + 22u * 8);
    EXPECT_FALSE(BusUtilisation(s, 12000));
}

TEST(CaptureStats, CoversFramesAcrossTheWrapAndCountsCrcErrors) {
    const PacketList list = Capture(
        {Sof(2046), Sof(2047), Sof(1), Hex("A5 05"), Sof(1), Hex("69 83 E8"), Hex("C3 00 01")});
    const CaptureStats s = ComputeStats(list, CheckCapture(list));
    EXPECT_EQ(s.sofs, 4u); // the cut SOF has no frame number
    EXPECT_EQ(s.firstFrame, 2046);
    EXPECT_EQ(s.lastFrame, 1);
    EXPECT_EQ(s.framesCovered, 4u); // 2046, 2047, 0 (lost), 1
    EXPECT_EQ(s.crc5Errors, 1u);
    EXPECT_EQ(s.crc16Errors, 1u);
    const auto utilisation = BusUtilisation(s, 12000);
    ASSERT_TRUE(utilisation);
    EXPECT_DOUBLE_EQ(*utilisation, static_cast<double>(s.busBits) / (4 * 12000));
}

} // namespace
} // namespace vintrace::capture
