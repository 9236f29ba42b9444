#include "capture/CaptureDecoder.h"
#include "support/CaptureBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

namespace vintrace::capture {
namespace {

using test::Append;
using test::Hex;
using test::Packet;

struct Expected {
    RecordKind kind;
    std::uint8_t length;
    std::vector<std::uint8_t> bytes;
    std::uint8_t address = 0;
    std::uint8_t endpoint = 0;
};

struct DecodeCase {
    const char* name;
    const char* file;
    std::vector<Expected> records;
};

// Printed by name so that test names stay the same from build to build.
void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.name;
}

class DecodeTable : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTable, DecodesUnitsIntoRecords) {
    const DecodeCase& c = GetParam();
    PacketList list;
    ParseCaptureFile(Hex(c.file), list);
    ASSERT_EQ(list.size(), c.records.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        const Expected& e = c.records[i];
        CaptureRecord want{e.kind, e.length, e.bytes, e.address, e.endpoint};
        EXPECT_EQ(list[i], want) << "record " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, DecodeTable,
    ::testing::Values(
        DecodeCase{"EmptyFile", "", {}}, DecodeCase{"NoStartUnit", "00 12 02 34 FF 56", {}},
        DecodeCase{"LeadingUnitsSkipped", "00 12 00 34 01 D2", {{RecordKind::Ack, 0, {}}}},
        DecodeCase{"AnyNonOneMarkerContinues",
                   "01 69 00 85 02 00",
                   {{RecordKind::In, 2, {0x85, 0x00}, 5, 1}}},
        DecodeCase{"SetupAddressEndpoint",
                   "01 2D 00 05 00 08",
                   {{RecordKind::Setup, 2, {0x05, 0x08}, 5, 0}}},
        DecodeCase{"TokenEndpointHighBits",
                   "01 E1 00 7F 00 07",
                   {{RecordKind::Out, 2, {0x7F, 0x07}, 0x7F, 14}}},
        DecodeCase{"PreambleIsUnknown", "01 3C 00 AA", {{RecordKind::Unknown, 2, {0x3C, 0xAA}}}},
        DecodeCase{"BadCheckNibbleIsUnknown", "01 2E", {{RecordKind::Unknown, 1, {0x2E}}}},
        DecodeCase{"OddTrailingByteIgnored", "01 A5 00 12 00", {{RecordKind::Sof, 1, {0x12}}}},
        DecodeCase{"EndsWithStartUnit",
                   "01 D2 01 5A",
                   {{RecordKind::Ack, 0, {}}, {RecordKind::Nak, 0, {}}}},
        DecodeCase{"CutTokenHasAddressOnly", "01 69 00 83", {{RecordKind::In, 1, {0x83}, 3, 0}}},
        DecodeCase{"CutTokenWithoutBytes", "01 2D", {{RecordKind::Setup, 0, {}, 0, 0}}},
        DecodeCase{"HandshakeKeepsTwoCountsAll",
                   "01 1E 00 01 00 02 00 03",
                   {{RecordKind::Stall, 3, {0x01, 0x02}}}},
        DecodeCase{"AllKnownPids",
                   "01 2D 01 E1 01 69 01 D2 01 5A 01 1E 01 C3 01 4B 01 A5",
                   {{RecordKind::Setup, 0, {}},
                    {RecordKind::Out, 0, {}},
                    {RecordKind::In, 0, {}},
                    {RecordKind::Ack, 0, {}},
                    {RecordKind::Nak, 0, {}},
                    {RecordKind::Stall, 0, {}},
                    {RecordKind::Data0, 0, {}},
                    {RecordKind::Data1, 0, {}},
                    {RecordKind::Sof, 0, {}}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Decoder, LongDataPacketKeepsFirst66AndCountsAll) {
    std::vector<std::uint8_t> payload(70);
    std::iota(payload.begin(), payload.end(), 0);
    PacketList list;
    ParseCaptureFile(Packet(0x4B, payload), list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].kind, RecordKind::Data1);
    EXPECT_EQ(list[0].length, 70);
    ASSERT_EQ(list[0].bytes.size(), 66u);
    EXPECT_TRUE(std::equal(list[0].bytes.begin(), list[0].bytes.end(), payload.begin()));
}

TEST(Decoder, UnknownCountsItsIdentifier) {
    PacketList list;
    ParseCaptureFile(Packet(0x00, {1, 2, 3}), list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].length, 4);
    EXPECT_EQ(list[0].byteAt(0), 0x00);
    EXPECT_EQ(list[0].byteAt(3), 3);
}

// Once a packet passes 255 bytes its length wraps, but the bytes it stored first are kept
// rather than overwritten by later ones.
TEST(Decoder, WrappedLengthNeverOverwritesStoredBytes) {
    std::vector<std::uint8_t> payload(300);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(0xFF - (i & 0x7F));
    }
    auto file = Packet(0xC3, payload);
    Append(file, Packet(0x69, std::vector<std::uint8_t>(258, 0x81)));
    PacketList list;
    ParseCaptureFile(file, list);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].length, 300 % 256);
    ASSERT_EQ(list[0].bytes.size(), 66u);
    EXPECT_TRUE(std::equal(list[0].bytes.begin(), list[0].bytes.end(), payload.begin()));
    EXPECT_EQ(list[1].length, 2);
    EXPECT_EQ(list[1].address, 1);
    EXPECT_EQ(list[1].endpoint, 3);
}

// Continuation runs of every length up to past the capacity, with markers other than 0 and
// some value bytes equal to 1, so a value is never mistaken for a start marker and a start
// unit is found wherever the run ends.
TEST(Decoder, ContinuationRunsOfEveryLength) {
    const auto value = [](std::size_t i) {
        return static_cast<std::uint8_t>(i % 16 == 3 ? 0x01 : 0x5A + i);
    };
    for (std::size_t n = 0; n <= 140; ++n) {
        std::vector<std::uint8_t> file = Hex("00 01 00 01"); // leading units, skipped
        Append(file, Hex("01 C3"));
        std::vector<std::uint8_t> expected;
        for (std::size_t i = 0; i < n; ++i) {
            file.push_back(i % 3 == 0 ? 0x00 : static_cast<std::uint8_t>(0xFF - i % 5));
            file.push_back(value(i));
            if (i < 66) {
                expected.push_back(value(i));
            }
        }
        Append(file, Packet(0xD2));
        PacketList list;
        ParseCaptureFile(file, list);
        ASSERT_EQ(list.size(), 2u) << "run of " << n;
        EXPECT_EQ(list[0].length, n % 256) << "run of " << n;
        EXPECT_TRUE(std::ranges::equal(list[0].bytes, expected)) << "run of " << n;
        EXPECT_EQ(list[1].kind, RecordKind::Ack) << "run of " << n;
    }
}

// The file may arrive in pieces of any size, even splitting a unit; the result must be the
// same as decoding it whole.
TEST(Decoder, PiecewiseFeedingMatchesWholeDecode) {
    std::vector<std::uint8_t> file = Hex("00 99 01 2D 00 05 00 08");
    Append(file, Packet(0xC3, {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x40, 0x00, 0xBB, 0x29}));
    Append(file, Packet(0xD2));
    Append(file, Packet(0x3C, {1, 2}));
    Append(file, Packet(0xA5, {0x12, 0x34}));
    file.push_back(0x01);
    PacketList whole;
    ParseCaptureFile(file, whole);
    for (std::size_t step = 1; step <= 7; ++step) {
        PacketList pieces;
        CaptureDecoder decoder(pieces);
        for (std::size_t at = 0; at < file.size(); at += step) {
            decoder.feed(std::span(file).subspan(at, std::min(step, file.size() - at)));
        }
        decoder.finish();
        ASSERT_EQ(pieces.size(), whole.size()) << "step " << step;
        for (std::size_t i = 0; i < whole.size(); ++i) {
            EXPECT_EQ(pieces[i], whole[i]) << "step " << step << " record " << i;
        }
    }
}

// Many records cross the store's internal chunk and block boundaries.
TEST(Decoder, LargeCaptureKeepsEveryRecordIntact) {
    std::vector<std::uint8_t> file;
    constexpr std::size_t kPackets = 200'000;
    for (std::size_t i = 0; i < kPackets; ++i) {
        std::vector<std::uint8_t> payload(i % 67);
        for (std::size_t j = 0; j < payload.size(); ++j) {
            payload[j] = static_cast<std::uint8_t>(i + j);
        }
        Append(file, Packet(i % 2 ? 0xC3 : 0x4B, payload));
    }
    PacketList list;
    ParseCaptureFile(file, list);
    ASSERT_EQ(list.size(), kPackets);
    for (std::size_t i = 0; i < kPackets; i += 997) {
        const CaptureRecord r = list[i];
        ASSERT_EQ(r.length, i % 67);
        ASSERT_EQ(r.bytes.size(), std::min<std::size_t>(i % 67, 66));
        for (std::size_t j = 0; j < r.bytes.size(); ++j) {
            ASSERT_EQ(r.bytes[j], static_cast<std::uint8_t>(i + j)) << i << "/" << j;
        }
    }
}

} // namespace
} // namespace vintrace::capture
