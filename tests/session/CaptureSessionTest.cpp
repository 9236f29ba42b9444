#include "session/CaptureSession.h"
#include "capture/HidePasses.h"
#include "protocol/TransferSummary.h"
#include "support/BusSequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vintrace::session {
namespace {

using capture::HideSof;
using capture::LoadResult;

using protocol::TransferType;

std::string Data(const char* name) {
    return std::string(VINTRACE_TEST_DATA) + "/" + name;
}

std::size_t CountOf(const std::vector<protocol::TransferItem>& items, TransferType type) {
    return static_cast<std::size_t>(std::count_if(
        items.begin(), items.end(), [type](const auto& item) { return item.type == type; }));
}

TEST(CaptureSession, IndexesAreBuiltOnFirstUseAndFollowTheStore) {
    CaptureSession session;
    session.CaptureFileName = Data("fs-badge.dat");
    ASSERT_TRUE(session.Load().ok());
    EXPECT_FALSE(session.hasIndexes());
    const std::size_t folded = session.transfers(true).size();
    const std::size_t sofRuns = CountOf(session.transfers(true), TransferType::Sof);
    EXPECT_TRUE(session.hasIndexes());
    EXPECT_GT(sofRuns, 0u);
    // Unfolded, every SOF is an item of its own.
    EXPECT_GT(session.transfers(false).size(), folded);
    EXPECT_GT(CountOf(session.transfers(false), TransferType::Sof), sofRuns);

    // A hide pass changes the store under the session: the indexes are built again from it.
    const std::uint64_t before = session.generation();
    const std::size_t groupedBefore = session.transactions().size();
    ASSERT_GT(HideSof(session.PacketList, nullptr), 0u);
    session.StoreChanged();
    EXPECT_NE(session.generation(), before);
    EXPECT_FALSE(session.hasIndexes());
    EXPECT_LT(session.transactions().size(), groupedBefore);
    EXPECT_EQ(CountOf(session.transfers(true), TransferType::Sof), 0u);

    // Loading again restores what the file holds.
    ASSERT_TRUE(session.Load().ok());
    EXPECT_EQ(session.transfers(true).size(), folded);
}

TEST(CaptureSession, LoadReplacesTheStoreAndAFailedLoadLeavesItEmpty) {
    CaptureSession session;
    session.CaptureFileName = Data("ls-mouse.dat");
    ASSERT_TRUE(session.Load().ok());
    const std::size_t records = session.PacketList.size();
    ASSERT_GT(records, 0u);
    ASSERT_FALSE(session.EndpointTable.empty());
    ASSERT_FALSE(session.transfers().empty());
    // Loading twice does not append.
    ASSERT_TRUE(session.Load().ok());
    EXPECT_EQ(session.PacketList.size(), records);

    session.CaptureFileName = Data("no-such-capture.dat");
    const LoadResult failed = session.Load();
    EXPECT_FALSE(failed.ok());
    EXPECT_FALSE(failed.reason.empty());
    EXPECT_TRUE(session.PacketList.empty());
    EXPECT_TRUE(session.EndpointTable.empty());
    EXPECT_TRUE(session.transactions().empty());
    EXPECT_TRUE(session.transfers().empty());
}

// What the decoders say, per item, whichever list and in whatever order it is asked for.
TEST(CaptureSession, DecodedTextPerItemFollowsTheRecordsInEitherList) {
    CaptureSession session;
    session.CaptureFileName = Data("fs-badge.dat");
    ASSERT_TRUE(session.Load().ok());
    const struct {
        std::size_t firstRecord;
        std::optional<std::string> decoded;
    } cases[] = {
        // Asked from the end backwards: the first question decodes everything before it.
        {1758, "SET_REPORT output report 1 interface 2: Num Lock: 0, Caps Lock: 0, "
               "Scroll Lock: 0, Compose: 0, Kana: 0"},
        {1609, "\"TiDAL\""},
        {1541, std::nullopt}, // a stalled GET_DESCRIPTOR says nothing more
        {208, "SET_LINE_CODING 9600 8N1"},
        {173, std::string("\"USB JTAG/serial debug unit\0\"", 29)},
        {142, "9 of 98 bytes"},
        {6, "device 303A:1001"},
        {0, std::nullopt}, // a run of SOFs
    };
    for (const bool fold : {true, false}) {
        EXPECT_EQ(session.decodedCount(fold), 0u);
        const std::vector<protocol::TransferItem>& items = session.transfers(fold);
        for (const auto& c : cases) {
            const auto item = session.itemOfRecord(c.firstRecord, fold);
            ASSERT_TRUE(item) << c.firstRecord;
            ASSERT_EQ(protocol::FirstRecord(session.transactions(), items[*item]), c.firstRecord);
            EXPECT_EQ(session.decoded(*item, fold), c.decoded)
                << "record " << c.firstRecord << (fold ? " folded" : " unfolded");
            if (c.decoded) { // a transfer: its next record leads to it too
                EXPECT_EQ(session.itemOfRecord(c.firstRecord + 1, fold), item);
            }
        }
        // Nothing after the last item asked for has been decoded yet.
        const std::size_t last = *session.itemOfRecord(cases[0].firstRecord, fold);
        EXPECT_EQ(session.decodedCount(fold), last + 1);
        EXPECT_LT(session.decodedCount(fold), items.size());
        EXPECT_EQ(session.decoded(items.size(), fold), std::nullopt);
    }
    // Unfolded, every SOF is an item: the same transfer has another number in each list.
    EXPECT_NE(session.itemOfRecord(1758, true), session.itemOfRecord(1758, false));
    EXPECT_EQ(session.itemOfRecord(session.PacketList.size(), true), std::nullopt);

    // A data packet tells its transfer's meaning; tokens, handshakes and SOFs do not.
    EXPECT_EQ(session.meaningOfDataPacket(1759), cases[0].decoded); // the SETUP's DATA0
    EXPECT_EQ(session.meaningOfDataPacket(1758), std::nullopt);     // SETUP token
    EXPECT_EQ(session.meaningOfDataPacket(1760), std::nullopt);     // ACK
    EXPECT_EQ(session.meaningOfDataPacket(0), std::nullopt);        // SOF
}

TEST(CaptureSession, DecodedTextsAreDroppedWhenTheStoreChanges) {
    CaptureSession session;
    session.CaptureFileName = Data("fs-badge.dat");
    ASSERT_TRUE(session.Load().ok());
    // Each transfer's summary with what the decoders say about it, SOF runs left out.
    auto described = [&session] {
        std::vector<std::pair<std::string, std::optional<std::string>>> out;
        const std::vector<protocol::TransferItem>& items = session.transfers(true);
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (items[i].type != protocol::TransferType::Sof) {
                out.emplace_back(protocol::TransferSummary(session.PacketList,
                                                           session.transactions(), items[i],
                                                           protocol::SummaryForm::Line),
                                 session.decoded(i, true));
            }
        }
        return out;
    };
    const auto before = described();
    ASSERT_GT(session.decodedCount(true), 0u);
    ASSERT_GT(HideSof(session.PacketList, nullptr), 0u);
    session.StoreChanged();
    EXPECT_EQ(session.decodedCount(true), 0u);
    EXPECT_FALSE(session.hasIndexes());
    // Without its SOF runs the list numbers its items anew; each keeps its own text.
    EXPECT_EQ(described(), before);
}

// Hundreds of reports in one interrupt transfer: the first is the headline with their count,
// a bounded number of the others follow as lines.
TEST(CaptureSession, ManyReportsInOneTransferDecodeToABoundedText) {
    CaptureSession session;
    session.CaptureFileName = Data("ls-mouse.dat");
    ASSERT_TRUE(session.Load().ok());
    const auto item = session.itemOfRecord(1160);
    ASSERT_TRUE(item);
    const auto decoded = session.decoded(*item);
    ASSERT_TRUE(decoded);
    const std::string first = "HID report 1: Button 1: 0, Button 2: 0, Button 3: 0, Button 4: 0, "
                              "Button 5: 0, X: -1, Y: 0, Wheel: 0, AC Pan: 0 (158 reports)\n"
                              "HID report 1: Button 1: 0, Button 2: 0, Button 3: 0, Button 4: 0, "
                              "Button 5: 0, X: -2,";
    EXPECT_EQ(decoded->substr(0, first.size()), first);
    EXPECT_EQ(std::count(decoded->begin(), decoded->end(), '\n'), 64);
    EXPECT_TRUE(decoded->ends_with("\n94 more reports")) << decoded->substr(decoded->size() - 40);
}

// A mass-storage data stage is read by the command before it, even when the data stage is
// the first item anyone asks about.
TEST(CaptureSession, DecodesInCaptureOrderWhateverIsAskedFirst) {
    // A bulk-only interface with bulk IN 0x81 and OUT 0x02, 64 bytes each.
    const std::string configuration = "09022000010100803209040000020806500007058102400000"
                                      "07050202400000";
    CaptureSession session;
    session.PacketList = test::BusSequence(
        "SETUP 7.0, DATA0 8006000200002000, ACK, IN 7.0, DATA1 " + configuration +
        ", ACK, OUT 7.0, DATA1, ACK, "
        "OUT 7.2, DATA0 55534243090000000800000080000A25000000000000000000000000000000, ACK, "
        "IN 7.1, DATA0 0003FFFF00000200, ACK");
    session.StoreChanged();
    ASSERT_EQ(session.transfers(true).size(), 3u);
    EXPECT_EQ(session.meaningOfDataPacket(13),
              "READ CAPACITY data: last LBA 262143, block 512 bytes, 134217728 bytes");
    EXPECT_EQ(session.decodedItem(1, true),
              (protocol::Decoded{"SCSI READ CAPACITY(10)\nCBW tag 0x9, LUN 0, IN 8 bytes",
                                 protocol::HeadlineUse::Replace}));
}

} // namespace
} // namespace vintrace::session
