#include "support/EmulatorProcess.h"
#include "support/FileContents.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <csignal>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

// vintrace-cli running beside the test, its output in `<root>/cli.log`; killed and reaped when
// the object goes, whatever the test did.
class BackgroundCli {
public:
    BackgroundCli(const TempDir& root, std::vector<std::string> args) : log_(root / "cli.log") {
        args.insert(args.begin(), VINTRACE_CLI_PATH);
        const std::string runtime = root.path().string();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            const int out = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(out, 2);
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~BackgroundCli() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status_, 0);
        }
    }
    BackgroundCli(const BackgroundCli&) = delete;
    BackgroundCli& operator=(const BackgroundCli&) = delete;

    void signal(int s) const { ::kill(pid_, s); }
    /// The wait status once it has ended; -1 if it is still running after 20 s.
    int wait() {
        for (int i = 0; i < 2000 && !reaped_; ++i) {
            reaped_ = ::waitpid(pid_, &status_, WNOHANG) == pid_;
            if (!reaped_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        return reaped_ ? status_ : -1;
    }
    std::string output() const { return test::ReadText(log_); }

private:
    std::string log_;
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
};

/// Waits up to 10 s for `path` to exist.
bool AppearsWithin10s(const std::string& path) {
    for (int i = 0; i < 1000; ++i) {
        if (std::filesystem::exists(path)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
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

// A failed acquisition never replaces the file it was asked to replace; one cut short keeps
// what arrived in a file of its own and says so.
TEST(AnalyzerCli, FailedAcquireKeepsThePreviousFile) {
    struct Case {
        const char* name;
        std::vector<std::string> emulator; // empty: no analyzer at all
        std::string message;
        std::size_t keptBytes; // in capture-incomplete.dat; 0: no such file
    };
    const Case cases[] = {
        {"NoAnalyzer", {}, "Vintrace is unconnected", 0},
        {"Vanishes",
         {"--fill-seconds", "0", "--vanish-after-blocks", "2"},
         "Download incomplete: 2560 bytes, kept in ",
         2560},
        {"TransferFails",
         {"--fill-seconds", "0", "--fail-transfer-after", "1"},
         "Download incomplete: 2048 bytes, kept in ",
         2048},
        {"ReadFails", {"--refuse", "ReadFifoFull"}, "Read Failed", 0},
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
        const CliRun r = RunCli(root, "analyzer acquire --force -o '" + file + "' --timeout 20");
        EXPECT_NE(r.exitCode, 0) << c.name;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.name << ": " << r.out;
        EXPECT_EQ(test::ReadText(file), "previous capture") << c.name;
        const std::string kept = out / "capture-incomplete.dat";
        if (c.keptBytes != 0) {
            EXPECT_NE(r.out.find(c.message + kept), std::string::npos) << c.name << ": " << r.out;
            EXPECT_EQ(test::ReadText(kept).size(), c.keptBytes) << c.name;
        }
        EXPECT_EQ(FilesIn(out.path()), c.keptBytes != 0 ? 2u : 1u) << c.name;
    }
}

// The output file is checked before the analyzer is armed, so a bad path never costs a
// recording; an existing file is replaced only with --force. These are file errors: exit 2.
TEST(AnalyzerCli, AcquireChecksTheOutputBeforeArming) {
    TempDir root;
    EmulatorProcess emu(root.path().string(), {"--memory", "4096", "--fill-seconds", "0.1"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    TempDir out;
    const std::string existing = out / "existing.dat";
    std::ofstream(existing) << "previous capture";
    std::filesystem::create_directory(out / "folder.dat");
    ASSERT_EQ(::mkfifo((out / "fifo.dat").c_str(), 0600), 0);
    const struct {
        std::string file;
        const char* force;
        std::string message;
    } refused[] = {
        {existing, "", existing + ": File exists (use --force to replace it)"},
        {out / "missing/capture.dat", "", out / "missing/capture.dat: No such file or directory"},
        {out / "folder.dat", "--force", out / "folder.dat: Is a directory"},
        {out / "fifo.dat", "", out / "fifo.dat: not a regular file"},
        {out / "fifo.dat", "--force", out / "fifo.dat: not a regular file"},
    };
    for (const auto& c : refused) {
        const CliRun r =
            RunCli(root, "analyzer acquire " + std::string(c.force) + " -o '" + c.file + "'");
        EXPECT_EQ(r.exitCode, 2) << c.file << " " << c.force;
        EXPECT_EQ(r.out, "vintrace-cli: analyzer: " + c.message + "\n") << c.force;
    }
    EXPECT_EQ(test::ReadText(existing), "previous capture");
    EXPECT_EQ(FilesIn(out.path()), 3u);
    EXPECT_EQ(emu.log().find("SetArmed"), std::string::npos) << emu.log();

    const CliRun r = RunCli(root, "analyzer acquire --force -o '" + existing + "'");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(test::ReadText(existing).size(), 4096u);
    EXPECT_EQ(FilesIn(out.path()), 3u);
}

// Two acquisitions of one analyzer at once would each get half of one recording: the second
// is refused at once and touches no file, the first goes on undisturbed. The first records
// long enough that a loaded machine (sanitizer builds, parallel tests) still starts the second
// while it runs.
TEST(AnalyzerCli, SecondAcquisitionOfOneAnalyzerIsRefused) {
    TempDir root;
    EmulatorProcess emu(root.path().string(), {"--memory", "4096", "--fill-seconds", "6"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    TempDir out;
    TempDir out2;
    const std::string first = out / "first.dat";
    BackgroundCli running(root, {"analyzer", "acquire", "-o", first, "--trigger", "15"});
    ASSERT_TRUE(AppearsWithin10s(emu.socketPath() + ".lock"));
    for (const std::string& file : {out2 / "second.dat", first}) {
        const CliRun r = RunCli(root, "analyzer acquire --force -o '" + file + "'");
        EXPECT_NE(r.exitCode, 0) << r.out;
        EXPECT_NE(r.out.find("vintrace-cli: analyzer: another acquisition is using this analyzer"),
                  std::string::npos)
            << r.out;
    }
    EXPECT_EQ(FilesIn(out2.path()), 0u);
    const int status = running.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << running.output();
    EXPECT_EQ(test::ReadText(first).size(), 4096u);
    EXPECT_EQ(FilesIn(out.path()), 1u);
    EXPECT_EQ(Count(emu.log(), "SetArmed 01"), 1u) << emu.log();
    EXPECT_FALSE(std::filesystem::exists(emu.socketPath() + ".lock"));
}

// Only another acquisition refuses one: a lock file that cannot be made is a warning, and the
// acquisition goes ahead.
TEST(AnalyzerCli, LockFileThatCannotBeMadeIsAWarning) {
    TempDir root;
    EmulatorProcess emu(root.path().string(), {"--memory", "4096", "--fill-seconds", "0.2"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    std::filesystem::create_directory(emu.socketPath() + ".lock");
    TempDir out;
    const std::string file = out / "capture.dat";
    const CliRun r = RunCli(root, "analyzer acquire -o '" + file + "' --trigger 15");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("vintrace-cli: warning: cannot lock the analyzer against other "
                         "acquisitions (" +
                         emu.socketPath() + ".lock: Is a directory); acquiring without the lock"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(test::ReadText(file).size(), 4096u);
}

// An acquisition ended by SIGINT or SIGTERM leaves neither its temporary file nor its lock.
TEST(AnalyzerCli, InterruptedAcquireRemovesItsFiles) {
    for (const int signal : {SIGINT, SIGTERM}) {
        TempDir root;
        EmulatorProcess emu(root.path().string(), {"--fill-seconds", "60"});
        ASSERT_TRUE(emu.ready()) << emu.log();
        TempDir out;
        BackgroundCli running(
            root, {"analyzer", "acquire", "-o", out / "capture.dat", "--trigger", "15"});
        ASSERT_TRUE(AppearsWithin10s(emu.socketPath() + ".lock"));
        // The staged file may come a moment after the lock (a slow, sanitized build shows it).
        ASSERT_TRUE(test::WaitFor([&] { return FilesIn(out.path()) == 1u; }));
        running.signal(signal);
        const int status = running.wait();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << running.output();
        EXPECT_EQ(FilesIn(out.path()), 0u);
        EXPECT_FALSE(std::filesystem::exists(emu.socketPath() + ".lock"));
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

// A device socket served by another user is refused, and the refusal says so instead of
// claiming there is no analyzer at all. Served by another user here means listening under
// another uid, which only root can arrange.
TEST(AnalyzerCli, DeviceOfAnotherUserIsRefusedAndSaysSo) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to listen as another user";
    }
    TempDir root;
    const auto& g = device::ANALYZER_INTERFACE_GUID;
    const std::string classDirectory =
        platform::wire::ClassDirectory(root.path().string(), g.Data1, g.Data2, g.Data3, g.Data4);
    ASSERT_EQ(::mkdir(classDirectory.c_str(), 0700), 0);
    const std::string socketPath = classDirectory + "/analyzer0";
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // The listener's credentials are those of whoever calls listen(): a child of uid 65534.
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(::setresuid(65534, 65534, 65534) == 0 && ::listen(fd, 8) == 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string line =
        "vintrace-cli: device " + socketPath + ": served by uid 65534, not you\n";
    TempDir out;
    for (const std::string& command :
         {std::string("analyzer status"), std::string("analyzer trigger 15"),
          std::string("analyzer list"), "analyzer acquire -o '" + out / "capture.dat" + "'"}) {
        const CliRun r = RunCli(root, command);
        EXPECT_EQ(r.exitCode, 1) << command;
        EXPECT_EQ(r.out, line) << command;
    }
    EXPECT_EQ(FilesIn(out.path()), 0u);
    ::close(fd);
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
