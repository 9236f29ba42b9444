#include "session/FindingsJob.h"

#include "capture/HidePasses.h"
#include "session/CaptureSession.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vintrace::session {
namespace {

using namespace std::chrono_literals;

std::string Data(const char* name) {
    return std::string(VINTRACE_TEST_DATA) + "/" + name;
}

protocol::Finding At(std::size_t first) {
    protocol::Finding f;
    f.rule = "crc5-error";
    f.first = first;
    f.last = first;
    return f;
}

TEST(StepFinding, VisitsRecordsWithFindingsInOrderAndWraps) {
    // Two findings on record 3: a step lands on the first of them and leaves the record next.
    const std::vector<protocol::Finding> findings = {At(3), At(3), At(7), At(12)};
    const struct {
        std::optional<std::size_t> cursor;
        bool forward;
        FindingStep want;
    } cases[] = {
        {std::nullopt, true, {0, false}},
        {std::nullopt, false, {3, false}},
        {0, true, {0, false}},
        {3, true, {2, false}},
        {5, true, {2, false}},
        {12, true, {0, true}},
        {40, true, {0, true}},
        {12, false, {2, false}},
        {7, false, {0, false}},
        {8, false, {2, false}},
        {3, false, {3, true}},
        {0, false, {3, true}},
    };
    for (const auto& c : cases) {
        const auto got = StepFinding(findings, c.cursor, c.forward);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(*got, c.want) << "cursor " << c.cursor.value_or(999) << " forward " << c.forward
                                << ": index " << got->index << " wrapped " << got->wrapped;
    }
    // Backward, the first of a record's findings, also when wrapping to the end.
    const std::vector<protocol::Finding> endTwice = {At(2), At(9), At(9)};
    EXPECT_EQ(StepFinding(endTwice, 1, false), (FindingStep{1, true}));
    EXPECT_EQ(StepFinding({}, 4, true), std::nullopt);
}

TEST(FindingsJob, ChecksOnAWorkerWhatTheSessionFindsAndFollowsTheStore) {
    CaptureSession session;
    ASSERT_TRUE(session.open(Data("faults.dat")).ok());
    FindingsJob job(session);
    std::atomic<int> finished{0};
    job.setFinishedCallback([&finished] { ++finished; });

    // Nothing is checked until asked for.
    EXPECT_FALSE(job.checking());
    EXPECT_EQ(job.findings(), nullptr);
    job.watch();
    EXPECT_TRUE(job.checking());
    ASSERT_TRUE(job.wait(10s));
    EXPECT_EQ(finished.load(), 1);
    EXPECT_TRUE(job.collect());
    ASSERT_TRUE(job.current());
    ASSERT_NE(job.findings(), nullptr);
    EXPECT_EQ(job.error(), nullptr);
    const std::vector<protocol::Finding> whole = *job.findings();
    EXPECT_FALSE(whole.empty());
    EXPECT_EQ(whole, session.findings());

    // A changed store is checked again; the last result stays until the new one is ready.
    ASSERT_GT(session.hide(capture::HidePass::Sof()), 0u);
    EXPECT_TRUE(job.checking());
    EXPECT_FALSE(job.current());
    ASSERT_NE(job.findings(), nullptr);
    EXPECT_EQ(*job.findings(), whole);
    ASSERT_TRUE(job.wait(10s));
    EXPECT_TRUE(job.collect());
    EXPECT_TRUE(job.current());
    EXPECT_EQ(*job.findings(), session.findings());
    EXPECT_NE(*job.findings(), whole);

    // An empty store has nothing wrong, which is a result, not a missing one.
    session.clear();
    ASSERT_TRUE(job.wait(10s));
    EXPECT_TRUE(job.collect());
    ASSERT_NE(job.findings(), nullptr);
    EXPECT_TRUE(job.findings()->empty());
}

TEST(FindingsJob, DropsTheResultOfAStoreThatChangedWhileItWasChecked) {
    CaptureSession session;
    ASSERT_TRUE(session.open(Data("faults.dat")).ok());
    FindingsJob job(session);
    job.watch();
    // The check of faults.dat is under way (or done, but not collected) when the store
    // changes: its result describes records that are gone.
    ASSERT_TRUE(session.open(Data("fs-badge.dat")).ok());
    EXPECT_TRUE(job.checking());
    ASSERT_TRUE(job.wait(10s));
    EXPECT_FALSE(job.collect());
    EXPECT_EQ(job.findings(), nullptr);
    EXPECT_TRUE(job.checking()); // the new store's check started as the old one was dropped
    ASSERT_TRUE(job.wait(10s));
    EXPECT_TRUE(job.collect());
    EXPECT_EQ(*job.findings(), session.findings());
}

TEST(FindingsJob, StepsTheCursorOnlyOverAResultOfTheStoreAsItIs) {
    CaptureSession session;
    ASSERT_TRUE(session.open(Data("faults.dat")).ok());
    FindingsJob job(session);
    EXPECT_EQ(job.step(true, CursorFrom::Problems), std::nullopt);
    job.watch();
    ASSERT_TRUE(job.wait(10s));
    job.collect();
    ASSERT_GE(job.findings()->size(), 2u);
    const std::size_t second = (*job.findings())[1].first;
    session.moveCursor((*job.findings())[0].first, CursorFrom::PacketList);
    EXPECT_EQ(job.step(true, CursorFrom::Problems), (FindingStep{1, false}));
    EXPECT_EQ(session.cursor(), second);

    // Record numbers of a result of the previous store would point at other packets.
    ASSERT_GT(session.hide(capture::HidePass::Sof()), 0u);
    session.moveCursor(0, CursorFrom::PacketList);
    EXPECT_EQ(job.step(true, CursorFrom::Problems), std::nullopt);
    EXPECT_EQ(session.cursor(), 0u);
}

} // namespace
} // namespace vintrace::session
