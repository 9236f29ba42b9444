#include "protocol/Transfers.h"
#include "capture/CaptureLoader.h"
#include "protocol/Devices.h"
#include "protocol/TransferLines.h"
#include "protocol/TransferSummary.h"
#include "support/BusSequence.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

using test::BusSequence;
using test::HexOf;

/// Each item as its printed form, its records and what it delivered.
std::vector<std::string> Assembled(const capture::PacketList& packets,
                                   const TransferOptions& options = {}) {
    const Transactions tx = GroupTransactions(packets);
    std::vector<std::string> out;
    for (const TransferItem& item : AssembleTransfers(packets, tx, options)) {
        std::string line = ToString(item) + " records " + std::to_string(FirstRecord(tx, item)) +
                           ".." + std::to_string(LastRecord(tx, item));
        const std::string data = HexOf(DeliveredPayload(packets, tx, item));
        if (!data.empty()) {
            line += " [" + data + "]";
        }
        out.push_back(line);
    }
    return out;
}

struct TransferCase {
    const char* name;
    const char* bus;
    std::vector<std::string> expected;
};

// Named by the case, so CTest names stay put between builds.
void PrintTo(const TransferCase& c, std::ostream* os) {
    *os << c.name;
}

class Assembly : public ::testing::TestWithParam<TransferCase> {};

TEST_P(Assembly, AssemblesTransfers) {
    EXPECT_EQ(Assembled(BusSequence(GetParam().bus)), GetParam().expected);
}

// A bounded read is the start of the whole payload, across retried toggles, corrupt packets
// and answers cut at wLength.
TEST_P(Assembly, BoundedPayloadIsTheStartOfTheWhole) {
    const auto packets = BusSequence(GetParam().bus);
    const Transactions tx = GroupTransactions(packets);
    for (const TransferItem& item : AssembleTransfers(packets, tx, {})) {
        const std::vector<std::uint8_t> whole = DeliveredPayload(packets, tx, item);
        for (const std::size_t limit : {0u, 1u, 3u, 9u}) {
            const std::vector<std::uint8_t> start(
                whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(
                                                   std::min<std::size_t>(limit, whole.size())));
            EXPECT_EQ(DeliveredPayload(packets, tx, item, limit), start) << item << " " << limit;
            // Handed over a packet's run at a time, never an empty one, the runs join up to it.
            std::vector<std::uint8_t> joined;
            std::size_t empty = 0;
            VisitDeliveredPayload(
                packets, tx, item,
                [&](std::span<const std::uint8_t> run) {
                    empty += run.empty() ? 1 : 0;
                    joined.insert(joined.end(), run.begin(), run.end());
                },
                limit);
            EXPECT_EQ(joined, start) << item << " " << limit;
            EXPECT_EQ(empty, 0u);
        }
    }
}

/// Every item a plain store was handed, by index.
class VectorStore : public TransferStore {
public:
    std::size_t open(const TransferItem& item) override {
        items.push_back(item);
        return items.size() - 1;
    }
    TransferItem get(std::size_t index) const override { return items.at(index); }
    void set(std::size_t index, const TransferItem& item) override { items.at(index) = item; }
    std::vector<TransferItem> items;
};

/// The whole-list assembly changes its open items in place; stepped one transaction at a time
/// over a store that only gets and sets, the same capture must give the same items.
void ExpectStepwiseAssemblyAgrees(const capture::PacketList& packets) {
    const Transactions tx = GroupTransactions(packets);
    LargestPayloads scratch;
    const LargestPayloads& largest = LargestPayloadsOf(packets, tx, scratch);
    for (const bool fold : {true, false}) {
        TransferOptions options;
        options.fold = fold;
        VectorStore store;
        TransferAssembly stepwise(packets, tx, options, largest, store);
        for (std::size_t x = 0; x < tx.size(); ++x) {
            stepwise.step(x, tx[x]);
        }
        stepwise.finish();
        const TransferList whole = AssembleTransferList(packets, tx, options);
        ASSERT_EQ(whole.size(), store.items.size()) << (fold ? "folded" : "unfolded");
        for (std::size_t i = 0; i < whole.size(); ++i) {
            ASSERT_EQ(whole[i], store.items[i]) << "item " << i << (fold ? " folded" : "");
        }
    }
}

TEST_P(Assembly, StepwiseOverAPlainStoreAgrees) {
    ExpectStepwiseAssemblyAgrees(BusSequence(GetParam().bus));
}

// GET_DESCRIPTOR(device, 18) and SET_ADDRESS(5) as setup packets.
#define GET_DEVICE "DATA0 8006000100001200"
#define SET_ADDRESS "DATA0 0005050000000000"

INSTANTIATE_TEST_SUITE_P(
    Transfers, Assembly,
    ::testing::Values(
        // NAKed attempts are counted; a repeated toggle after a lost ACK is delivered once.
        TransferCase{"ControlInWithNakAndRetransmission",
                     "SETUP 1.0, " GET_DEVICE ", ACK, IN 1.0, NAK, IN 1.0, DATA1 1201000200000040, "
                     "ACK, IN 1.0, DATA1 1201000200000040, ACK, IN 1.0, DATA0 AABB, ACK, "
                     "OUT 1.0, DATA1, ACK",
                     {"control 1.0 in ok tx 0..5 count 6 naks 1 bytes 10 records 0..16 "
                      "[1201000200000040AABB]"}},
        TransferCase{"ControlWithoutDataStage",
                     "SETUP 0.0, " SET_ADDRESS ", ACK, IN 0.0, NAK, IN 0.0, DATA1, ACK",
                     {"control 0.0 out ok tx 0..2 count 3 naks 1 bytes 0 records 0..7"}},
        TransferCase{"ControlOutDataStage",
                     "SETUP 2.0, DATA0 2109000200000300, ACK, OUT 2.0, DATA1 010203, ACK, "
                     "IN 2.0, DATA1, ACK",
                     {"control 2.0 out ok tx 0..2 count 3 bytes 3 records 0..8 [010203]"}},
        TransferCase{"ControlStalledInDataStage",
                     "SETUP 1.0, DATA0 80060006000A0000, ACK, IN 1.0, STALL, SOF 3",
                     {"control 1.0 in stall tx 0..1 count 2 bytes 0 records 0..4",
                      "sof 0.0 out ok tx 2..2 count 1 bytes 0 records 5..5"}},
        TransferCase{"ControlStalledInStatusStage",
                     "SETUP 1.0, DATA0 0009010000000000, ACK, IN 1.0, STALL",
                     {"control 1.0 out stall tx 0..1 count 2 bytes 0 records 0..4"}},
        // A new SETUP to the endpoint, or the end of the capture, leaves a transfer open.
        TransferCase{"SetupInterruptsAndCaptureEnds",
                     "SETUP 1.0, " GET_DEVICE ", ACK, IN 1.0, DATA1 12, ACK, SETUP 1.0, " GET_DEVICE
                     ", ACK, IN 1.0, DATA1 1201, ACK",
                     {"control 1.0 in incomplete tx 0..1 count 2 bytes 1 records 0..5 [12]",
                      "control 1.0 in incomplete tx 2..3 count 2 bytes 2 records 6..11 [1201]"}},
        // A SETUP that the device did not take starts nothing.
        TransferCase{"SetupNotAccepted",
                     "SETUP 1.0, " GET_DEVICE ", SETUP 1.0, DATA1 8006000100001200, ACK, "
                     "SETUP 1.0, DATA0 80, ACK",
                     {"control 1.0 in error tx 0..0 count 1 bytes 0 records 0..1",
                      "control 1.0 in error tx 1..1 count 1 bytes 0 records 2..4",
                      "control 1.0 in error tx 2..2 count 1 bytes 0 records 5..7"}},
        // Other endpoints' transactions interleave with a control transfer.
        TransferCase{"InterleavedEndpoints",
                     "SETUP 1.0, " GET_DEVICE ", ACK, IN 2.1, DATA0 0102, ACK, IN 1.0, "
                     "DATA1 1201, ACK, IN 1.1, NAK, OUT 1.0, DATA1, ACK",
                     {"control 1.0 in ok tx 0..4 count 3 bytes 2 records 0..13 [1201]",
                      "data 2.1 in incomplete tx 1..1 count 1 bytes 2 records 3..5 [0102]",
                      "polling 1.1 in ok tx 3..3 count 1 bytes 0 records 9..10"}},
        // Without a descriptor the largest packet seen on the endpoint is its maximum.
        TransferCase{"BulkUpToShortOrZeroLengthPacket",
                     "OUT 3.2, DATA0 01020304, ACK, OUT 3.2, DATA1 0506, ACK, OUT 3.2, DATA0 "
                     "0A0B0C0D, ACK, OUT 3.2, DATA1 0E0F1011, ACK, OUT 3.2, DATA0, ACK",
                     {"data 3.2 out ok tx 0..1 count 2 bytes 6 records 0..5 [010203040506]",
                      "data 3.2 out ok tx 2..4 count 3 bytes 8 records 6..14 "
                      "[0A0B0C0D0E0F1011]"}},
        TransferCase{"BulkStallUnansweredAndCut",
                     "IN 3.1, DATA0 01020304, ACK, IN 3.1, STALL, IN 3.1, DATA1 01020304, ACK, "
                     "IN 3.1, IN 3.1, DATA0 01020304, ACK",
                     {"data 3.1 in stall tx 0..1 count 2 bytes 4 records 0..4 [01020304]",
                      "data 3.1 in error tx 2..3 count 2 bytes 4 records 5..8 [01020304]",
                      "data 3.1 in incomplete tx 4..4 count 1 bytes 4 records 9..11 [01020304]"}},
        // The capture may end before the handshake: that is no error.
        TransferCase{"CutBeforeTheHandshake",
                     "OUT 3.2, DATA0 0102, ACK, OUT 3.2, DATA1 03",
                     {"data 3.2 out incomplete tx 0..1 count 2 bytes 2 records 0..4 [0102]"}},
        TransferCase{"UnansweredDataIsIsochronous",
                     "OUT 4.3, DATA0 0102, OUT 4.3, DATA0 0304, SOF 5",
                     {"isochronous 4.3 out ok tx 0..0 count 1 bytes 2 records 0..1 [0102]",
                      "isochronous 4.3 out ok tx 1..1 count 1 bytes 2 records 2..3 [0304]",
                      "sof 0.0 out ok tx 2..2 count 1 bytes 0 records 4..4"}},
        // SOFs fold across NAKed polls and polls across SOFs; other traffic ends the SOF run,
        // and only the pipe's own traffic ends its run of NAKs (1.2's data leaves 1.1 polled).
        // A NAK while a transfer waits for more data delays that transfer (5.8.3).
        TransferCase{
            "FoldedRuns",
            "SOF 1, IN 1.1, NAK, SOF 2, IN 1.2, NAK, IN 1.1, NAK, SOF 3, IN 1.2, DATA0 01, "
            "ACK, SOF 4, IN 1.1, NAK, IN 1.1, DATA1 02, ACK, IN 1.1, NAK",
            {"sof 0.0 out ok tx 0..5 count 3 bytes 0 records 0..8",
             "polling 1.1 in ok tx 1..8 count 3 bytes 0 records 1..14",
             "data 1.2 in incomplete tx 3..6 count 2 naks 1 bytes 1 records 4..11 [01]",
             "sof 0.0 out ok tx 7..7 count 1 bytes 0 records 12..12",
             "data 1.1 in incomplete tx 9..10 count 2 naks 1 bytes 1 records 15..19 [02]"}},
        TransferCase{"MalformedAndOrphanStages",
                     "IN 1.0, DATA1 12, ACK, DATA0 01, OUT 1.0, DATA1, ACK",
                     {"control 1.0 in incomplete tx 0..0 count 1 bytes 0 records 0..2",
                      "malformed 0.0 out error tx 1..1 count 1 bytes 0 records 3..3",
                      "control 1.0 out incomplete tx 2..2 count 1 bytes 0 records 4..6"}},
        // 9.3.5: a read with wLength > 0 has a data stage; one the capture does not hold (an
        // IN answered by a bare handshake, or none at all) leaves the transfer incomplete.
        // A zero-length data packet is a data stage.
        TransferCase{"ControlReadWithoutItsData",
                     "SETUP 1.0, " GET_DEVICE ", ACK, IN 1.0, ACK, OUT 1.0, DATA1, ACK, "
                     "SETUP 1.0, " GET_DEVICE ", ACK, OUT 1.0, DATA1, ACK, "
                     "SETUP 1.0, " GET_DEVICE ", ACK, IN 1.0, DATA1, ACK, OUT 1.0, DATA1, ACK",
                     {"control 1.0 in incomplete tx 0..3 count 3 bytes 0 records 0..7",
                      "malformed 0.0 out error tx 2..2 count 1 bytes 0 records 4..4",
                      "control 1.0 in incomplete tx 4..5 count 2 bytes 0 records 8..13",
                      "control 1.0 in ok tx 6..8 count 3 bytes 0 records 14..22"}},
        // 9.3.5: the data stage ends at wLength. Whole packets past it are the device's own
        // item, which takes the rest of the transfer; a packet across it delivers its first
        // bytes and flags the rest.
        TransferCase{"ControlAnswerPastWLength",
                     "SETUP 1.0, DATA0 8006000100000400, ACK, IN 1.0, DATA1 12010002, ACK, "
                     "IN 1.0, DATA0 AABBCC, ACK, IN 1.0, NAK, IN 1.0, DATA1 DD, ACK, "
                     "OUT 1.0, DATA1, ACK, "
                     "SETUP 1.0, DATA0 8006000100000300, ACK, IN 1.0, DATA1 12010002, ACK, "
                     "OUT 1.0, DATA1, ACK",
                     {"control 1.0 in ok tx 0..1 count 2 bytes 4 records 0..5 [12010002]",
                      "control 1.0 in error tx 2..5 count 4 naks 1 bytes 0 excess 4 records "
                      "6..16",
                      "control 1.0 in error tx 6..8 count 3 bytes 3 excess 1 records 17..25 "
                      "[120100]"}},
        // 8.3.5: a token or SOF whose CRC5 fails names no endpoint and marks no frame.
        TransferCase{"BadCrc5",
                     "SOF 1, SOF 2, SOF! 3, SOF 4, IN! 55.1, IN 5.1, DATA0 01, ACK, OUT! 5.2, "
                     "DATA0 02, SOF 5",
                     {"sof 0.0 out ok tx 0..1 count 2 bytes 0 records 0..1",
                      "malformed 0.0 out error tx 2..2 count 1 bytes 0 records 2..2",
                      "sof 0.0 out ok tx 3..3 count 1 bytes 0 records 3..3",
                      "malformed 0.0 out error tx 4..4 count 1 bytes 0 records 4..4",
                      "data 5.1 in incomplete tx 5..5 count 1 bytes 1 records 5..7 [01]",
                      "malformed 0.0 out error tx 6..6 count 1 bytes 0 records 8..9",
                      "sof 0.0 out ok tx 7..7 count 1 bytes 0 records 10..10"}},
        // 8.6.3: a data packet whose CRC16 fails is ignored; the retry with the same toggle
        // delivers, inside the same transfer.
        TransferCase{"BadCrc16IsRetried",
                     "SETUP 1.0, " GET_DEVICE ", ACK, IN 1.0, DATA1! 12010002, IN 1.0, "
                     "DATA1 12010002, ACK, OUT 1.0, DATA1, ACK, "
                     "OUT 3.2, DATA0 01020304, ACK, OUT 3.2, DATA1! 0506, OUT 3.2, DATA1 0506, "
                     "ACK",
                     {"control 1.0 in ok tx 0..3 count 4 bytes 4 records 0..10 [12010002]",
                      "data 3.2 out ok tx 4..6 count 3 bytes 6 records 11..18 [010203040506]"}},
        // 8.6.4: a packet sent again after its ACK was lost repeats the toggle; at the end of
        // a transfer it joins that transfer and delivers nothing more.
        TransferCase{"RetransmissionAtTransferEnd",
                     "OUT 3.2, DATA0 01020304, ACK, OUT 3.2, DATA1 0506, ACK, OUT 3.2, "
                     "DATA1 0506, ACK, OUT 3.2, DATA0 0708, ACK",
                     {"data 3.2 out ok tx 0..2 count 3 bytes 6 records 0..8 [010203040506]",
                      "data 3.2 out ok tx 3..3 count 1 bytes 2 records 9..11 [0708]"}},
        // A single NAK only delayed the transfer its pipe opens next: the transfer begins at
        // it. A run of NAKs is a poll of its own, as is a NAK that nothing follows, a NAK
        // before an OUT of the other direction, or one of a configuration since replaced
        // (9.1.1.5).
        TransferCase{"LoneNaksFoldIntoTheirTransfers",
                     "IN 1.1, NAK, IN 1.2, NAK, SOF 7, IN 1.1, DATA0 01, ACK, IN 1.2, DATA0 02, "
                     "ACK, OUT 3.2, DATA0 0102, NAK, OUT 3.2, DATA0 0102, ACK",
                     {"data 1.1 in incomplete tx 0..3 count 2 naks 1 bytes 1 records 0..7 [01]",
                      "data 1.2 in incomplete tx 1..4 count 2 naks 1 bytes 1 records 2..10 [02]",
                      "sof 0.0 out ok tx 2..2 count 1 bytes 0 records 4..4",
                      "data 3.2 out incomplete tx 5..6 count 2 naks 1 bytes 2 records 11..16 "
                      "[0102]"}},
        TransferCase{"NakRunsKeepTheirRows",
                     "IN 1.1, NAK, IN 1.1, NAK, IN 1.1, DATA0 01, ACK, OUT 1.1, DATA0 05, NAK, "
                     "IN 1.1, DATA1, ACK, IN 1.3, NAK, SETUP 1.0, DATA0 0009010000000000, ACK, "
                     "IN 1.0, DATA1, ACK, IN 1.3, DATA0 03, ACK, IN 1.1, NAK",
                     {"polling 1.1 in ok tx 0..1 count 2 bytes 0 records 0..3",
                      "data 1.1 in ok tx 2..4 count 2 bytes 1 records 4..12 [01]",
                      "polling 1.1 out ok tx 3..3 count 1 bytes 0 records 7..9",
                      "polling 1.3 in ok tx 5..5 count 1 bytes 0 records 13..14",
                      "control 1.0 out ok tx 6..7 count 2 bytes 0 records 15..20",
                      "data 1.3 in incomplete tx 8..8 count 1 bytes 1 records 21..23 [03]",
                      "polling 1.1 in ok tx 9..9 count 1 bytes 0 records 24..25"}},
        // An endpoint whose data goes unanswered is isochronous, to the end of the capture.
        TransferCase{"IsochronousCutByTheCaptureEnd",
                     "OUT 4.3, DATA0 0102, SOF 5, OUT 4.3, DATA0 0304",
                     {"isochronous 4.3 out ok tx 0..0 count 1 bytes 2 records 0..1 [0102]",
                      "sof 0.0 out ok tx 1..1 count 1 bytes 0 records 2..2",
                      "isochronous 4.3 out ok tx 2..2 count 1 bytes 2 records 3..4 [0304]"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Transfers, WithoutFoldingEverySofAndNakStandsAlone) {
    const auto packets = BusSequence("SOF 1, IN 1.1, NAK, SOF 2, IN 1.1, NAK");
    TransferOptions options;
    options.fold = false;
    EXPECT_EQ(Assembled(packets, options),
              (std::vector<std::string>{"sof 0.0 out ok tx 0..0 count 1 bytes 0 records 0..0",
                                        "polling 1.1 in ok tx 1..1 count 1 bytes 0 records 1..2",
                                        "sof 0.0 out ok tx 2..2 count 1 bytes 0 records 3..3",
                                        "polling 1.1 in ok tx 3..3 count 1 bytes 0 records 4..5"}));
}

TEST(Transfers, EndpointDescriptorsGiveTypeAndMaximumPacketSize) {
    const auto packets = BusSequence("IN 1.1, DATA0 0102, ACK, IN 1.1, DATA1 0304, ACK, "
                                     "IN 1.2, DATA0 AA, ACK, IN 1.3, DATA0 BB, ACK, IN 1.3, NAK");
    TransferOptions options;
    options.endpoints = [](std::uint8_t, std::uint8_t endpoint, Direction,
                           std::size_t) -> EndpointAnswer {
        switch (endpoint) {
        case 1:
            return {EndpointDescription{TransferType::Interrupt, 8}};
        case 2:
            return {EndpointDescription{TransferType::Isochronous, 64}};
        case 3:
            return {EndpointDescription{TransferType::Bulk, 1}};
        default:
            return {};
        }
    };
    EXPECT_EQ(Assembled(packets, options),
              (std::vector<std::string>{
                  "interrupt 1.1 in ok tx 0..0 count 1 bytes 2 records 0..2 [0102]",
                  "interrupt 1.1 in ok tx 1..1 count 1 bytes 2 records 3..5 [0304]",
                  "isochronous 1.2 in error tx 2..2 count 1 bytes 1 records 6..8 [AA]",
                  "bulk 1.3 in incomplete tx 3..4 count 2 naks 1 bytes 1 records 9..13 [BB]"}));
}

/// Each item's printed form and records, without what it delivered.
std::vector<std::string> Outline(const capture::PacketList& packets,
                                 const TransferOptions& options) {
    std::vector<std::string> out = Assembled(packets, options);
    for (std::string& line : out) {
        line = line.substr(0, line.find(" ["));
    }
    return out;
}

EndpointLookup Describe(std::uint8_t endpoint, EndpointDescription d) {
    return [=](std::uint8_t, std::uint8_t e, Direction, std::size_t) -> EndpointAnswer {
        return e == endpoint ? EndpointAnswer{d} : EndpointAnswer{};
    };
}

// 5.7.5: the host asks an interrupt endpoint for one report a time, so every delivering
// transaction is a transfer, full-sized or not; a NAKed poll is a request still pending (a
// single one joins the transfer that follows it, and one while that transfer still waits for
// its report is counted in it). A
// report whose CRC16 failed (8.6.3) comes again at a later poll, and one sent again because
// the ACK was lost (8.6.4) joins the transfer that delivered it.
TEST(Transfers, InterruptEndpointsCarryOneReportPerTransfer) {
    const auto packets = BusSequence(
        "IN 1.1, DATA0 0102030405060708, ACK, IN 1.1, NAK, IN 1.1, DATA1! 1112131415161718, "
        "IN 1.1, NAK, IN 1.1, DATA1 1112131415161718, ACK, IN 1.1, DATA1 1112131415161718, ACK, "
        "IN 1.1, DATA0 21, ACK");
    TransferOptions options;
    options.endpoints = Describe(1, {TransferType::Interrupt, 8});
    EXPECT_EQ(Assembled(packets, options),
              (std::vector<std::string>{
                  "interrupt 1.1 in ok tx 0..0 count 1 bytes 8 records 0..2 [0102030405060708]",
                  "interrupt 1.1 in ok tx 1..5 count 5 naks 2 bytes 8 records 3..14 "
                  "[1112131415161718]",
                  "interrupt 1.1 in ok tx 6..6 count 1 bytes 1 records 15..17 [21]"}));
}

// BOT 1.0 5.3: on a bulk-only interface the data stage ends at dCBWDataTransferLength (here a
// multiple of the packet size, with no short packet), the status wrapper is a transfer of its
// own, and it must carry its command's tag (5.2, 6.3). A command without a status is
// incomplete.
TEST(Transfers, BulkOnlyMassStorageSeparatesCommandDataAndStatus) {
    const std::string zeros(128, '0');
    const auto packets = BusSequence(
        "OUT 1.2, DATA0 55534243010000008000000080000A28000000000000000100000000000000, ACK, "
        "IN 1.1, DATA0 " +
        zeros + ", ACK, IN 1.1, DATA1 " + zeros +
        ", ACK, "
        "IN 1.1, DATA0 55534253010000000000000000, ACK, "
        "OUT 1.2, DATA1 55534243020000000000000000000600000000000000000000000000000000, ACK, "
        "IN 1.1, DATA1 55534253030000000000000000, ACK, "
        "OUT 1.2, DATA0 55534243040000000000000000000600000000000000000000000000000000, ACK");
    TransferOptions options;
    options.endpoints = [](std::uint8_t, std::uint8_t e, Direction, std::size_t) {
        return e == 1 || e == 2
                   ? EndpointAnswer{EndpointDescription{TransferType::Bulk, 64, true, 0}}
                   : EndpointAnswer{};
    };
    EXPECT_EQ(Outline(packets, options),
              (std::vector<std::string>{"bulk 1.2 out ok tx 0..0 count 1 bytes 31 records 0..2",
                                        "bulk 1.1 in ok tx 1..2 count 2 bytes 128 records 3..8",
                                        "bulk 1.1 in ok tx 3..3 count 1 bytes 13 records 9..11",
                                        "bulk 1.2 out ok tx 4..4 count 1 bytes 31 records 12..14",
                                        "bulk 1.1 in error tx 5..5 count 1 bytes 13 records 15..17",
                                        "bulk 1.2 out incomplete tx 6..6 count 1 bytes 31 records "
                                        "18..20"}));
}

// 9.3.5: however much a device sends, a control transfer delivers at most wLength bytes; the
// rest is flagged, on the transfer and on the device.
TEST(Transfers, AnswerPastWLengthStaysBounded) {
    std::string bus = "SETUP 1.0, DATA0 800600220000FFFF, ACK, ";
    const std::string packet(128, 'A');
    constexpr std::size_t kPackets = 7032; // 450,048 bytes
    for (std::size_t i = 0; i < kPackets; ++i) {
        bus += std::string("IN 1.0, DATA") + (i % 2 == 0 ? "1 " : "0 ") + packet + ", ACK, ";
    }
    bus += "OUT 1.0, DATA1, ACK";
    const auto packets = BusSequence(bus);
    const Transactions tx = GroupTransactions(packets);
    const auto items = AssembleTransfers(packets, tx);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].bytes, 65535u);
    EXPECT_EQ(DeliveredPayload(packets, tx, items[0]).size(), 65535u);
    EXPECT_EQ(items[0].excess + items[1].excess, kPackets * 64 - 65535);
    EXPECT_EQ(items[1].bytes, 0u);
    EXPECT_EQ(items[1].status, TransferStatus::Error);
    EXPECT_EQ(TransferSummary(packets, tx, items[1], SummaryForm::Line),
              "384,512 bytes sent past wLength");
    const DeviceModel devices = DeviceModel::Build(packets, tx, items);
    ASSERT_EQ(devices.devices().size(), 1u);
    std::vector<std::string> problems;
    for (const DeviceProblem& p : devices.devices()[0].problems) {
        problems.push_back(p.what);
    }
    EXPECT_EQ(problems, (std::vector<std::string>{"control transfer: 1 byte sent past wLength",
                                                  "control transfer: 384512 bytes sent past "
                                                  "wLength"}));
}

// 8.3.5: a token whose CRC5 fails is no device's traffic.
TEST(Transfers, BadCrc5TokenIsMalformedAndNamesNoDevice) {
    const auto packets = BusSequence("IN! 55.1, SOF! 9, OUT 5.2, DATA0 01, ACK");
    const Transactions tx = GroupTransactions(packets);
    const auto items = AssembleTransfers(packets, tx);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(TransferSummary(packets, tx, items[0], SummaryForm::Line), "IN with a bad CRC5");
    EXPECT_EQ(TransferSummary(packets, tx, items[1], SummaryForm::Brief), "SOF with a bad CRC5");
    const DeviceModel devices = DeviceModel::Build(packets, tx, items);
    ASSERT_EQ(devices.devices().size(), 1u);
    EXPECT_EQ(devices.devices()[0].address, 5);
}

// 8.3.5.2: a data packet that fails its CRC16 delivers nothing. A transfer's summary counts
// its own such members, not those of another pipe's transfer between them, however far apart
// they are.
TEST(Transfers, SummaryCountsOnlyItsOwnCorruptMembers) {
    std::string bus = "IN 3.1, DATA0! 0102, ";
    for (int i = 0; i < 100; ++i) {
        bus += "OUT 5.2, DATA0! 01, ";
    }
    bus += "IN 3.1, DATA0 0102, ACK, IN 3.1, DATA1 01, ACK";
    const auto packets = BusSequence(bus);
    const Transactions tx = GroupTransactions(packets);
    const auto items = AssembleTransfers(packets, tx);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(TransferSummary(packets, tx, items[0], SummaryForm::Line),
              "3 transactions, 1 with a bad CRC16");
    EXPECT_EQ(TransferSummary(packets, tx, items[1], SummaryForm::Line),
              "100 transactions, 100 with a bad CRC16");
}

// NAKed INs are the host polling an endpoint with nothing to send; NAKed OUTs are data the
// device cannot take yet, offered again (8.5.1): the tree names them apart.
TEST(Transfers, NakedRunsAreNamedByWhatTheHostWasDoing) {
    const auto packets = BusSequence("OUT 3.2, DATA0 01, NAK, OUT 3.2, DATA0 01, NAK, OUT 3.2, "
                                     "DATA0 01, ACK, IN 3.1, NAK, IN 3.1, NAK, IN 3.3, NAK, "
                                     "IN 3.3, DATA0 05, ACK");
    const Transactions tx = GroupTransactions(packets);
    const auto items = AssembleTransfers(packets, tx);
    ASSERT_EQ(items.size(), 4u);
    const char* const brief[] = {"NAKed OUT 3.2 ×2", "Data OUT 1 bytes", "Polling IN 3.1 ×2 NAK",
                                 "Data IN 1 bytes, NAKed ×1"};
    for (std::size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(TransferSummary(packets, tx, items[i], SummaryForm::Brief), brief[i]);
    }
    EXPECT_EQ(TransferSummary(packets, tx, items[0], SummaryForm::Line), "2 NAKed");
    EXPECT_EQ(TransferSummary(packets, tx, items[3], SummaryForm::Line), "2 transactions, 1 NAKed");
    // So does a title whose class decoder says what the transfer carried.
    EXPECT_EQ(TransferTitle(packets, tx, items[3], Decoded{"Report 05", HeadlineUse::Replace}),
              "Report 05, NAKed ×1");
    // JSON says it too; a transfer no NAK delayed, a poll and SOFs carry no "naks" at all.
    std::string json;
    AppendTransferJson(json, packets, tx, items[3], std::nullopt);
    EXPECT_NE(json.find("\"count\": 2, \"bytes\": 1, \"data\": \"05\", \"naks\": 1}"),
              std::string::npos)
        << json;
    json.clear();
    AppendTransferJson(json, packets, tx, items[1], std::nullopt);
    AppendTransferJson(json, packets, tx, items[0], std::nullopt);
    EXPECT_EQ(json.find("naks"), std::string::npos) << json;
}

/// Every record of the capture is reached through exactly one item's members.
void ExpectEveryRecordUnderOneItem(const capture::PacketList& packets, bool fold) {
    const Transactions tx = GroupTransactions(packets);
    TransferOptions options;
    options.fold = fold;
    std::vector<int> owners(packets.size(), 0);
    for (const TransferItem& item : AssembleTransfers(packets, tx, options)) {
        const std::vector<std::size_t> members = Members(tx, item);
        // What an item counts is what a reader walking its members finds.
        ASSERT_EQ(members.size(), item.count) << item;
        for (std::size_t x : members) {
            for (std::size_t r = tx[x].first; r <= tx[x].last(); ++r) {
                ++owners[r];
            }
        }
    }
    for (std::size_t r = 0; r < owners.size(); ++r) {
        ASSERT_EQ(owners[r], 1) << "record " << r << (fold ? " folded" : " unfolded");
    }
}

TEST(Transfers, RealCapturesHideNoRecord) {
    for (const char* name : {"fs-badge.dat", "ls-mouse.dat", "edge-cases.dat", "faults.dat"}) {
        SCOPED_TRACE(name);
        capture::PacketList packets;
        capture::EndpointTable table;
        ASSERT_TRUE(
            capture::LoadCaptureFile(std::string(VINTRACE_TEST_DATA) + "/" + name, packets, table)
                .ok());
        ExpectEveryRecordUnderOneItem(packets, true);
        ExpectEveryRecordUnderOneItem(packets, false);
        ExpectStepwiseAssemblyAgrees(packets);
    }
}

// The enumeration in the real full-speed capture: every request answered as asked.
TEST(Transfers, RealEnumerationControlTransfers) {
    capture::PacketList packets;
    capture::EndpointTable table;
    ASSERT_TRUE(
        capture::LoadCaptureFile(std::string(VINTRACE_TEST_DATA) + "/fs-badge.dat", packets, table)
            .ok());
    const Transactions tx = GroupTransactions(packets);
    std::map<std::string, int> statuses;
    for (const TransferItem& item : AssembleTransfers(packets, tx)) {
        if (item.type != TransferType::Control) {
            continue;
        }
        ++statuses[std::string(StatusName(item.status))];
        const auto request = ControlRequest(packets, tx, item);
        ASSERT_TRUE(request) << item;
        EXPECT_LE(item.bytes, request->length) << item;
        EXPECT_EQ(DeliveredPayload(packets, tx, item).size(), item.bytes) << item;
        if (item.status == TransferStatus::Ok && request->request == 6 &&
            (request->value >> 8) <= 3) {
            // A device, configuration or string descriptor starts with its length and type.
            const auto data = DeliveredPayload(packets, tx, item);
            ASSERT_GE(data.size(), 2u);
            EXPECT_EQ(data[1], request->value >> 8) << item;
        }
    }
    EXPECT_EQ(statuses, (std::map<std::string, int>{{"ok", 28}, {"stall", 6}}));
}

TEST(JoinLines, PutsDecodedTextOnOneLine) {
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {"Report 1: X: +3", "Report 1: X: +3"},
        {"Usage Page (Generic Desktop)\nUsage (Mouse)\n",
         "Usage Page (Generic Desktop) | Usage (Mouse)"},
        {"a\r\nb\rc", "a | b | c"},
        // An empty line keeps its break; CR LF is one.
        {"a\n\r\nb\n\n", "a |  | b"},
        // Shown as the CLI shows them; a decoder's own escapes (\\r) stay as they are.
        {std::string("\"unit\0\"\ttab", 11), "\"unit\\x00\"\\x09tab"},
        {"text \"AT\\r\" \xC2\x9B\xE2\x80\xAE", "text \"AT\\r\" \\u009b\\u202e"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JoinLines(c.text), c.expected) << c.text;
    }
}

// The packed list gives back every item as it was set, in the packed form or with the counts
// that do not fit it kept aside, and an item keeps its values when it outgrows the packing.
TEST(TransferList, KeepsEveryItemAsSet) {
    auto item = [](TransferType type, std::size_t first, std::size_t last, std::uint32_t count,
                   std::uint32_t bytes, std::uint32_t naks, std::uint32_t excess) {
        TransferItem i;
        i.type = type;
        i.status = TransferStatus::Incomplete;
        i.direction = Direction::In;
        i.address = 127;
        i.endpoint = 15;
        i.firstTransaction = first;
        i.lastTransaction = last;
        i.count = count;
        i.bytes = bytes;
        i.naks = naks;
        i.excess = excess;
        return i;
    };
    const std::size_t far = (std::size_t{1} << 39) + 5;
    const std::vector<TransferItem> items = {
        item(TransferType::Bulk, 0, 0, 1, 64, 0, 0),
        item(TransferType::Sof, 3, 3 + (1 << 24) - 1, (1 << 20) - 1, 0, 0, 0), // packed at most
        item(TransferType::Polling, 3, 3 + (1 << 24), 2, 0, 0, 0),             // span too long
        item(TransferType::Data, 9, 10, 1 << 20, 0, 0, 0),                     // count too large
        item(TransferType::Bulk, 9, 10, 2, 1 << 20, 0, 0),                     // a megabyte
        item(TransferType::Control, far, far + 4, 3, 18, 2, 0),                // NAKs
        item(TransferType::Control, far, far, 1, 0, 0, 7),                     // past wLength
        item(TransferType::Malformed, 1, 1, 1, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF),
        item(TransferType::Interrupt, 4, 5, 2, 8, 1, 0), // the NAK that delayed it
    };
    TransferList list;
    for (const TransferItem& i : items) {
        list.push_back(i);
    }
    ASSERT_EQ(list.size(), items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(list[i], items[i]) << "item " << i;
    }
    // Growing past the packing and back.
    TransferItem grown = items[0];
    grown.naks = 2;
    list.set(0, grown);
    EXPECT_EQ(list[0], grown);
    grown.naks = 0;
    grown.bytes = 3;
    list.set(0, grown);
    EXPECT_EQ(list[0], grown);
    EXPECT_EQ(list.release(),
              (std::vector<TransferItem>{grown, items[1], items[2], items[3], items[4], items[5],
                                         items[6], items[7], items[8]}));
    EXPECT_TRUE(list.empty());
}

} // namespace
} // namespace vintrace::protocol
