#include "protocol/Transactions.h"
#include "capture/UsbCrc.h"
#include "protocol/Devices.h"
#include "protocol/Transfers.h"
#include "support/BusSequence.h"
#include "support/RandomBus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

using test::BusSequence;
using test::RandomBus;

std::vector<std::string> Grouped(const capture::PacketList& packets) {
    const Transactions tx = GroupTransactions(packets);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < tx.size(); ++i) {
        out.push_back(ToString(tx[i]));
    }
    return out;
}

struct GroupingCase {
    const char* name;
    const char* bus;
    std::vector<std::string> expected;
};

// Named by the case, so CTest names stay put between builds.
void PrintTo(const GroupingCase& c, std::ostream* os) {
    *os << c.name;
}

class Grouping : public ::testing::TestWithParam<GroupingCase> {};

TEST_P(Grouping, GroupsRecordsIntoTransactions) {
    EXPECT_EQ(Grouped(BusSequence(GetParam().bus)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Transactions, Grouping,
    ::testing::Values(
        GroupingCase{"SetupAcked",
                     "SETUP 1.0, DATA0 8006000100001200, ACK",
                     {"SETUP 1.0 records 0+3 ACK data@1"}},
        GroupingCase{"OutEveryHandshake",
                     "OUT 2.1, DATA0 01, ACK, OUT 2.1, DATA1 02, NAK, OUT 2.1, DATA1 02, STALL",
                     {"OUT 2.1 records 0+3 ACK data@1", "OUT 2.1 records 3+3 NAK data@1",
                      "OUT 2.1 records 6+3 STALL data@1"}},
        GroupingCase{"InDataNakStall",
                     "IN 3.2, DATA1 0102, ACK, IN 3.2, NAK, IN 3.2, STALL",
                     {"IN 3.2 records 0+3 ACK data@1", "IN 3.2 records 3+2 NAK",
                      "IN 3.2 records 5+2 STALL"}},
        GroupingCase{"IsochronousHasNoHandshake",
                     "OUT 4.5, DATA0 AABB, IN 4.6, DATA0 CC, SOF 7",
                     {"OUT 4.5 records 0+2 no handshake data@1",
                      "IN 4.6 records 2+2 no handshake data@1", "SOF records 4+1 no handshake"}},
        GroupingCase{"UnansweredTokens",
                     "IN 1.1, IN 1.1, NAK, OUT 1.2, SOF 3",
                     {"IN 1.1 records 0+1 no handshake", "IN 1.1 records 1+2 NAK",
                      "OUT 1.2 records 3+1 no handshake", "SOF records 4+1 no handshake"}},
        GroupingCase{"PacketsOutsideTransactions",
                     "DATA0 01, ACK, UNKNOWN, IN 7, SOF 1",
                     {"MALFORMED records 0+1 malformed", "MALFORMED records 1+1 malformed",
                      "MALFORMED records 2+1 malformed", "MALFORMED records 3+1 malformed",
                      "SOF records 4+1 no handshake"}},
        // The host only ever ACKs IN data, and the device answers SETUP and OUT only after
        // their data: other handshakes there answer nothing.
        GroupingCase{"HandshakesOutOfPlace",
                     "IN 1.1, ACK, OUT 1.1, NAK, IN 1.1, DATA0 01, NAK, DATA1 02",
                     {"IN 1.1 records 0+1 no handshake", "MALFORMED records 1+1 malformed",
                      "OUT 1.1 records 2+1 no handshake", "MALFORMED records 3+1 malformed",
                      "IN 1.1 records 4+2 no handshake data@1", "MALFORMED records 6+1 malformed",
                      "MALFORMED records 7+1 malformed"}},
        // Low-speed packets of the host behind a hub come after a preamble each.
        GroupingCase{"PreamblesJoinTheirTransaction",
                     "PRE, SETUP 2.0, PRE, DATA0 8006000100001200, ACK, PRE, IN 2.0, DATA1 12, "
                     "PRE, ACK, PRE, SOF 9, PRE",
                     {"SETUP 2.0 records 0+5 ACK data@3", "IN 2.0 records 5+5 ACK data@2",
                      "MALFORMED records 10+1 malformed", "SOF records 11+1 no handshake",
                      "MALFORMED records 12+1 malformed"}},
        // 8.3.5: a token or SOF whose CRC5 fails names nothing (what answers it stays with
        // it); 8.6.3: a data packet whose CRC16 fails is marked, its receiver ignores it.
        GroupingCase{"CorruptPackets",
                     "IN! 55.1, OUT! 3.2, DATA0 0102, ACK, SOF! 7, OUT 2.1, DATA0! 01, SOF 8",
                     {"MALFORMED records 0+1 malformed", "MALFORMED records 1+3 malformed data@1",
                      "MALFORMED records 4+1 malformed",
                      "OUT 2.1 records 5+2 no handshake data@1 crc16",
                      "SOF records 7+1 no handshake"}},
        GroupingCase{
            "CaptureCutMidTransaction",
            "SOF 1, SETUP 1.0, DATA0 8006",
            {"SOF records 0+1 no handshake", "SETUP 1.0 records 1+2 no handshake data@1"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Transactions, PayloadLeavesOutTheCrcAndCutBytes) {
    capture::PacketList packets = BusSequence("IN 1.1, DATA1 0A0B0C, ACK");
    const std::vector<std::uint8_t> cut = {0x01, 0x02}; // length says 5 bytes, 2 stored
    packets.append(capture::RecordKind::Data0, 5, cut);
    packets.append(capture::RecordKind::Ack, 0, {});
    const Transactions all = GroupTransactions(packets);
    ASSERT_EQ(all.size(), 3u); // IN, then a DATA0 without token and an ACK alone
    const auto payload = TransactionPayload(packets, all[0]);
    EXPECT_EQ(std::vector<std::uint8_t>(payload.begin(), payload.end()),
              (std::vector<std::uint8_t>{0x0A, 0x0B, 0x0C}));
    EXPECT_EQ(TransactionPayloadLength(packets, all[0]), 3u);
    EXPECT_EQ(TransactionToggle(packets, all[0]), 1);
    EXPECT_TRUE(TransactionPayload(packets, all[1]).empty()); // malformed entries carry none

    capture::PacketList inCut = BusSequence("IN 1.1");
    inCut.append(capture::RecordKind::Data0, 5, cut);
    const Transactions one = GroupTransactions(inCut);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(TransactionPayloadLength(inCut, one[0]), 3u);
    EXPECT_EQ(TransactionPayload(inCut, one[0]).size(), 2u);
}

TEST(Transactions, EveryRecordFindsItsTransactionInEightBytesARecord) {
    std::string bus;
    for (int i = 0; i < 3000; ++i) {
        bus += "SOF 1, IN 5.1, NAK, OUT 5.2, DATA0 0102, ACK, ACK,";
    }
    const capture::PacketList packets = BusSequence(bus);
    const Transactions tx = GroupTransactions(packets);
    ASSERT_EQ(tx.size(), 4u * 3000);
    EXPECT_LE(tx.memoryUsed(), 8 * packets.size());
    std::size_t expected = 0;
    for (std::size_t r = 0; r < packets.size(); ++r) {
        if (expected + 1 < tx.size() && tx[expected + 1].first == r) {
            ++expected;
        }
        ASSERT_EQ(tx.indexOfRecord(r), expected) << "record " << r;
        ASSERT_LE(tx[expected].first, r);
        ASSERT_GE(tx[expected].last(), r);
    }
}

TEST(Transactions, LargeRecordIndexesSurviveThePacking) {
    Transactions tx;
    Transaction t;
    t.first = (std::size_t{1} << 39) + 12345;
    t.count = 5;
    t.kind = TransactionKind::In;
    t.outcome = Outcome::Ack;
    t.dataOffset = 2;
    t.address = 127;
    t.endpoint = 15;
    tx.push(t);
    EXPECT_EQ(tx[0], t);
    EXPECT_EQ(tx.indexOfRecord(t.first + 4), 0u);
}

// Grouping in parts on several threads gives the transactions of one pass, in order.
TEST(Transactions, GroupingInPartsMatchesOnePass) {
    // Parts of more than one chunk of the index (65,536 entries), joined across chunks.
    const capture::PacketList packets = RandomBus(400'000, 11);
    const Transactions serial = GroupTransactions(packets, 1);
    const LargestPayloads* serialLargest = serial.largestPayloads();
    ASSERT_NE(serialLargest, nullptr);
    // With a stop flag that stays clear, each part is grouped a stretch at a time.
    const std::atomic<bool> keepGoing{false};
    for (const unsigned threads : {1u, 2u, 3u, 8u}) {
        SCOPED_TRACE(threads);
        const Transactions parts = GroupTransactions(packets, threads, 30'000);
        const Transactions stretches = GroupTransactions(packets, threads, 30'000, &keepGoing);
        ASSERT_EQ(parts.size(), serial.size());
        ASSERT_EQ(stretches.size(), serial.size());
        for (std::size_t i = 0; i < serial.size(); ++i) {
            ASSERT_EQ(parts[i], serial[i]) << "transaction " << i;
            ASSERT_EQ(stretches[i], serial[i]) << "transaction " << i;
        }
        const LargestPayloads measured = MeasureLargestPayloads(packets, threads, 30'000);
        for (std::uint8_t address = 0; address < 128; ++address) {
            for (std::uint8_t endpoint = 0; endpoint < 16; ++endpoint) {
                for (const Direction d : {Direction::Out, Direction::In}) {
                    ASSERT_EQ(measured(address, endpoint, d),
                              (*serialLargest)(address, endpoint, d));
                    ASSERT_EQ((*parts.largestPayloads())(address, endpoint, d),
                              (*serialLargest)(address, endpoint, d));
                    ASSERT_EQ((*stretches.largestPayloads())(address, endpoint, d),
                              (*serialLargest)(address, endpoint, d));
                }
            }
        }
    }
    // Every record falls in the transaction that holds it, across the chunks of the index.
    for (std::size_t r = 0; r < packets.size(); r += 7) {
        const Transaction t = serial[serial.indexOfRecord(r)];
        ASSERT_LE(t.first, r);
        ASSERT_GE(t.last(), r);
    }
}

// What grouping keeps beside each entry holds for indexes joined from parts: an SOF's frame
// number as its record says (8.4.3: the low 11 bits after the PID), and no transaction with a
// corrupt data packet is passed over by the search for one.
TEST(Transactions, SofFramesAndCorruptPacketsSurviveGroupingInParts) {
    const capture::PacketList packets = RandomBus(400'000, 23);
    for (const unsigned threads : {1u, 3u}) {
        SCOPED_TRACE(threads);
        const Transactions tx = GroupTransactions(packets, threads, 30'000);
        std::size_t sofs = 0;
        std::size_t corrupt = 0;
        std::size_t x = 0;
        while (x < tx.size()) {
            const std::size_t next = tx.nextMaybeCorrupt(x, tx.size() - 1);
            ASSERT_GE(next, x);
            for (; x < next && x < tx.size(); ++x) {
                ASSERT_FALSE(tx[x].corruptData) << "transaction " << x << " passed over";
            }
            if (x < tx.size()) {
                corrupt += tx[x].corruptData ? 1 : 0;
                ++x;
            }
        }
        for (std::size_t i = 0; i < tx.size(); ++i) {
            const Transaction t = tx[i];
            if (t.kind != TransactionKind::Sof) {
                ASSERT_FALSE(tx.storedSofFrame(i)) << "transaction " << i;
                continue;
            }
            ++sofs;
            ASSERT_EQ(t.address, 0);
            ASSERT_EQ(t.endpoint, 0);
            ASSERT_FALSE(t.corruptData);
            const capture::CaptureRecord r = packets[t.first];
            ASSERT_EQ(tx.storedSofFrame(i),
                      static_cast<std::uint16_t>(r.bytes[0] | (r.bytes[1] & 7) << 8));
        }
        EXPECT_GT(sofs, 1000u);
        EXPECT_GT(corrupt, 100u);
    }
}

// The search for corrupt packets skips clean stretches, also where an appended index began
// inside a block of 64.
TEST(Transactions, CorruptSearchSkipsCleanStretches) {
    auto build = [](std::size_t n, std::vector<std::size_t> corrupt) {
        Transactions tx;
        for (std::size_t i = 0; i < n; ++i) {
            Transaction t;
            t.first = i * 3;
            t.count = 3;
            t.kind = TransactionKind::In;
            t.outcome = Outcome::Ack;
            t.dataOffset = 1;
            t.corruptData = std::find(corrupt.begin(), corrupt.end(), i) != corrupt.end();
            tx.push(t);
        }
        return tx;
    };
    Transactions tx = build(100, {70, 99});
    tx.append(build(10'000, {0, 5000}));
    // Corrupt: 70, 99, 100 and 5100; a stretch passed over holds none of them, and most of
    // the clean run between 101 and 5100 is passed over.
    const std::size_t last = tx.size() - 1;
    const std::size_t first = tx.nextMaybeCorrupt(0, last);
    EXPECT_GT(first, 0u);
    EXPECT_LE(first, 70u);
    EXPECT_EQ(tx.nextMaybeCorrupt(70, last), 70u);
    EXPECT_EQ(tx.nextMaybeCorrupt(100, last), 100u);
    const std::size_t later = tx.nextMaybeCorrupt(250, last);
    EXPECT_LE(later, 5100u);
    EXPECT_GE(later, 5100u - 127);
    EXPECT_EQ(tx.nextMaybeCorrupt(5300, last), last + 1);
    EXPECT_EQ(tx.nextMaybeCorrupt(200, 300), 301u);
    EXPECT_EQ(tx.nextMaybeCorrupt(300, 200), 201u);
    EXPECT_EQ(build(50, {}).nextMaybeCorrupt(0, 49), 50u);
}

// A stop request ends grouping and both assembly passes early; a worker asked to stop drops
// what they made.
TEST(Transactions, StopRequestEndsGroupingAndAssemblyEarly) {
    const capture::PacketList packets = RandomBus(400'000, 5);
    const Transactions whole = GroupTransactions(packets, 2, 30'000);
    ASSERT_GT(AssembleTransferList(packets, whole).size(), 0u);
    const std::atomic<bool> stop{true};
    EXPECT_LT(GroupTransactions(packets, 2, 30'000, &stop).size(), whole.size());
    TransferOptions options;
    options.stop = &stop;
    EXPECT_EQ(AssembleTransferList(packets, whole, options).size(), 0u);
    options.stop = nullptr;
    options.halt = &stop;
    EXPECT_EQ(AssembleTransferList(packets, whole, options).size(), 0u);
    for (const unsigned threads : {1u, 2u}) {
        bool found = false;
        EXPECT_EQ(AssembleDescribedTransferList(packets, whole, true, &stop, nullptr, threads,
                                                [&found](const DeviceModel&) { found = true; })
                      .items.size(),
                  0u);
        EXPECT_FALSE(found) << threads << " threads";
    }
}

} // namespace
} // namespace vintrace::protocol
