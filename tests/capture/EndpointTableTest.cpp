#include "capture/EndpointTable.h"
#include "capture/CaptureDecoder.h"
#include "support/CaptureBytes.h"
#include "support/CapturePrinters.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace vintrace::capture {
namespace {

using test::Append;
using test::Packet;

constexpr std::uint8_t kSetup = 0x2D, kOut = 0xE1, kIn = 0x69;

/// A token packet on the wire: 7-bit address, 4-bit endpoint, then CRC bits (nonzero here so
/// the decoder must mask them off).
std::vector<std::uint8_t> Token(std::uint8_t pid, std::uint8_t address, std::uint8_t endpoint) {
    const auto b0 = static_cast<std::uint8_t>((address & 0x7F) | ((endpoint & 1) << 7));
    const auto b1 = static_cast<std::uint8_t>(((endpoint >> 1) & 0x07) | (0x15 << 3));
    return Packet(pid, {b0, b1});
}

AddressEntry Entry(std::uint8_t address, std::initializer_list<std::uint8_t> endpoints) {
    AddressEntry e;
    e.address = address;
    for (std::uint8_t ep : endpoints) {
        e.endpoints[e.endpointCount++] = ep;
    }
    return e;
}

struct TableCase {
    const char* name;
    std::vector<std::vector<std::uint8_t>> packets;
    EndpointTable expected;
};

// Printed by name so that test names stay the same from build to build.
void PrintTo(const TableCase& c, std::ostream* os) {
    *os << c.name;
}

class EndpointTableCases : public ::testing::TestWithParam<TableCase> {};

TEST_P(EndpointTableCases, BuildsFromTokens) {
    std::vector<std::uint8_t> file;
    for (const auto& p : GetParam().packets) {
        Append(file, p);
    }
    PacketList packets;
    ParseCaptureFile(file, packets);
    EndpointTable table;
    BuildEndpointTable(packets, table);
    EXPECT_EQ(table, GetParam().expected);
}

std::vector<std::vector<std::uint8_t>> SixteenEndpointsOnOneAddress() {
    // Endpoints in a scrambled order, so "first 15" means order of appearance, not value.
    std::vector<std::vector<std::uint8_t>> packets;
    for (std::uint8_t ep : {7, 3, 15, 0, 9, 1, 14, 2, 8, 4, 13, 5, 12, 6, 11, 10}) {
        packets.push_back(Token(kIn, 9, ep));
    }
    packets.push_back(Token(kOut, 9, 10)); // the sixteenth again: still not recorded
    return packets;
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, EndpointTableCases,
    ::testing::Values(
        TableCase{"NoRecords", {}, {}},
        TableCase{
            "NoTokens", {Packet(0xA5, {0x12, 0x34}), Packet(0xD2), Packet(0x5A), Packet(0x1E)}, {}},
        // Packets whose bytes would read as address 5 / endpoint 1 if taken for tokens.
        TableCase{"OnlyTokensContribute",
                  {Packet(0xC3, {0x85, 0x00, 0x11, 0x22}), Packet(0x4B, {0x85, 0x00}),
                   Packet(0xA5, {0x85, 0x00}), Packet(0xD2, {0x85, 0x00}),
                   Packet(0x3C, {0x85, 0x00}), Token(kIn, 3, 2), Packet(0xC3, {0x86, 0x00})},
                  {Entry(3, {2})}},
        TableCase{"FirstAppearanceOrder",
                  {Token(kSetup, 20, 0), Token(kIn, 4, 1), Token(kOut, 20, 2), Token(kIn, 127, 15),
                   Token(kIn, 4, 0), Token(kOut, 20, 1)},
                  {Entry(20, {0, 2, 1}), Entry(4, {1, 0}), Entry(127, {15})}},
        TableCase{"RepeatedPairAddsNothing",
                  {Token(kIn, 5, 1), Token(kOut, 5, 1), Token(kSetup, 5, 1), Token(kIn, 5, 1)},
                  {Entry(5, {1})}},
        TableCase{"SixteenEndpointsKeepFirstFifteen",
                  SixteenEndpointsOnOneAddress(),
                  {Entry(9, {7, 3, 15, 0, 9, 1, 14, 2, 8, 4, 13, 5, 12, 6, 11})}},
        // A token cut before its bytes reads as address 0, endpoint 0.
        TableCase{"CutTokensCountAsZero",
                  {Packet(kIn), Packet(kOut, {0x06}), Token(kIn, 6, 3)},
                  {Entry(0, {0}), Entry(6, {0, 3})}}),
    [](const auto& info) { return std::string(info.param.name); });

// Every address gets its own entry: 128 addresses, each with its full 15 endpoints.
TEST(EndpointTable, AllAddressesAndEndpoints) {
    std::vector<std::uint8_t> file;
    EndpointTable expected;
    for (int round = 0; round < 16; ++round) {
        for (int a = 127; a >= 0; --a) {
            const auto address = static_cast<std::uint8_t>(a);
            const auto ep = static_cast<std::uint8_t>((a + round) & 15);
            Append(file, Token(round % 2 ? kOut : kIn, address, ep));
            if (round == 0) {
                expected.push_back(Entry(address, {ep}));
            } else if (round < 15) {
                auto& e = expected[static_cast<std::size_t>(127 - a)];
                e.endpoints[e.endpointCount++] = ep;
            }
        }
    }
    PacketList packets;
    ParseCaptureFile(file, packets);
    EndpointTable table;
    BuildEndpointTable(packets, table);
    EXPECT_EQ(table, expected);
}

// Hiding marks records HIDDEN before removing them; a marked token is no longer a token.
TEST(EndpointTable, HiddenMarkIsNotAToken) {
    std::vector<std::uint8_t> file = Token(kIn, 1, 1);
    Append(file, Token(kIn, 2, 2));
    PacketList packets;
    ParseCaptureFile(file, packets);
    packets.setKind(0, RecordKind::Hidden);
    EndpointTable table;
    BuildEndpointTable(packets, table);
    EXPECT_EQ(table, (EndpointTable{Entry(2, {2})}));
}

} // namespace
} // namespace vintrace::capture
