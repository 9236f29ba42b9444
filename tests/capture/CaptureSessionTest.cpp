#include "capture/CaptureSession.h"
#include "capture/HidePasses.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace vintrace::capture {
namespace {

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

} // namespace
} // namespace vintrace::capture
