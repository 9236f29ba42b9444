#include "capture/StagedFile.h"

#include "support/FileContents.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

namespace vintrace::capture {
namespace {

using test::TempDir;

std::vector<std::string> Names(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

// A signal that ends the process mid-write takes the temporary file with it, and the process
// still ends by that signal.
TEST(StagedFileDeathTest, SignalRemovesTheTemporaryFile) {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        TempDir dir;
        const std::string target = dir / "out.pcap";
        EXPECT_EXIT(
            {
                StagedFile staged(target);
                if (staged.file() == nullptr || std::fputs("half written", staged.file()) < 0 ||
                    std::fflush(staged.file()) != 0) {
                    std::_Exit(3);
                }
                std::raise(sig);
                std::_Exit(4);
            },
            ::testing::KilledBySignal(sig), "")
            << "signal " << sig;
        EXPECT_EQ(Names(dir.path()), std::vector<std::string>{}) << "signal " << sig;
    }
}

TEST(StagedFileTest, CommitMovesIntoPlaceAndLeavesNothingElse) {
    TempDir dir;
    const std::string target = dir / "out.dat";
    {
        StagedFile staged(target);
        ASSERT_NE(staged.file(), nullptr) << staged.error();
        std::fputs("new", staged.file());
        ASSERT_TRUE(staged.commit(false)) << staged.error();
    }
    EXPECT_EQ(test::ReadText(target), "new");
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"out.dat"});
}

} // namespace
} // namespace vintrace::capture
