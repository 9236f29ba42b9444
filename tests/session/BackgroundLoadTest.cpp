#include "session/BackgroundLoad.h"
#include "session/CaptureSession.h"
#include "support/SessionEvents.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace vintrace::session {
namespace {

using capture::LoadStatus;

using namespace std::chrono_literals;

std::string Data(const char* name) {
    return std::string(VINTRACE_TEST_DATA) + "/" + name;
}

/// A session holding `file`, loaded the ordinary way.
void LoadInto(CaptureSession& session, const std::string& file) {
    ASSERT_TRUE(session.open(file).ok());
}

void ExpectSameStore(const CaptureSession& a, const CaptureSession& b) {
    ASSERT_EQ(a.packets().size(), b.packets().size());
    for (std::size_t i = 0; i < a.packets().size(); ++i) {
        ASSERT_EQ(a.packets()[i], b.packets()[i]) << "record " << i;
    }
    EXPECT_EQ(a.endpoints(), b.endpoints());
}

TEST(BackgroundLoad, OnlyRegularFilesAtTheThresholdGoToTheBackground) {
    test::TempDir dir;
    const std::vector<std::uint8_t> bytes(100, 0);
    const std::string file = dir.write("c.dat", bytes);
    const struct {
        std::string path;
        std::uint64_t threshold;
        bool background;
    } cases[] = {
        {file, 100, true},
        {file, 99, true},
        {file, 101, false},
        {dir / "missing.dat", 0, false},
        {dir.path().string(), 0, false}, // a directory fails at once, as it always did
        {"/dev/zero", 0, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LoadsInBackground(c.path, c.threshold), c.background)
            << c.path << " at " << c.threshold;
    }
}

TEST(BackgroundLoad, ACompletedLoadGivesWhatAnOrdinaryLoadGives) {
    for (const char* name : {"fs-badge.dat", "ls-mouse.dat", "edge-cases.dat"}) {
        SCOPED_TRACE(name);
        CaptureSession ordinary;
        LoadInto(ordinary, Data(name));

        CaptureSession session;
        LoadInto(session, Data("faults.dat")); // something to replace
        test::SessionEvents events(session);
        (void)session.transactions();
        BackgroundLoad load(Data(name));
        ASSERT_TRUE(load.wait(30s));
        EXPECT_TRUE(load.result().ok());
        EXPECT_EQ(load.bytesDone(), load.bytesTotal());
        ASSERT_TRUE(load.commit(session));
        EXPECT_EQ(session.fileName(), Data(name));
        EXPECT_EQ(events.take(), std::vector<std::string>{"store"});
        EXPECT_FALSE(session.hasIndexes());
        ExpectSameStore(session, ordinary);
    }
}

TEST(BackgroundLoad, ACancelledOrFailedLoadLeavesTheSessionAlone) {
    test::TempDir dir;
    CaptureSession reference;
    LoadInto(reference, Data("ls-mouse.dat"));
    const struct {
        const char* what;
        std::string path;
        bool cancel;
        LoadStatus failure; // when not cancelled
    } cases[] = {
        {"cancelled", Data("fs-badge.dat"), true, LoadStatus::Loaded},
        {"missing", dir / "gone.dat", false, LoadStatus::CannotOpen},
        {"directory", dir.path().string(), false, LoadStatus::CannotOpen},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CaptureSession session;
        LoadInto(session, Data("ls-mouse.dat"));
        test::SessionEvents events(session);
        BackgroundLoad load(c.path);
        if (c.cancel) {
            load.cancel();
        }
        ASSERT_TRUE(load.wait(30s));
        if (c.cancel) {
            // Either it stopped, or it had already read everything: dropped all the same.
            EXPECT_TRUE(load.result().status == LoadStatus::Cancelled || load.result().ok());
        } else {
            EXPECT_EQ(load.result().status, c.failure);
            EXPECT_FALSE(load.result().reason.empty());
        }
        EXPECT_FALSE(load.commit(session));
        EXPECT_EQ(session.fileName(), Data("ls-mouse.dat"));
        EXPECT_EQ(events.take(), std::vector<std::string>{});
        ExpectSameStore(session, reference);
    }
}

} // namespace
} // namespace vintrace::session
