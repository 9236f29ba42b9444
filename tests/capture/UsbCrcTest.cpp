#include "capture/UsbCrc.h"
#include "support/CaptureBytes.h"

#include <gtest/gtest.h>

namespace vintrace::capture {
namespace {

// Reverses the five CRC bits: published tables write CRC5 in the order it is sent.
std::uint8_t SentOrder(std::uint8_t crc) {
    std::uint8_t out = 0;
    for (int i = 0; i < 5; ++i) {
        out = static_cast<std::uint8_t>(out << 1 | ((crc >> i) & 1));
    }
    return out;
}

struct Crc5Case {
    std::uint16_t bits;
    std::uint8_t sent; // CRC5 as published, first bit sent leftmost
};

TEST(UsbCrc, Crc5MatchesPublishedTokens) {
    const Crc5Case cases[] = {
        {0x15 | 0xE << 7, 0x17}, // token: address 0x15, endpoint 0xE
        {0x3A | 0xA << 7, 0x1C}, // token: address 0x3A, endpoint 0xA
        {0x70 | 0x4 << 7, 0x0E}, // token: address 0x70, endpoint 0x4
        {0x710, 0x14},           // SOF frame 0x710
    };
    for (const Crc5Case& c : cases) {
        EXPECT_EQ(SentOrder(Crc5(c.bits)), c.sent) << std::hex << c.bits;
        EXPECT_TRUE(CheckCrc5(WithCrc5(c.bits)));
    }
    // The first SETUP of every enumeration, to address 0 endpoint 0: 2D 00 10.
    EXPECT_EQ(WithCrc5(0), 0x1000);
    // A worked example: address 9, endpoint 2 gives the bytes 09 B1.
    EXPECT_EQ(WithCrc5(9 | 2 << 7), 0xB109);
}

TEST(UsbCrc, Crc5CatchesEverySingleBitError) {
    for (std::uint16_t bits = 0; bits < 0x800; bits += 37) {
        const std::uint16_t field = WithCrc5(bits);
        for (int i = 0; i < 16; ++i) {
            EXPECT_FALSE(CheckCrc5(static_cast<std::uint16_t>(field ^ (1u << i))));
        }
    }
}

TEST(UsbCrc, Crc16MatchesKnownDataPackets) {
    // GET_DESCRIPTOR(device, 64) as every host first sends it: C3 80 06 00 01 00 00 40 00 DD 94.
    const auto getDescriptor = test::Hex("80 06 00 01 00 00 40 00");
    EXPECT_EQ(Crc16(getDescriptor), 0x94DD);
    EXPECT_TRUE(CheckCrc16(test::Hex("80 06 00 01 00 00 40 00 DD 94")));
    EXPECT_FALSE(CheckCrc16(test::Hex("80 06 00 01 00 00 40 00 DD 95")));
    EXPECT_FALSE(CheckCrc16(test::Hex("80 06 00 01 00 01 40 00 DD 94")));
    // A zero-length packet carries CRC 00 00.
    EXPECT_EQ(Crc16({}), 0x0000);
    EXPECT_TRUE(CheckCrc16(test::Hex("00 00")));
    EXPECT_FALSE(CheckCrc16(test::Hex("00")));
}

} // namespace
} // namespace vintrace::capture
