#include "capture/UsbCrc.h"
#include "support/CaptureBytes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace vintrace::capture {
namespace {

/// Reverses the 5 bits of a CRC5, giving the order the bits are sent in, most significant
/// first, the way published USB examples write them.
unsigned SentOrder5(unsigned v) {
    unsigned r = 0;
    for (int i = 0; i < 5; ++i) {
        r |= ((v >> i) & 1) << (4 - i);
    }
    return r;
}

unsigned SentOrder16(unsigned v) {
    unsigned r = 0;
    for (int i = 0; i < 16; ++i) {
        r |= ((v >> i) & 1) << (15 - i);
    }
    return r;
}

TEST(UsbCrc, Crc5MatchesPublishedExamples) {
    struct Case {
        unsigned field; // address | endpoint << 7, or a frame number
        unsigned sent;  // the CRC5 as the examples write it, first-sent bit leftmost
    };
    const Case cases[] = {
        {0x15 | (0xE << 7), 0x17}, // address 0x15, endpoint 0xE
        {0x3A | (0xA << 7), 0x1C}, // address 0x3A, endpoint 0xA
        {0x70 | (0x4 << 7), 0x0E}, // address 0x70, endpoint 0x4
        {0x710, 0x14},             // frame number 0x710
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SentOrder5(Crc5(static_cast<std::uint16_t>(c.field))), c.sent)
            << "field 0x" << std::hex << c.field;
    }
}

TEST(UsbCrc, Crc16MatchesPublishedExamples) {
    EXPECT_EQ(SentOrder16(Crc16(test::Hex("00 01 02 03"))), 0xF75Eu);
    EXPECT_EQ(SentOrder16(Crc16(test::Hex("23 45 67 89"))), 0x7038u);
    // A zero-length data packet carries 00 00.
    EXPECT_EQ(Crc16({}), 0x0000);
}

TEST(UsbCrc, MatchersAcceptTheRealCapturesAndRejectAFlippedBit) {
    // Every CRC in the real captures is good; flipping any single bit must be noticed.
    for (const char* name : {"fs-badge", "ls-mouse"}) {
        std::ifstream in(std::string(VINTRACE_TEST_DATA) + "/" + name + ".expected.tsv");
        ASSERT_TRUE(in.is_open());
        int tokens = 0;
        int data = 0;
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            std::string index, kind, length, address, endpoint, hex;
            std::getline(fields, index, '\t');
            std::getline(fields, kind, '\t');
            std::getline(fields, length, '\t');
            std::getline(fields, address, '\t');
            std::getline(fields, endpoint, '\t');
            std::getline(fields, hex, '\t');
            auto bytes = test::Hex(hex);
            if ((kind == "SOF" || kind == "SETUP" || kind == "IN" || kind == "OUT") &&
                bytes.size() == 2) {
                ++tokens;
                EXPECT_TRUE(TokenCrcMatches(bytes[0], bytes[1])) << name << " line " << index;
                bytes[std::stoul(index) % 2] ^=
                    static_cast<std::uint8_t>(1u << (std::stoul(index) % 8));
                EXPECT_FALSE(TokenCrcMatches(bytes[0], bytes[1])) << name << " line " << index;
            } else if ((kind == "DATA0" || kind == "DATA1") && bytes.size() == std::stoul(length)) {
                ++data;
                EXPECT_TRUE(DataCrcMatches(bytes)) << name << " line " << index;
                bytes[std::stoul(index) % bytes.size()] ^= 0x10;
                EXPECT_FALSE(DataCrcMatches(bytes)) << name << " line " << index;
            }
        }
        EXPECT_GT(tokens, 100) << name;
        EXPECT_GT(data, 10) << name;
    }
}

TEST(UsbCrc, Crc16AgreesWithABitwiseReferenceAtEveryLength) {
    // The fast path takes eight bytes at a time; lengths around its steps must agree with a
    // plain bit-at-a-time CRC.
    auto reference = [](const std::vector<std::uint8_t>& data) {
        unsigned crc = 0xFFFF;
        for (std::uint8_t b : data) {
            for (int bit = 0; bit < 8; ++bit) {
                const bool feedback = ((crc ^ (b >> bit)) & 1) != 0;
                crc >>= 1;
                if (feedback) {
                    crc ^= 0xA001;
                }
            }
        }
        return static_cast<std::uint16_t>(~crc);
    };
    std::vector<std::uint8_t> data;
    for (unsigned n = 0; n <= 70; ++n) {
        EXPECT_EQ(Crc16(data), reference(data)) << n << " bytes";
        data.push_back(static_cast<std::uint8_t>(n * 37 + 11));
    }
}

TEST(UsbCrc, DataShorterThanItsCrcNeverMatches) {
    EXPECT_FALSE(DataCrcMatches(test::Hex("")));
    EXPECT_FALSE(DataCrcMatches(test::Hex("00")));
    EXPECT_TRUE(DataCrcMatches(test::Hex("00 00")));
}

TEST(UsbCrc, FieldsCarryTheirCrc5AndEverySingleBitErrorShows) {
    // The first SETUP of every enumeration, to address 0 endpoint 0: 2D 00 10.
    EXPECT_EQ(WithCrc5(0), 0x1000);
    // Address 9, endpoint 2 gives the bytes 09 B1.
    EXPECT_EQ(WithCrc5(9 | 2 << 7), 0xB109);
    for (std::uint16_t bits = 0; bits < 0x800; bits += 37) {
        const std::uint16_t field = WithCrc5(bits);
        EXPECT_TRUE(TokenCrcMatches(static_cast<std::uint8_t>(field),
                                    static_cast<std::uint8_t>(field >> 8)));
        for (int i = 0; i < 16; ++i) {
            const auto bad = static_cast<std::uint16_t>(field ^ (1u << i));
            EXPECT_FALSE(TokenCrcMatches(static_cast<std::uint8_t>(bad),
                                         static_cast<std::uint8_t>(bad >> 8)));
        }
    }
}

} // namespace
} // namespace vintrace::capture
