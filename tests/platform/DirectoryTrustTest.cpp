#include "platform/DirectoryTrust.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include <sys/stat.h>
#include <unistd.h>

namespace vintrace::platform {
namespace {

struct TrustCase {
    const char* name;
    std::function<void(const std::string&)> make; // creates the path under test
    const char* problem;                          // nullptr: trusted
};

void PrivateDir(const std::string& p) {
    ASSERT_EQ(::mkdir(p.c_str(), 0700), 0);
}

const TrustCase kTrustCases[] = {
    {"Private", PrivateDir, nullptr},
    {"OwnerOnlyReadable", [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0500), 0); },
     nullptr},
    {"WorldWritable",
     [](const std::string& p) {
         PrivateDir(p);
         ::chmod(p.c_str(), 0777);
     },
     "mode 0777, must be private"},
    {"GroupReadable",
     [](const std::string& p) {
         PrivateDir(p);
         ::chmod(p.c_str(), 0740);
     },
     "mode 0740, must be private"},
    {"Sticky",
     [](const std::string& p) {
         PrivateDir(p);
         ::chmod(p.c_str(), 01777);
     },
     "mode 1777, must be private"},
    {"SymlinkToPrivateDir",
     [](const std::string& p) {
         PrivateDir(p + ".real");
         ASSERT_EQ(::symlink((p + ".real").c_str(), p.c_str()), 0);
     },
     "a symbolic link, not a directory"},
    {"RegularFile", [](const std::string& p) { std::ofstream(p) << "x"; }, "not a directory"},
    {"Missing", [](const std::string&) {}, "No such file or directory"},
};

TEST(PrivateDirectoryProblem, NamesWhatMakesADirectoryUntrusted) {
    for (const TrustCase& c : kTrustCases) {
        // A link is a link however the path to it ends; "link/." and "link/" name its target
        // to the system, which a check of the path as written would follow.
        for (const char* ending : {"", "/", "/.", "/./", "/./."}) {
            test::TempDir root;
            const std::string path = root / "devices";
            c.make(path);
            const auto problem = PrivateDirectoryProblem(path + ending);
            if (c.problem == nullptr) {
                EXPECT_FALSE(problem.has_value()) << c.name << ending << ": " << *problem;
            } else {
                EXPECT_EQ(problem.value_or("trusted"), c.problem) << c.name << ending;
            }
        }
    }
}

// ".." leads up from wherever a link in front of it goes: such a path is not checked.
TEST(PrivateDirectoryProblem, PathThroughDotDotIsRefused) {
    test::TempDir root;
    ASSERT_EQ(::mkdir((root / "real").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((root / "real/sub").c_str(), 0700), 0);
    for (const std::string& path :
         {root / "real/sub/..", root / "real/../real", root / "real/.."}) {
        EXPECT_EQ(PrivateDirectoryProblem(path).value_or("trusted"),
                  "a path through '..', not a plain directory")
            << path;
    }
    // A name that merely starts with dots is a name like any other.
    ASSERT_EQ(::mkdir((root / "real/..devices").c_str(), 0700), 0);
    EXPECT_FALSE(PrivateDirectoryProblem(root / "real/..devices").has_value());
}

TEST(PrivateDirectoryProblem, DirectoryOfAnotherUserIsNotTrusted) {
    test::TempDir root;
    const std::string path = root / "devices";
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    const uid_t other = ::geteuid() + 4242;
    if (::chown(path.c_str(), other, static_cast<gid_t>(-1)) != 0) {
        GTEST_SKIP() << "cannot give a directory away without privileges";
    }
    EXPECT_EQ(PrivateDirectoryProblem(path).value_or("trusted"),
              "owned by uid " + std::to_string(other) + ", not you");
}

} // namespace
} // namespace vintrace::platform
