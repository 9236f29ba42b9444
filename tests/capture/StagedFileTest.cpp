#include "capture/StagedFile.h"

#include "support/FileContents.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

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

unsigned ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

/// Sets the umask for its lifetime.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(old_); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t old_;
};

// A private capture replaced with --force stays private; a new file gets what the umask
// allows, never more.
TEST(StagedFileTest, ReplacedFileKeepsItsPermissionBits) {
    const struct {
        const char* name;
        int oldMode; // -1: no file there before
        mode_t umask;
        unsigned expected;
    } cases[] = {
        {"Private", 0600, 022, 0600},        {"GroupReadable", 0640, 077, 0640},
        {"ReadOnlyForAll", 0444, 022, 0444}, {"SetUidDropped", 04755, 022, 0755},
        {"NewUnderUmask022", -1, 022, 0644}, {"NewUnderUmask077", -1, 077, 0600},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string target = dir / "out.pcap";
        if (c.oldMode >= 0) {
            std::ofstream(target) << "old";
            ASSERT_EQ(::chmod(target.c_str(), static_cast<mode_t>(c.oldMode)), 0) << c.name;
        }
        const ScopedUmask mask(c.umask);
        StagedFile staged(target);
        ASSERT_NE(staged.file(), nullptr) << c.name << ": " << staged.error();
        std::fputs("new", staged.file());
        ASSERT_TRUE(staged.commit(true)) << c.name << ": " << staged.error();
        EXPECT_EQ(test::ReadText(target), "new") << c.name;
        EXPECT_EQ(ModeOf(target), c.expected) << c.name;
    }
}

// A target of a valid name just under the limit must not fail because the temporary name
// beside it would be longer; the temporary is the one shortened.
TEST(StagedFileTest, LongTargetNameFitsItsTemporary) {
    for (const std::size_t length : {std::size_t{254}, std::size_t{NAME_MAX}}) {
        TempDir dir;
        const std::string target = dir / std::string(length, 'c');
        StagedFile staged(target);
        ASSERT_NE(staged.file(), nullptr) << length << ": " << staged.error();
        for (const std::string& name : Names(dir.path())) {
            EXPECT_LE(name.size(), std::size_t{NAME_MAX}) << length;
        }
        std::fputs("new", staged.file());
        ASSERT_TRUE(staged.commit(false)) << length << ": " << staged.error();
        EXPECT_EQ(Names(dir.path()), std::vector<std::string>{std::string(length, 'c')});
    }
}

} // namespace
} // namespace vintrace::capture
