#include "support/EmulatorProcess.h"
#include "support/FileContents.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vintrace::cli {
namespace {

using test::EmulatorProcess;
using test::TempDir;

struct CliRun {
    int exitCode = -1;
    std::string out; // stdout and stderr together
};

// Runs vintrace-cli with the device root of the test; the shim finds it through
// XDG_RUNTIME_DIR, as it would find a real user's analyzer.
CliRun RunCli(const TempDir& root, const std::string& args) {
    const std::string command = "XDG_RUNTIME_DIR='" + root.path().string() + "' '" +
                                VINTRACE_CLI_PATH + "' " + args + " 2>&1";
    CliRun r;
    std::FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) {
        return r;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) {
        r.out.append(buffer, n);
    }
    const int status = ::pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string Phases(const std::string& out) {
    std::istringstream in(out);
    std::string line;
    std::string phases;
    while (std::getline(in, line)) {
        if (line.rfind("level ", 0) != 0) {
            phases += line + "\n";
        }
    }
    return phases;
}

std::size_t FilesIn(const std::filesystem::path& dir) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

TEST(AnalyzerCli, AcquireWritesTheRecordingAndPrintsEachPhase) {
    TempDir root;
    TempDir out;
    EmulatorProcess emu(root.path().string(), {"--memory", "4096", "--fill-seconds", "0.1"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    const std::string file = out / "capture.dat";
    const CliRun r = RunCli(root, "analyzer acquire -o '" + file + "' --trigger 15");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(Phases(r.out), "Armed\nWaiting for Trigger\nTriggered\nWait For FIFO Full\n"
                             "Downloading\nDownloaded 4096 bytes in 6 blocks to " +
                                 file + "\n");
    const std::string bytes = test::ReadText(file);
    ASSERT_EQ(bytes.size(), 4096u);
    EXPECT_EQ(bytes.substr(0, 2), std::string("\x01\xA5", 2)); // the SOF that began it
    EXPECT_EQ(FilesIn(out.path()), 1u);
}

TEST(AnalyzerCli, FailedAcquireKeepsThePreviousFile) {
    struct Case {
        const char* name;
        std::vector<std::string> emulator; // empty: no analyzer at all
        const char* message;
    };
    const Case cases[] = {
        {"NoAnalyzer", {}, "Vintrace is unconnected"},
        {"Vanishes", {"--fill-seconds", "0", "--vanish-after-blocks", "2"}, "transfer failed"},
        {"TransferFails", {"--fill-seconds", "0", "--fail-transfer-after", "1"}, "transfer failed"},
        {"ReadFails", {"--refuse", "ReadFifoFull"}, "Read Failed"},
    };
    for (const Case& c : cases) {
        TempDir root;
        TempDir out;
        const std::string file = out / "capture.dat";
        std::ofstream(file) << "previous capture";
        std::unique_ptr<EmulatorProcess> emu;
        if (!c.emulator.empty()) {
            emu = std::make_unique<EmulatorProcess>(root.path().string(), c.emulator);
            ASSERT_TRUE(emu->ready()) << c.name;
        }
        const CliRun r = RunCli(root, "analyzer acquire -o '" + file + "' --timeout 20");
        EXPECT_NE(r.exitCode, 0) << c.name;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.name << ": " << r.out;
        EXPECT_EQ(test::ReadText(file), "previous capture") << c.name;
        EXPECT_EQ(FilesIn(out.path()), 1u) << c.name;
    }
}

// An analyzer served from a device directory that someone else could have made or changed is
// not used: each command says why in one line instead of talking to it.
TEST(AnalyzerCli, UntrustedDeviceDirectoryIsRefusedWithOneLine) {
    const struct {
        const char* name;
        bool root; // spoil the root, else the class directory
        void (*spoil)(const std::string& dir);
        const char* problem;
    } cases[] = {
        {"ClassDirectoryOfAnotherUser", false,
         [](const std::string& d) { ASSERT_EQ(::chown(d.c_str(), 65534, 65534), 0); },
         "owned by uid 65534, not you"},
        {"RootOpenToAll", true, [](const std::string& d) { ::chmod(d.c_str(), 0777); },
         "mode 0777, must be private"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir root;
        EmulatorProcess emu(root.path().string(), {"--firmware", "IMPOSTOR"});
        ASSERT_TRUE(emu.ready()) << emu.log();
        const std::string classDir = std::filesystem::path(emu.socketPath()).parent_path();
        const std::string dir = c.root ? root.path().string() : classDir;
        ::chmod(classDir.c_str(), 0700);
        c.spoil(dir);
        const std::string line = "vintrace-cli: device directory " + dir + ": " + c.problem + "\n";
        for (const char* command :
             {"analyzer status", "analyzer trigger 15", "analyzer speed low"}) {
            const CliRun r = RunCli(root, command);
            EXPECT_EQ(r.exitCode, 1) << command;
            EXPECT_EQ(r.out, line) << command;
        }
        // Never asked anything.
        EXPECT_EQ(emu.log().find("command "), std::string::npos) << emu.log();
        EXPECT_EQ(emu.log().find("query "), std::string::npos) << emu.log();
        ::chmod(root.path().c_str(), 0700);
    }
}

TEST(AnalyzerCli, StatusTriggerAndSpeed) {
    TempDir root;
    {
        const CliRun r = RunCli(root, "analyzer status");
        EXPECT_NE(r.exitCode, 0);
        EXPECT_NE(r.out.find("vintrace-cli: analyzer: Vintrace is unconnected"), std::string::npos);
    }
    EmulatorProcess emu(root.path().string(), {"--firmware", "VT-CLI 0.9", "--port-speed", "high"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    CliRun r = RunCli(root, "analyzer status");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("firmware: VT-CLI 0.9\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("port speed: high\n"), std::string::npos) << r.out;
    r = RunCli(root, "analyzer trigger 13");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    r = RunCli(root, "analyzer speed low");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(emu.log().find("command SetTrigger 0d ok"), std::string::npos) << emu.log();
    EXPECT_NE(emu.log().find("command SetBusSpeed 00 ok"), std::string::npos) << emu.log();
    r = RunCli(root, "analyzer trigger 16");
    EXPECT_NE(r.exitCode, 0);
}

} // namespace
} // namespace vintrace::cli
