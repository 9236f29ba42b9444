#include "protocol/Frames.h"
#include "protocol/Transfers.h"
#include "support/BusSequence.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

using test::BusSequence;

// 8.4.3.1: the host sends an SOF a frame, its 11-bit number one more each time. The count
// goes on across a wrap, and what comes before the first SOF stands in no frame.
TEST(FrameIndex, CountsFramesAcrossWrapsFromTheLastSof) {
    const struct {
        const char* bus;
        std::vector<std::optional<std::uint64_t>> frames; // per transaction
    } cases[] = {
        {"SOF 2046, SOF 2047, SOF 0, SOF 1", {2046, 2047, 2048, 2049}},
        {"IN 1.1, NAK, SOF 5, IN 1.1, NAK, OUT 1.2, DATA0 01, ACK, SOF 6",
         {std::nullopt, 5, 5, 5, 6}},
        // A hole of frames is counted as the frames that passed.
        {"SOF 2040, SOF 10", {2040, 2058}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bus);
        const capture::PacketList packets = BusSequence(c.bus);
        const Transactions tx = GroupTransactions(packets);
        const FrameIndex index = FrameIndex::Build(packets, tx);
        ASSERT_EQ(tx.size(), c.frames.size());
        for (std::size_t x = 0; x < tx.size(); ++x) {
            EXPECT_EQ(index.at(packets, tx, x), c.frames[x]) << "transaction " << x;
        }
        EXPECT_EQ(index.at(packets, tx, tx.size()), std::nullopt);
    }
}

// Look-ups far from the start read from the nearest checkpoint and agree with a count of
// every SOF from the first, over several wraps.
TEST(FrameIndex, AgreesWithACountFromTheStartAcrossCheckpoints) {
    std::string bus;
    const int sofs = 3 * static_cast<int>(FrameIndex::kStride) + 17;
    for (int i = 0; i < sofs; ++i) {
        bus += "SOF " + std::to_string((2000 + i) % 2048) + ", IN 2.1, NAK, ";
    }
    const capture::PacketList packets = BusSequence(bus);
    const Transactions tx = GroupTransactions(packets);
    const FrameIndex index = FrameIndex::Build(packets, tx);
    ASSERT_EQ(tx.size(), static_cast<std::size_t>(2 * sofs));
    for (std::size_t x = 0; x < tx.size(); x += 7) {
        ASSERT_EQ(index.at(packets, tx, x), 2000 + x / 2) << x;
    }
    EXPECT_LT(index.memoryUsed(), tx.size());
}

// A folded run of SOFs holds consecutive frames only: a skip splits it, and the run after the
// skip says how many frames are missing. Items carry their first frame and how many they span.
TEST(FrameIndex, SplitsSofRunsAtMissingFramesAndTimesItems) {
    const capture::PacketList packets = BusSequence(
        "SOF 2046, SOF 2047, SOF 0, SOF 241, SOF 242, SETUP 1.0, DATA0 8006000100001200, ACK, "
        "SOF 243, IN 1.0, NAK, SOF 244, IN 1.0, DATA1 12010002, ACK, OUT 1.0, DATA1, ACK");
    const Transactions tx = GroupTransactions(packets);
    const FrameIndex index = FrameIndex::Build(packets, tx);
    const std::vector<TransferItem> items = AssembleTransfers(packets, tx);
    const struct {
        TransferType type;
        std::uint32_t count;
        std::uint64_t frame;
        std::uint64_t duration;
        std::uint64_t missing;
    } expected[] = {
        {TransferType::Sof, 3, 2046, 2, 0},
        {TransferType::Sof, 2, 2289, 1, 240},
        {TransferType::Control, 4, 2290, 2, 0},
        {TransferType::Sof, 2, 2291, 1, 0},
    };
    ASSERT_EQ(items.size(), std::size(expected));
    for (std::size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE(ToString(items[i]));
        EXPECT_EQ(items[i].type, expected[i].type);
        EXPECT_EQ(items[i].count, expected[i].count);
        const auto frames = FramesOf(index, packets, tx, items[i]);
        ASSERT_TRUE(frames);
        EXPECT_EQ(frames->frame, expected[i].frame);
        EXPECT_EQ(frames->duration, expected[i].duration);
        EXPECT_EQ(MissingFramesBefore(index, packets, tx, items[i]), expected[i].missing);
    }
}

} // namespace
} // namespace vintrace::protocol
