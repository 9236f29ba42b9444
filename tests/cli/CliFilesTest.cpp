// vintrace-cli as a user runs it: what it reads, what it writes, and what it says when it
// cannot. Each case runs the real binary through the shell, with its own files.

#include "platform/OutputPipe.h"
#include "support/CaptureBytes.h"
#include "support/FileContents.h"
#include "support/RunCli.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace vintrace::cli {
namespace {

namespace fs = std::filesystem;
using test::CliResult;
using test::RunCli;
using test::TempDir;

const std::string kData = VINTRACE_TEST_DATA;
const std::string kCapture = kData + "/ls-mouse.dat";

std::vector<std::string> Names(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string Quoted(const std::string& s) {
    return "'" + s + "'";
}

// Full output goes nowhere: every subcommand says so and fails, whatever it printed.
TEST(CliOutput, AFailedWriteToStandardOutputIsExitStatus2) {
    const std::vector<std::string> commands = {
        "dump " + Quoted(kCapture),
        "dump --check --decode " + Quoted(kCapture),
        "hide " + Quoted(kCapture) + " --sof",
        "search " + Quoted(kCapture) + " --pid IN",
        "search " + Quoted(kCapture) + " --pid IN --all",
        "search " + Quoted(kData + "/ls-mouse.dat") + " --pid SOF", // "Not found", exit 1 else
        "stats " + Quoted(kCapture),
        "export " + Quoted(kCapture) + " -",
        "transfers " + Quoted(kCapture),
        "transfers --json " + Quoted(kCapture),
        "devices " + Quoted(kCapture),
        "devices --json " + Quoted(kCapture),
        "check --json " + Quoted(kCapture),
        "check --list",
        "--help",
    };
    TempDir work;
    for (const std::string& command : commands) {
        const CliResult r = RunCli(work, command, ">/dev/full");
        EXPECT_EQ(r.exitCode, 2) << command << "\n" << r.err;
        // One message, with the reason the write failed.
        EXPECT_EQ(r.err, "vintrace-cli: <stdout>: No space left on device\n") << command;
    }
}

// `-` is standard output; the pcap that arrives there is the one export writes to a file.
TEST(CliOutput, DashIsStandardOutputForExportAndDump) {
    TempDir work;
    const CliResult toFile = RunCli(work, "export " + Quoted(kCapture) + " file.pcap");
    ASSERT_EQ(toFile.exitCode, 0) << toFile.err;
    const CliResult toStdout = RunCli(work, "export " + Quoted(kCapture) + " -");
    EXPECT_EQ(toStdout.exitCode, 0) << toStdout.err;
    EXPECT_EQ(toStdout.out, test::ReadText(work / "file.pcap"));

    const CliResult dumped = RunCli(work, "dump -o - " + Quoted(kCapture));
    EXPECT_EQ(dumped.exitCode, 0) << dumped.err;
    const CliResult dumpedToFile = RunCli(work, "dump -o dump.txt " + Quoted(kCapture));
    EXPECT_EQ(dumpedToFile.exitCode, 0) << dumpedToFile.err;
    EXPECT_EQ(test::ReadText(work / "dump.txt"), dumped.out);
    EXPECT_EQ(dumped.out.substr(0, 21), "0\tUNKNOWN\t1\t-\t-\tFF\n1\t");
    EXPECT_EQ(Names(work.path()), (std::vector<std::string>{"dump.txt", "file.pcap"}));
}

// A listing piped into another program crosses in megabyte turns rather than 64 KiB ones, and
// arrives the same.
TEST(CliOutput, APipedListingGetsAWidePipe) {
#if !defined(__linux__)
    GTEST_SKIP() << "pipe buffers are set on Linux only";
#else
    TempDir work;
    const CliResult toFile = RunCli(work, "dump -o dump.txt " + Quoted(kCapture));
    ASSERT_EQ(toFile.exitCode, 0) << toFile.err;
    const std::string command = "timeout 20 '" VINTRACE_CLI_PATH "' dump " + Quoted(kCapture);
    std::FILE* reader = ::popen(command.c_str(), "r");
    ASSERT_NE(reader, nullptr);
    std::string piped;
    char buffer[1 << 14];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, reader)) > 0;) {
        piped.append(buffer, n);
    }
    // The pipe is ours: what the CLI set at its start is still there once it has written.
    const int size = ::fcntl(::fileno(reader), F_GETPIPE_SZ);
    EXPECT_EQ(::pclose(reader), 0);
    EXPECT_EQ(piped, test::ReadText(work / "dump.txt"));
    EXPECT_EQ(static_cast<std::size_t>(size), platform::WidePipeSize());
#endif
}

// A device never ends (or fills memory), a FIFO blocks: inputs must be regular files, and
// the refusal comes at once.
TEST(CliInput, OnlyRegularFilesAreRead) {
    TempDir work;
    ASSERT_EQ(::mkfifo((work / "fifo").c_str(), 0600), 0);
    const std::vector<std::string> commands = {
        "dump /dev/zero",      "dump /dev/urandom",         "dump fifo",
        "stats fifo",          "search /dev/zero --pid IN", "hide --sof /dev/urandom",
        "import fifo out.dat", "import /dev/zero out.dat",  "export fifo out.pcap",
    };
    for (const std::string& command : commands) {
        const CliResult r = RunCli(work, command);
        EXPECT_EQ(r.exitCode, 2) << command << "\n" << r.err;
        EXPECT_NE(r.err.find(": not a regular file\n"), std::string::npos) << command << "\n"
                                                                           << r.err;
    }
    EXPECT_EQ(Names(work.path()), std::vector<std::string>{"fifo"});
}

// --usb-ids names an input like any other: a FIFO or a device is refused at once (never read
// or waited on), and so is a directory or a file too big to be a list of names.
TEST(CliInput, UsbIdsIsOpenedLikeEveryInput) {
    TempDir work;
    ASSERT_EQ(::mkfifo((work / "fifo").c_str(), 0600), 0);
    std::filesystem::resize_file(work.write("huge.ids", std::vector<std::uint8_t>{'#'}),
                                 std::uintmax_t{33} << 20);
    const struct {
        const char* ids;
        const char* message;
    } cases[] = {
        {"fifo", "fifo: not a regular file\n"},
        {"/dev/zero", "/dev/zero: not a regular file\n"},
        {"/", "/: Is a directory\n"},
        {"missing.ids", "missing.ids: No such file or directory\n"},
        {"huge.ids", "huge.ids: larger than 32 MiB, not a usb.ids list\n"},
    };
    for (const auto& c : cases) {
        const CliResult r =
            RunCli(work, "devices --usb-ids " + Quoted(c.ids) + " " + Quoted(kCapture));
        EXPECT_EQ(r.exitCode, 2) << c.ids;
        EXPECT_EQ(r.err, std::string("vintrace-cli: ") + c.message) << c.ids;
        EXPECT_EQ(r.out, "") << c.ids;
    }
}

// The capture format keeps 66 bytes of a data packet: a longer one (an isochronous payload)
// is imported, and the user is told how many were cut and to what.
TEST(CliImport, SaysHowManyPacketsLoadCutShort) {
    TempDir work;
    const std::vector<std::uint8_t> sof = {0xA5, 0x12, 0x34};
    const std::vector<std::uint8_t> shortData(67, 0xC3);
    struct Case {
        const char* name;
        std::vector<std::vector<std::uint8_t>> records;
        std::string message;
    };
    const Case cases[] = {
        {"AllFit", {sof, shortData}, ""},
        {"Isochronous",
         {sof, std::vector<std::uint8_t>(869, 0xC3), std::vector<std::uint8_t>(100, 0x4B)},
         "vintrace-cli: in.pcap: cut on loading: 2 packets longer than a capture keeps, to 66 "
         "bytes after the PID (2 for tokens, handshakes and SOFs), their length counted modulo "
         "256; the longest has 869 bytes\n"},
        {"JustOver",
         {sof, std::vector<std::uint8_t>(68, 0xC3)},
         "vintrace-cli: in.pcap: cut on loading: 1 packet longer than a capture keeps, to 66 "
         "bytes after the PID (2 for tokens, handshakes and SOFs); the longest has 68 bytes\n"},
    };
    for (const Case& c : cases) {
        work.write("in.pcap", test::FullSpeedPcap(c.records));
        const CliResult r = RunCli(work, "import --force in.pcap out.dat");
        EXPECT_EQ(r.exitCode, 0) << c.name << "\n" << r.err;
        EXPECT_EQ(r.err, c.message) << c.name;
    }
}

struct OutputCase {
    const char* name;
    std::string args; // with OUT where the output goes
};

std::string WithOutput(std::string args, const std::string& output) {
    args.replace(args.find("OUT"), 3, Quoted(output));
    return args;
}

std::vector<OutputCase> OutputCommands() {
    std::vector<OutputCase> cases = {
        {"export", "export " + Quoted(kCapture) + " OUT"},
        {"import", "import " + Quoted(kData + "/ls-mouse.pcap") + " OUT"},
        {"dump", "dump " + Quoted(kCapture) + " -o OUT"},
    };
#ifdef VINTRACE_CLI_HAS_RENDER
    cases.push_back({"render", "render " + Quoted(kCapture) + " -o OUT"});
#endif
    return cases;
}

// --force replaces a regular file and nothing else: not a FIFO, a device, a directory, or a
// link to one of them.
TEST(CliOutput, ForceReplacesOnlyRegularFiles) {
    for (const OutputCase& c : OutputCommands()) {
        TempDir work;
        ASSERT_EQ(::mkfifo((work / "fifo").c_str(), 0600), 0);
        fs::create_directory(work / "dir");
        fs::create_symlink("/dev/null", work / "null-link");
        fs::create_symlink(work / "fifo", work / "fifo-link");
        for (const char* target : {"fifo", "dir", "null-link", "fifo-link", "/dev/null"}) {
            const std::string path = target[0] == '/' ? target : work / target;
            const auto before = fs::symlink_status(path).type();
            const CliResult r = RunCli(work, WithOutput(c.args, path) + " --force");
            EXPECT_EQ(r.exitCode, 2) << c.name << " " << target << "\n" << r.err;
            EXPECT_EQ(r.err, "vintrace-cli: " + path +
                                 ": not a regular file (--force replaces only regular files)\n")
                << c.name << " " << target;
            EXPECT_EQ(fs::symlink_status(path).type(), before) << c.name << " " << target;
        }
        EXPECT_EQ(Names(work.path()),
                  (std::vector<std::string>{"dir", "fifo", "fifo-link", "null-link"}))
            << c.name;
        EXPECT_TRUE(fs::is_empty(work / "dir")) << c.name;

        // An existing regular file needs --force; with it, it is replaced, and a private one
        // stays private.
        const std::string old = work.write("old", std::vector<std::uint8_t>{'o', 'l', 'd'});
        ASSERT_EQ(::chmod(old.c_str(), 0600), 0);
        CliResult r = RunCli(work, WithOutput(c.args, old));
        EXPECT_EQ(r.exitCode, 2) << c.name;
        EXPECT_EQ(r.err, "vintrace-cli: " + old + ": already exists (use --force to replace it)\n")
            << c.name;
        EXPECT_EQ(test::ReadText(old), "old") << c.name;
        r = RunCli(work, WithOutput(c.args, old) + " --force", "", "umask 022;");
        EXPECT_EQ(r.exitCode, 0) << c.name << "\n" << r.err;
        EXPECT_NE(test::ReadText(old), "old") << c.name;
        EXPECT_EQ(fs::status(old).permissions(), fs::perms::owner_read | fs::perms::owner_write)
            << c.name;
    }
}

// Writing over the file being read is refused even with --force, through a link too.
TEST(CliOutput, NeverReplacesItsOwnInput) {
    for (const OutputCase& c : OutputCommands()) {
        TempDir work;
        const std::string input = c.name == std::string("import") ? "in.pcap" : "in.dat";
        fs::copy_file(c.name == std::string("import") ? kData + "/ls-mouse.pcap" : kCapture,
                      work / input);
        fs::create_symlink(work / input, work / "link");
        std::string args = c.args;
        const std::string source =
            c.name == std::string("import") ? kData + "/ls-mouse.pcap" : kCapture;
        args.replace(args.find(Quoted(source)), Quoted(source).size(), Quoted(work / input));
        const std::string before = test::ReadText(work / input);
        for (const char* output : {"in", "link"}) {
            const std::string path = output == std::string("in") ? work / input : work / "link";
            const CliResult r = RunCli(work, WithOutput(args, path) + " --force");
            EXPECT_EQ(r.exitCode, 2) << c.name << " " << output;
            EXPECT_EQ(r.err,
                      "vintrace-cli: " + path + ": is the input file; choose another output\n")
                << c.name << " " << output;
            EXPECT_EQ(test::ReadText(work / input), before) << c.name << " " << output;
        }
        EXPECT_EQ(Names(work.path()), (std::vector<std::string>{input, "link"})) << c.name;
    }
}

// A write that fails part-way (here the file size limit, as a full disk would) keeps the old
// file whole, says why and leaves no temporary file. The limit's signal (SIGXFSZ, fatal by
// default) must not end the program before it can clean up.
TEST(CliOutput, AFailedWriteKeepsTheOldFileAndSaysWhy) {
    for (const OutputCase& c : OutputCommands()) {
        for (const bool replacing : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (replacing ? " replacing" : " new"));
            TempDir work;
            const std::string old = work / "out";
            if (replacing) {
                work.write("out", std::vector<std::uint8_t>{'o', 'l', 'd'});
            }
            const CliResult r =
                RunCli(work, WithOutput(c.args, old) + " --force", "", "ulimit -f 1;");
            EXPECT_EQ(r.exitCode, 2);
            // One line, naming the file and the reason.
            EXPECT_EQ(r.err.rfind("vintrace-cli: " + old + ": ", 0), 0u) << r.err;
            EXPECT_TRUE(r.err.ends_with("File too large\n")) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_EQ(test::ReadText(old), replacing ? "old" : "");
            EXPECT_EQ(Names(work.path()),
                      replacing ? std::vector<std::string>{"out"} : std::vector<std::string>{});
        }
    }
}

#ifdef VINTRACE_CLI_HAS_RENDER
// The lines asked for are checked against the capture, and a huge count means "to the end"
// rather than wrapping around to nothing.
TEST(CliRender, ChecksTheLinesAskedFor) {
    TempDir work;
    const std::string capture = Quoted(kData + "/fs-badge.dat");
    CliResult r = RunCli(work, "render " + capture + " -o all.png --first 3 --count 1000000");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = RunCli(work, "render " + capture + " -o huge.png --first 3 --count 18446744073709551615");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(test::ReadText(work / "huge.png"), test::ReadText(work / "all.png"));

    const struct {
        const char* options;
        int exitCode;
        const char* message;
    } bad[] = {
        {"--first 100000000", 2, "--first 100000000 is past the last line"},
        {"--count 0", 105, "--count: 0 is not a whole number of 1 or more"},
        {"--first -1", 105, "--first: -1 is not a whole number of 0 or more"},
        {"--count -5", 105, "--count: -5 is not a whole number of 1 or more"},
        {"--count 18446744073709551616", 105, "is not a whole number of 1 or more"},
    };
    for (const auto& b : bad) {
        r = RunCli(work, "render " + capture + " -o bad.png " + b.options);
        EXPECT_EQ(r.exitCode, b.exitCode) << b.options << "\n" << r.err;
        EXPECT_NE(r.err.find(b.message), std::string::npos) << b.options << "\n" << r.err;
    }
    EXPECT_EQ(Names(work.path()), (std::vector<std::string>{"all.png", "huge.png"}));
}

// Without XDG_RUNTIME_DIR the toolkit warns and makes a directory under the temporary
// directory; render says nothing of it and leaves nothing behind.
TEST(CliRender, PrintsNothingOfTheToolkitAndLeavesNoDirectory) {
    TempDir work;
    TempDir tmp;
    const CliResult r = RunCli(work, "render " + Quoted(kCapture) + " --count 5 -o lines.png", "",
                               "unset XDG_RUNTIME_DIR; TMPDIR='" + tmp.path().string() + "';");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Names(tmp.path()), std::vector<std::string>{});
    EXPECT_EQ(test::ReadText(work / "lines.png").substr(1, 3), "PNG");
}
#endif

} // namespace
} // namespace vintrace::cli
