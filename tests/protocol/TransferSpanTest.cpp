#include "protocol/TransferSpan.h"

#include "protocol/Transfers.h"
#include "session/CaptureSession.h"
#include "support/BusSequence.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

/// Cut into parts of `size` transactions, an item's members, its payload and the first and
/// last member of each part join up to those of the whole, in order.
void ExpectPartsMakeTheWhole(const capture::PacketList& packets, const Transactions& tx,
                             const TransferItem& item, std::size_t size) {
    const std::vector<std::size_t> members = Members(tx, item);
    const std::vector<std::uint8_t> payload = DeliveredPayload(packets, tx, item);
    std::vector<std::size_t> joinedMembers;
    std::vector<std::uint8_t> joinedPayload;
    for (std::size_t from = item.firstTransaction; from <= item.lastTransaction; from += size) {
        const std::size_t to = std::min(item.lastTransaction, from + size - 1);
        const auto part = SpanPart(item, from, to);
        ASSERT_TRUE(part) << item << " part from " << from;
        const std::vector<std::size_t> inPart = Members(tx, *part);
        joinedMembers.insert(joinedMembers.end(), inPart.begin(), inPart.end());
        EXPECT_EQ(FirstMemberIn(tx, item, from, to),
                  inPart.empty() ? std::nullopt : std::optional(inPart.front()))
            << item << " part from " << from;
        EXPECT_EQ(LastMemberIn(tx, item, from, to),
                  inPart.empty() ? std::nullopt : std::optional(inPart.back()))
            << item << " part from " << from;
        const std::vector<std::uint8_t> bytes = DeliveredPayloadWithin(packets, tx, item, from, to);
        joinedPayload.insert(joinedPayload.end(), bytes.begin(), bytes.end());
        // A limit keeps the part's start.
        const std::vector<std::uint8_t> two =
            DeliveredPayloadWithin(packets, tx, item, from, to, 2);
        EXPECT_EQ(
            two, std::vector<std::uint8_t>(
                     bytes.begin(), bytes.begin() + std::min<std::ptrdiff_t>(2, std::ssize(bytes))))
            << item << " part from " << from;
    }
    EXPECT_EQ(joinedMembers, members) << item << " in parts of " << size;
    EXPECT_EQ(joinedPayload, payload) << item << " in parts of " << size;
}

/// A read bounded by transactions is the start of the whole payload, and says it stopped
/// short exactly when there was more.
void ExpectBoundedStartIsTheWholesStart(const capture::PacketList& packets, const Transactions& tx,
                                        const TransferItem& item) {
    const std::vector<std::uint8_t> whole = DeliveredPayload(packets, tx, item);
    const std::size_t span = item.lastTransaction - item.firstTransaction + 1;
    for (std::size_t bound = 0; bound <= span + 1; ++bound) {
        for (const std::size_t limit : {std::size_t{3}, SIZE_MAX}) {
            const PayloadStart start = DeliveredPayloadStart(packets, tx, item, limit, bound);
            const std::size_t wanted = std::min(limit, whole.size());
            ASSERT_LE(start.bytes.size(), wanted) << item << " bound " << bound;
            EXPECT_TRUE(std::equal(start.bytes.begin(), start.bytes.end(), whole.begin()))
                << item << " bound " << bound;
            EXPECT_EQ(start.cut, start.bytes.size() < wanted) << item << " bound " << bound;
            if (bound >= span) {
                EXPECT_FALSE(start.cut) << item;
            }
        }
    }
}

struct SpanCase {
    const char* name;
    const char* bus;
};

void PrintTo(const SpanCase& c, std::ostream* os) {
    *os << c.name;
}

class TransferSpanBus : public ::testing::TestWithParam<SpanCase> {};

TEST_P(TransferSpanBus, PartsMakeTheWholeAndBoundedReadsItsStart) {
    const capture::PacketList packets = test::BusSequence(GetParam().bus);
    const Transactions tx = GroupTransactions(packets);
    for (const bool fold : {true, false}) {
        TransferOptions options;
        options.fold = fold;
        const std::vector<TransferItem> items = AssembleTransfers(packets, tx, options);
        ASSERT_FALSE(items.empty());
        for (const TransferItem& item : items) {
            for (const std::size_t size : {1, 2, 3}) {
                ExpectPartsMakeTheWhole(packets, tx, item, size);
            }
            ExpectBoundedStartIsTheWholesStart(packets, tx, item);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, TransferSpanBus,
    ::testing::Values(
        // A part that begins with a retransmission delivers nothing of it: the data came with
        // the part before (USB 2.0 8.6.4).
        SpanCase{"RetransmissionAtAPartsStart",
                 "IN 3.1, NAK, IN 3.1, DATA0 01020304, ACK, IN 3.1, DATA0 01020304, ACK, "
                 "IN 3.1, NAK, IN 3.1, DATA1 05060708, ACK, IN 3.1, DATA0 09, ACK"},
        // The data stage ends at wLength (USB 2.0 9.3.5) whichever part holds the bytes past
        // it; the SETUP delivers nothing.
        SpanCase{"ControlAnswerPastWLength",
                 "SETUP 1.0, DATA0 8006000100000300, ACK, IN 1.0, NAK, IN 1.0, DATA1 0102, ACK, "
                 "IN 1.0, NAK, IN 1.0, DATA0 030405, ACK, OUT 1.0, DATA1, ACK"},
        // A corrupt packet delivers nothing and its retry does (USB 2.0 8.6.3), across other
        // endpoints' traffic.
        SpanCase{"CorruptDataAndInterleavedPipes",
                 "OUT 3.2, DATA0! 0102, ACK, IN 4.1, NAK, OUT 3.2, DATA0 0102, ACK, SOF 5, "
                 "IN 4.1, DATA0 AA, ACK, OUT 3.2, DATA1 03, ACK"},
        // A long run of NAKs before the data: a bound within it reads nothing yet.
        SpanCase{"DataAfterManyNaks", "IN 2.1, NAK, IN 2.1, NAK, IN 2.1, NAK, IN 2.1, NAK, "
                                      "IN 2.1, NAK, IN 2.1, DATA0 0A0B, ACK"}),
    [](const ::testing::TestParamInfo<SpanCase>& info) { return std::string(info.param.name); });

// The same over whole captures, folded and not: every item, parts of a few sizes.
TEST(TransferSpan, PartsMakeTheWholeInRealCaptures) {
    for (const char* file : {"fs-badge.dat", "ls-mouse.dat", "faults.dat", "edge-cases.dat"}) {
        session::CaptureSession session;
        ASSERT_TRUE(session.open(std::string(VINTRACE_TEST_DATA) + "/" + file).ok()) << file;
        for (const bool fold : {true, false}) {
            const TransferList& items = session.transferList(fold);
            for (std::size_t i = 0; i < items.size(); ++i) {
                for (const std::size_t size : {1, 7, 64}) {
                    ExpectPartsMakeTheWhole(session.packets(), session.transactions(), items[i],
                                            size);
                }
            }
        }
    }
}

// A part outside the span is none.
TEST(TransferSpan, APartOutsideTheSpanIsNone) {
    TransferItem item;
    item.type = TransferType::Bulk;
    item.firstTransaction = 10;
    item.lastTransaction = 20;
    EXPECT_FALSE(SpanPart(item, 0, 9));
    EXPECT_FALSE(SpanPart(item, 21, 30));
    EXPECT_FALSE(SpanPart(item, 15, 14));
    const auto part = SpanPart(item, 5, 12);
    ASSERT_TRUE(part);
    EXPECT_EQ(part->firstTransaction, 10u);
    EXPECT_EQ(part->lastTransaction, 12u);
}

} // namespace
} // namespace vintrace::protocol
