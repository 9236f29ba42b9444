#include "support/EmulatorProcess.h"
#include "support/FileContents.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/wait.h>

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

// What the analyzer could not tell is said, never shown as a value.
TEST(AnalyzerCli, StatusNamesWhatItCouldNotRead) {
    const struct {
        const char* name;
        std::vector<std::string> emulator;
        const char* line;
    } cases[] = {
        {"EmptyFirmware", {"--firmware", ""}, "firmware: Read Failed (empty reply)\n"},
        {"FillLevel", {"--refuse", "ReadFifoLevel"}, "fifo level: Read Failed\n"},
    };
    for (const auto& c : cases) {
        TempDir root;
        EmulatorProcess emu(root.path().string(), c.emulator);
        ASSERT_TRUE(emu.ready()) << c.name << emu.log();
        const CliRun r = RunCli(root, "analyzer status");
        EXPECT_EQ(r.exitCode, 1) << c.name << ": " << r.out;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << c.name << ": " << r.out;
    }
}

TEST(AnalyzerCli, FailedFillLevelReadIsNotLevelZero) {
    TempDir root;
    TempDir out;
    EmulatorProcess emu(root.path().string(),
                        {"--memory", "4096", "--fill-seconds", "0.3", "--refuse", "ReadFifoLevel"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    const CliRun r =
        RunCli(root, "analyzer acquire --trigger 15 -o '" + (out / "capture.dat") + "'");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("level Read Failed\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("level 0/255"), std::string::npos) << r.out;
}

TEST(AnalyzerCli, StatusToAFullOutputIsExitStatus2) {
    TempDir root;
    EmulatorProcess emu(root.path().string(), {});
    ASSERT_TRUE(emu.ready()) << emu.log();
    // stderr stays on the pipe; the trailing redirection RunCli adds goes to `exit`.
    const CliRun r = RunCli(root, "analyzer status 2>&1 >/dev/full; exit $?");
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_EQ(r.out, "vintrace-cli: <stdout>: No space left on device\n");
}

TEST(AnalyzerCli, TimeoutMustBeAFiniteNumberInRange) {
    TempDir root;
    for (const char* timeout : {"nan", "-1", "inf", "86401"}) {
        const CliRun r =
            RunCli(root, std::string("analyzer acquire -o x.dat --timeout ") + timeout);
        EXPECT_EQ(r.exitCode, 105) << timeout << ": " << r.out;
        EXPECT_NE(r.out.find("is not a number from 0 to 86400"), std::string::npos)
            << timeout << ": " << r.out;
    }
}

} // namespace
} // namespace vintrace::cli
