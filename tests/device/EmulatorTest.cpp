#include "capture/CaptureDecoder.h"
#include "capture/UsbCrc.h"
#include "device/AnalyzerCommands.h"
#include "device/DeviceAccess.h"
#include "platform/ShimSettings.h"
#include "support/EmulatorProcess.h"
#include "support/RecordingChecks.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <thread>

#include <fstream>
#include <iterator>
#include <sstream>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

using namespace vintrace::platform;

namespace vintrace::device {
namespace {

using test::CountPid;
using test::EmulatorProcess;
using test::ExpectCorrectToggles;
using test::ExpectWellFormedBus;
using test::Packets;
using test::TempDir;
using test::WaitFor;

struct Download {
    std::vector<std::uint8_t> bytes;
    int blocks = 0;
    bool lastFailed = false;
};

// Downloads as the application does: 2048 bytes first, then 512-byte blocks, at most 512
// blocks, ending at the first short block.
Download DownloadRecording() {
    Download d;
    HANDLE pipe = OpenDataPipe(kDataPipeName);
    BeginDownload();
    std::vector<std::uint8_t> buffer(2048);
    std::uint32_t asked = 2048;
    while (d.blocks < 512) {
        std::uint32_t count = 0;
        d.lastFailed = !TransferBlock(pipe, buffer.data(), asked, count);
        d.bytes.insert(d.bytes.end(), buffer.begin(), buffer.begin() + count);
        ++d.blocks;
        if (count < asked) {
            break;
        }
        asked = 512;
    }
    CloseDataPipe(pipe);
    return d;
}

// Starts an acquisition the way the Start button does and waits for the memory to be full.
void AcquireUntilFull(std::uint8_t trigger) {
    ASSERT_TRUE(SetTrigger(trigger));
    SetArmed(0);
    SetStopped(0);
    BeginAcquisition();
    SetArmed(1);
    std::uint8_t status = 0;
    ASSERT_TRUE(WaitFor([&] { return ReadTriggerStatus(status) && status == 1; }));
    std::uint8_t full = 0;
    ASSERT_TRUE(WaitFor([&] { return ReadFifoFull(full) && full == 1; }));
    EXPECT_EQ(ReadFifoLevel(), 255);
    SetStopped(1);
}

class EmulatorTest : public ::testing::Test {
protected:
    TempDir root;
    void SetUp() override { SetDeviceRoot(root.path().string()); }
    void TearDown() override {
        SetDeviceRoot("");
        SetRequestTimeout(std::chrono::seconds(1));
    }
};

TEST_F(EmulatorTest, StatusCommands) {
    EmulatorProcess emu(root.path().string(),
                        {"--firmware", "VT-TEST 2.5", "--port-speed", "high"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    std::array<std::uint8_t, 13> text{};
    ASSERT_TRUE(ReadFirmwareVersion(text));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.data())), "VT-TEST 2.5");
    std::uint8_t speed = 0;
    EXPECT_TRUE(ReadPortSpeed(speed));
    EXPECT_NE(speed, 0);
    std::uint8_t status = 7;
    EXPECT_TRUE(ReadTriggerStatus(status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFifoLevel(), 0);
    EXPECT_TRUE(SetBusSpeed(1));
    EXPECT_TRUE(EndDownload());

    DevicePathBuffer path{};
    EXPECT_TRUE(ProbeAnalyzer(path));
    EXPECT_EQ(std::string(path.data()), emu.socketPath());
    HANDLE pipe = OpenDataPipe(kDataPipeName);
    EXPECT_NE(pipe, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseDataPipe(pipe));
    EXPECT_EQ(OpenDataPipe("PIPE01"), INVALID_HANDLE_VALUE);
    EXPECT_NE(emu.log().find("query ReadFirmwareVersion"), std::string::npos);

    EXPECT_EQ(emu.Stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(emu.socketPath()));
    EXPECT_FALSE(ReadPortSpeed(speed));
    EXPECT_EQ(speed, 0);
}

TEST_F(EmulatorTest, AcquisitionDownloadsAWholeWellFormedRecording) {
    EmulatorProcess emu(root.path().string(), {"--memory", "60000", "--fill-seconds", "0.2"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    AcquireUntilFull(15);
    const Download d = DownloadRecording();
    // 2048 + 113 * 512 = 59904: the last 96 bytes come as a short block.
    EXPECT_EQ(d.bytes.size(), 60000u);
    EXPECT_EQ(d.blocks, 1 + 113 + 1);
    EXPECT_FALSE(d.lastFailed);
    const auto packets = Packets(d.bytes);
    ExpectWellFormedBus(packets);
    ExpectCorrectToggles(packets, true);
    // Armed with trigger 15, the memory starts with the device's enumeration: SOF, then
    // SETUP to address 0 with GET_DESCRIPTOR(device).
    ASSERT_GT(packets.size(), 3u);
    EXPECT_EQ(packets[1], (std::vector<std::uint8_t>{0x2D, 0x00, 0x10}));
    EXPECT_EQ(packets[2], (std::vector<std::uint8_t>{0xC3, 0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x40,
                                                     0x00, 0xDD, 0x94}));
    EXPECT_GT(CountPid(packets, 0xA5), 5); // SOF
    EXPECT_GT(CountPid(packets, 0x2D), 0); // SETUP
    EXPECT_GT(CountPid(packets, 0x5A), 0); // NAK
    EXPECT_GT(CountPid(packets, 0x1E), 0); // STALL
    EXPECT_GT(CountPid(packets, 0x4B), 0); // DATA1
    // The core's decoder sees the same packets.
    capture::PacketList list;
    capture::ParseCaptureFile(d.bytes, list);
    EXPECT_EQ(list.size(), packets.size());
    EXPECT_TRUE(EndDownload());
}

TEST_F(EmulatorTest, SameSeedSameRecording) {
    std::vector<std::uint8_t> first;
    for (int run = 0; run < 2; ++run) {
        EmulatorProcess emu(root.path().string(),
                            {"--seed", "42", "--memory", "4096", "--fill-seconds", "0"});
        ASSERT_TRUE(emu.ready()) << emu.log();
        AcquireUntilFull(15);
        const Download d = DownloadRecording();
        EXPECT_EQ(d.bytes.size(), 4096u);
        if (run == 0) {
            first = d.bytes;
        } else {
            EXPECT_EQ(d.bytes, first);
        }
    }
}

struct TriggerCase {
    const char* name;
    std::vector<std::string> args;
    std::uint8_t code;
    std::uint8_t firstPid;
};

// Printed by name so that test names stay the same from build to build.
void PrintTo(const TriggerCase& c, std::ostream* os) {
    *os << c.name << " (trigger code " << static_cast<int>(c.code) << ")";
}

class Triggers : public EmulatorTest, public ::testing::WithParamInterface<TriggerCase> {};

TEST_P(Triggers, RecordingStartsAtTheTriggerPacket) {
    const TriggerCase& c = GetParam();
    std::vector<std::string> args{"--memory", "4096", "--fill-seconds", "0.05"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EmulatorProcess emu(root.path().string(), args);
    ASSERT_TRUE(emu.ready()) << emu.log();
    AcquireUntilFull(c.code);
    const Download d = DownloadRecording();
    ASSERT_EQ(d.bytes.size(), 4096u);
    const auto packets = Packets(d.bytes);
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets.front()[0], c.firstPid);
    ExpectWellFormedBus(packets);
    ExpectCorrectToggles(packets, c.code == 15);
}

INSTANTIATE_TEST_SUITE_P(
    Emulator, Triggers,
    ::testing::Values(TriggerCase{"Setup", {}, 0xD, 0x2D}, TriggerCase{"Sof", {}, 0x5, 0xA5},
                      TriggerCase{"Stall", {}, 0xE, 0x1E},
                      TriggerCase{"PreambleBehindHub", {"--hub-low-speed-device"}, 0xC, 0x3C},
                      TriggerCase{"LowSpeedSetup", {"--speed", "low"}, 0xD, 0x2D}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EmulatorTest, LowSpeedDeviceBehindHubIsReachedThroughPreambles) {
    EmulatorProcess emu(root.path().string(),
                        {"--hub-low-speed-device", "--memory", "30000", "--fill-seconds", "0"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    AcquireUntilFull(0xC); // from the first preamble: the full-speed device is configured
    const auto packets = Packets(DownloadRecording().bytes);
    ExpectWellFormedBus(packets);
    int slowTokens = 0;
    int fastTokens = 0;
    for (std::size_t i = 1; i < packets.size(); ++i) {
        const std::uint8_t pid = packets[i][0];
        if ((pid != 0x2D && pid != 0x69 && pid != 0xE1) || packets[i].size() < 2) {
            continue;
        }
        // The low-speed device answers at 0 until it has its address, 2.
        const bool slow = (packets[i][1] & 0x7F) != 1;
        EXPECT_EQ(packets[i - 1][0] == 0x3C, slow) << "packet " << i;
        (slow ? slowTokens : fastTokens) += 1;
    }
    EXPECT_GT(slowTokens, 10);
    EXPECT_GT(fastTokens, 10);
    EXPECT_GT(CountPid(packets, 0xA5), 0); // the bus itself still runs at full speed
}

TEST_F(EmulatorTest, LowSpeedBusHasNoSof) {
    EmulatorProcess emu(root.path().string(), {"--memory", "8192", "--fill-seconds", "0"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    ASSERT_TRUE(SetBusSpeed(0));
    AcquireUntilFull(15);
    const auto packets = Packets(DownloadRecording().bytes);
    ExpectWellFormedBus(packets);
    EXPECT_EQ(CountPid(packets, 0xA5), 0);
    EXPECT_GT(CountPid(packets, 0x69), 0); // IN polling
}

TEST_F(EmulatorTest, StopAfterTriggerEndsRecordingEarly) {
    EmulatorProcess emu(root.path().string(), {"--memory", "263680", "--fill-seconds", "600"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    SetTrigger(15);
    BeginAcquisition();
    SetArmed(1);
    std::uint8_t status = 0;
    ASSERT_TRUE(WaitFor([&] { return ReadTriggerStatus(status) && status == 1; }));
    std::uint8_t full = 0;
    ASSERT_TRUE(ReadFifoFull(full));
    EXPECT_EQ(full, 0);
    ASSERT_TRUE(SetStopped(1));
    ASSERT_TRUE(ReadFifoFull(full));
    EXPECT_EQ(full, 1);
    const Download d = DownloadRecording();
    EXPECT_LT(d.bytes.size(), 263680u);
    EXPECT_EQ(d.bytes.size() % 2, 0u);
}

TEST_F(EmulatorTest, RefusedCommandFailsOthersSucceed) {
    EmulatorProcess emu(root.path().string(), {"--refuse", "ReadTriggerStatus", "--refuse", "14"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    std::uint8_t status = 7;
    EXPECT_FALSE(ReadTriggerStatus(status));
    EXPECT_EQ(status, 7);
    EXPECT_FALSE(SetBusSpeed(1));
    EXPECT_TRUE(SetTrigger(15));
    std::uint8_t full = 7;
    EXPECT_TRUE(ReadFifoFull(full));
    EXPECT_EQ(full, 0);
}

TEST_F(EmulatorTest, FailedTransferRecoversPipeAndEndsDownload) {
    EmulatorProcess emu(root.path().string(),
                        {"--memory", "20000", "--fill-seconds", "0", "--fail-transfer-after", "2"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    AcquireUntilFull(15);
    const Download d = DownloadRecording();
    EXPECT_EQ(d.blocks, 3);
    EXPECT_TRUE(d.lastFailed);
    EXPECT_EQ(d.bytes.size(), 2048u + 512u);
    EXPECT_NE(emu.log().find("recover pipe ok"), std::string::npos) << emu.log();
}

struct VanishCase {
    const char* after;
    int blocks;           // transfers tried, the last one failing
    std::size_t received; // bytes handed out before the analyzer went
    const char* delayMs = "0";
};

void PrintTo(const VanishCase& c, std::ostream* os) {
    *os << "vanish after " << c.after << ", delay " << c.delayMs << " ms";
}

class Vanish : public EmulatorTest, public ::testing::WithParamInterface<VanishCase> {};

TEST_P(Vanish, VanishingAnalyzerFailsTheDownloadAndLeavesNoSocket) {
    EmulatorProcess emu(root.path().string(),
                        {"--memory", "20000", "--fill-seconds", "0", "--vanish-after-blocks",
                         GetParam().after, "--delay-ms", GetParam().delayMs});
    ASSERT_TRUE(emu.ready()) << emu.log();
    AcquireUntilFull(15);
    const Download d = DownloadRecording();
    EXPECT_EQ(d.blocks, GetParam().blocks);
    EXPECT_TRUE(d.lastFailed);
    EXPECT_EQ(d.bytes.size(), GetParam().received);
    ASSERT_TRUE(emu.Exited(std::chrono::seconds(10)));
    EXPECT_TRUE(WIFEXITED(emu.status()) && WEXITSTATUS(emu.status()) == 0);
    EXPECT_FALSE(std::filesystem::exists(emu.socketPath()));
    DevicePathBuffer path{};
    EXPECT_FALSE(ProbeAnalyzer(path));
}

INSTANTIATE_TEST_SUITE_P(Emulator, Vanish,
                         ::testing::Values(VanishCase{"3", 4, 2048u + 2 * 512u},
                                           VanishCase{"1", 2, 2048u}, VanishCase{"0", 1, 0u},
                                           VanishCase{"2", 3, 2048u + 512u, "20"}),
                         [](const auto& info) {
                             return std::string("After") + info.param.after +
                                    (std::string(info.param.delayMs) == "0" ? "" : "Delayed");
                         });

TEST_F(EmulatorTest, SlowAnswersWithinTheTimeoutSucceedHungOnesFail) {
    EmulatorProcess emu(root.path().string(), {"--delay-ms", "300"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    EXPECT_TRUE(SetTrigger(15));
    SetRequestTimeout(std::chrono::milliseconds(50));
    EXPECT_FALSE(SetTrigger(15));
    EXPECT_EQ(ReadFifoLevel(), 0);
}

struct HangCase {
    const char* after;
    std::vector<bool> answered; // one firmware query (an open and an ioctl) after another
};

void PrintTo(const HangCase& c, std::ostream* os) {
    *os << "hang after " << c.after;
}

class Hang : public EmulatorTest, public ::testing::WithParamInterface<HangCase> {};

TEST_P(Hang, AnswersTheFirstRequestsThenNoneAndStillStops) {
    EmulatorProcess emu(root.path().string(), {"--hang-after", GetParam().after});
    ASSERT_TRUE(emu.ready()) << emu.log();
    SetRequestTimeout(std::chrono::milliseconds(300));
    for (std::size_t i = 0; i < GetParam().answered.size(); ++i) {
        std::array<std::uint8_t, 13> text{};
        EXPECT_EQ(ReadFirmwareVersion(text), GetParam().answered[i]) << "query " << i;
    }
    EXPECT_FALSE(emu.Exited(std::chrono::milliseconds(0))) << emu.log();
    EXPECT_NE(emu.log().find("no answer (hung)"), std::string::npos) << emu.log();
    const auto before = std::chrono::steady_clock::now();
    const int status = emu.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(std::filesystem::exists(emu.socketPath()));
}

INSTANTIATE_TEST_SUITE_P(Emulator, Hang,
                         ::testing::Values(HangCase{"0", {false, false}},
                                           HangCase{"2", {true, false, false}},
                                           HangCase{"3", {true, false, false}},
                                           HangCase{"4", {true, true, false}}),
                         [](const auto& info) { return std::string("After") + info.param.after; });

TEST_F(EmulatorTest, SlowAnswersToOneClientDoNotDelayAnother) {
    EmulatorProcess emu(root.path().string(), {"--delay-ms", "300"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    // Each query is an open and an ioctl, each answered 300 ms late. Answered in turn, the
    // last of four clients would wait 1.2 s for each.
    SetRequestTimeout(std::chrono::milliseconds(800));
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back([&] {
            std::array<std::uint8_t, 13> text{};
            answered += ReadFirmwareVersion(text) ? 1 : 0;
        });
    }
    for (std::thread& t : clients) {
        t.join();
    }
    EXPECT_EQ(answered, 4);
}

TEST_F(EmulatorTest, StopsPromptlyWhileAnAnswerIsDue) {
    EmulatorProcess emu(root.path().string(), {"--delay-ms", "600000"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    SetRequestTimeout(std::chrono::milliseconds(100));
    std::uint8_t speed = 0;
    EXPECT_FALSE(ReadPortSpeed(speed));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(emu.Stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    EXPECT_FALSE(std::filesystem::exists(emu.socketPath()));
}

TEST_F(EmulatorTest, FirstOfTwoAnalyzersInNameOrderIsUsed) {
    EmulatorProcess second(root.path().string(), {"--firmware", "SECOND"}, "analyzer1");
    EmulatorProcess first(root.path().string(), {"--firmware", "FIRST"}, "analyzer0");
    ASSERT_TRUE(first.ready() && second.ready());
    std::array<std::uint8_t, 13> text{};
    ASSERT_TRUE(ReadFirmwareVersion(text));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.data())), "FIRST");
    first.Stop();
    ASSERT_TRUE(ReadFirmwareVersion(text));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.data())), "SECOND");
}

// Everything below `dir`, as relative paths.
std::set<std::string> Tree(const std::filesystem::path& dir) {
    std::set<std::string> paths;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        paths.insert(std::filesystem::relative(it->path(), dir).string());
    }
    return paths;
}

std::string ClassDirectoryBelow(const std::string& root) {
    const auto& g = ANALYZER_INTERFACE_GUID;
    return wire::ClassDirectory(root, g.Data1, g.Data2, g.Data3, g.Data4);
}

struct RefusalCase {
    const char* name;
    std::vector<std::string> args;
    // Prepares the device root below the test's directory and returns it with the message
    // the emulator must give.
    std::function<std::pair<std::string, std::string>(const std::string& temp)> prepare;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

std::pair<std::string, std::string> PrivateRoot(const std::string& temp) {
    return {temp, ""};
}

std::pair<std::string, std::string> RootWithMode(const std::string& temp, mode_t mode,
                                                 const char* shown) {
    const std::string root = temp + "/devices";
    ::mkdir(root.c_str(), 0700);
    ::chmod(root.c_str(), mode);
    return {root, "vintrace-analyzer-emu: device directory " + root + ": mode " + shown +
                      ", must be private"};
}

const RefusalCase kRefusals[] = {
    {"WorldWritableRoot", {}, [](const std::string& t) { return RootWithMode(t, 0777, "0777"); }},
    {"GroupReadableRoot", {}, [](const std::string& t) { return RootWithMode(t, 0750, "0750"); }},
    {"RootOfAnotherUser",
     {},
     [](const std::string& t) {
         const std::string root = t + "/devices";
         ::mkdir(root.c_str(), 0700);
         const uid_t other = ::geteuid() + 4242;
         if (::chown(root.c_str(), other, static_cast<gid_t>(-1)) != 0) {
             return std::pair<std::string, std::string>{root, "SKIP"};
         }
         return std::pair<std::string, std::string>{
             root, "vintrace-analyzer-emu: device directory " + root + ": owned by uid " +
                       std::to_string(other) + ", not you"};
     }},
    {"SymlinkedRoot",
     {},
     [](const std::string& t) {
         const std::string root = t + "/devices";
         ::mkdir((t + "/real").c_str(), 0700);
         EXPECT_EQ(::symlink((t + "/real").c_str(), root.c_str()), 0);
         return std::pair<std::string, std::string>{root, "device directory " + root +
                                                              ": a symbolic link, not a directory"};
     }},
    {"SymlinkedRootNamedWithADot",
     {},
     [](const std::string& t) {
         // "devices/." names the link's target: the check must see the link all the same.
         ::mkdir((t + "/real").c_str(), 0700);
         EXPECT_EQ(::symlink((t + "/real").c_str(), (t + "/devices").c_str()), 0);
         const std::string root = t + "/devices/.";
         return std::pair<std::string, std::string>{root, "device directory " + root +
                                                              ": a symbolic link, not a directory"};
     }},
    {"OpenClassDirectory",
     {},
     [](const std::string& t) {
         const std::string classDirectory = ClassDirectoryBelow(t);
         ::mkdir(classDirectory.c_str(), 0700);
         ::chmod(classDirectory.c_str(), 0755);
         return std::pair<std::string, std::string>{t, "device directory " + classDirectory +
                                                           ": mode 0755, must be private"};
     }},
    {"RootTooLongForASocketAddress",
     {},
     [](const std::string& t) {
         // The directories could be made; the socket in them could not.
         return std::pair<std::string, std::string>{t + "/" + std::string(40, 'd') + "/" +
                                                        std::string(20, 'e'),
                                                    "too long for a Unix socket address"};
     }},
    {"RefuseBeyondTheLastCommand", {"--refuse", "16"}, PrivateRoot},
    {"RefuseHugeNumber", {"--refuse", "999"}, PrivateRoot},
    {"NegativeSeed", {"--seed", "-1"}, PrivateRoot},
    {"FractionalCount", {"--fail-transfer-after", "1.5"}, PrivateRoot},
    {"CountTooBig", {"--fail-transfer-after", "99999999999999999999"}, PrivateRoot},
    {"NegativeVanish", {"--vanish-after-blocks", "-1"}, PrivateRoot},
    {"HexHang", {"--hang-after", "0x10"}, PrivateRoot},
    {"DelayTooLong", {"--delay-ms", "600001"}, PrivateRoot},
    {"MemoryTooSmall", {"--memory", "1"}, PrivateRoot},
    {"FillSecondsNotANumber", {"--fill-seconds", "nan"}, PrivateRoot},
    {"UnknownDevice", {"--device", "printer"}, PrivateRoot},
    {"FiveDevices",
     {"--device", "mouse", "--device", "serial", "--device", "disk", "--device", "keyboard",
      "--device", "vendor"},
     [](const std::string& t) {
         return std::pair<std::string, std::string>{
             t, "--device: at most 4 devices on the bus, not 5"};
     }},
    {"FullSpeedDeviceOnALowSpeedBus",
     {"--device", "mouse", "--device", "disk", "--speed", "low"},
     [](const std::string& t) {
         return std::pair<std::string, std::string>{
             t, "--device: disk is a full-speed device; a low-speed bus (--speed low) cannot "
                "carry it"};
     }},
};

class Refusal : public EmulatorTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusal, EmulatorRefusesToStartSaysWhyAndLeavesNothing) {
    const std::string temp = root.path().string();
    auto [deviceRoot, message] = GetParam().prepare(temp);
    if (message == "SKIP") {
        GTEST_SKIP() << "cannot give a directory away without privileges";
    }
    if (message.empty()) {
        message = GetParam().args.front() + ": ";
    }
    const std::set<std::string> before = Tree(temp);
    EmulatorProcess emu(deviceRoot, GetParam().args, "analyzer0", temp);
    EXPECT_FALSE(emu.ready());
    ASSERT_TRUE(emu.Exited(std::chrono::seconds(10)));
    EXPECT_TRUE(WIFEXITED(emu.status()) && WEXITSTATUS(emu.status()) != 0) << emu.status();
    EXPECT_NE(emu.log().find(message), std::string::npos) << emu.log();
    std::set<std::string> after = Tree(temp);
    after.erase("emu.log");
    EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(Emulator, Refusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EmulatorTest, ValuesAtTheEndsOfTheirRangesAreTaken) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--refuse", "15", "--refuse", "0", "--seed",
                                   "18446744073709551615"},
          std::vector<std::string>{"--vanish-after-blocks", "0", "--hang-after", "0",
                                   "--fail-transfer-after", "9223372036854775807"},
          std::vector<std::string>{"--fill-seconds", "0", "--memory", "2", "--delay-ms", "0"},
          std::vector<std::string>{"--device", "mouse", "--device", "serial", "--device", "disk",
                                   "--device", "keyboard"}}) {
        EmulatorProcess emu(root.path().string(), args);
        EXPECT_TRUE(emu.ready()) << emu.log();
        EXPECT_EQ(emu.Stop(), 0) << emu.log();
    }
}

TEST_F(EmulatorTest, CreatesItsDirectoriesPrivate) {
    const mode_t old = ::umask(022);
    const std::string deviceRoot = root / "run/user";
    EmulatorProcess emu(deviceRoot, {}, "analyzer0", root.path().string());
    ::umask(old);
    ASSERT_TRUE(emu.ready()) << emu.log();
    for (const std::string& dir : {root / "run", deviceRoot, ClassDirectoryBelow(deviceRoot)}) {
        struct stat st {};
        ASSERT_EQ(::lstat(dir.c_str(), &st), 0) << dir;
        EXPECT_EQ(st.st_mode & 07777, 0700u) << dir;
    }
    SetDeviceRoot(deviceRoot);
    std::array<std::uint8_t, 13> text{};
    EXPECT_TRUE(ReadFirmwareVersion(text));
}

// A client that sends requests and never reads a reply.
class Flooder {
public:
    explicit Flooder(const std::string& socketPath) {
        fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", socketPath.c_str());
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        query_.op = wire::Op::Ioctl;
        query_.code = IOCTL_ANALYZER_QUERY;
        query_.outLength = kFirmwareVersionLength;
        const auto record =
            EncodeCommandRecord({static_cast<std::int32_t>(AnalyzerCommand::ReadFirmwareVersion),
                                 static_cast<std::int32_t>(kFirmwareVersionLength), 0x1000, 0});
        query_.input.assign(record.begin(), record.end());
        query_.regions.push_back({0x1000, std::vector<std::uint8_t>(kFirmwareVersionLength)});
    }
    ~Flooder() {
        Stop();
        ::close(fd_);
    }

    // Opens the device, then sends queries as fast as the emulator takes them.
    void Start() {
        thread_ = std::thread([this] {
            if (!Send(wire::EncodeRequest({}))) {
                return;
            }
            const std::vector<std::uint8_t> frame = wire::EncodeRequest(query_);
            while (!stop_) {
                if (Send(frame)) {
                    ++sent_;
                } else if (errno == EAGAIN) {
                    blocked_ = true; // the emulator takes no more from us for now
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                } else {
                    return;
                }
            }
        });
    }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    // Reads replies until all sent requests are answered or `timeout` passes; how many came.
    int Drain(std::chrono::milliseconds timeout) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        std::vector<std::uint8_t> buffer(wire::kMaxFrame);
        int replies = 0;
        while (replies < sent_ + 1 && std::chrono::steady_clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
            wire::Reply reply;
            if (n <= 0 || !wire::DecodeReply({buffer.data(), static_cast<std::size_t>(n)}, reply) ||
                reply.error != 0) {
                break;
            }
            ++replies;
        }
        return replies;
    }

    bool connected() const { return connected_; }
    bool blocked() const { return blocked_; }
    int sent() const { return sent_; }

private:
    bool Send(const std::vector<std::uint8_t>& frame) {
        return ::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) >= 0;
    }

    int fd_ = -1;
    bool connected_ = false;
    wire::Request query_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> blocked_{false};
    std::atomic<int> sent_{0};
};

TEST_F(EmulatorTest, ClientThatNeverReadsHoldsUpNoOtherClient) {
    EmulatorProcess emu(root.path().string(), {});
    ASSERT_TRUE(emu.ready()) << emu.log();
    Flooder flooder(emu.socketPath());
    ASSERT_TRUE(flooder.connected());
    flooder.Start();
    ASSERT_TRUE(WaitFor([&] { return flooder.blocked(); })) << flooder.sent();
    // While it keeps sending, the status queries of others are answered at once.
    SetRequestTimeout(std::chrono::seconds(1));
    const auto before = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        std::array<std::uint8_t, 13> text{};
        ASSERT_TRUE(ReadFirmwareVersion(text)) << "query " << i;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.data())), "VT-EMU 1.00");
        std::uint8_t speed = 7;
        ASSERT_TRUE(ReadPortSpeed(speed)) << "query " << i;
        EXPECT_EQ(ReadFifoLevel(), 0);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
    // Nothing it asked for was lost: once it reads, every request gets its answer.
    flooder.Stop();
    EXPECT_EQ(flooder.Drain(std::chrono::seconds(10)), flooder.sent() + 1);
    EXPECT_EQ(emu.Stop(), 0);
}

/// A connection that opens nothing and asks nothing; -1 when the emulator did not take it.
int IdleConnection(const std::string& socketPath) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", socketPath.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

/// True once the emulator has closed `fd`'s connection, within `limit`.
bool ClosedWithin(int fd, std::chrono::milliseconds limit) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) {
        return false;
    }
    char byte = 0;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0 || (p.revents & POLLHUP) != 0;
}

/// CPU time the process has used, user and system.
std::chrono::milliseconds CpuTime(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name in parentheses; utime and stime are the 14th and 15th.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    long long ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i >= 14) {
            ticks += std::stoll(field);
        }
    }
    return std::chrono::milliseconds(ticks * 1000 / ::sysconf(_SC_CLK_TCK));
}

// A connection that neither asks nor is owed anything is closed once its time is up; one in
// use is not.
TEST_F(EmulatorTest, IdleConnectionsAreClosed) {
    EmulatorProcess emu(root.path().string(), {"--idle-seconds", "0.3"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    const int idle = IdleConnection(emu.socketPath());
    ASSERT_GE(idle, 0);
    EXPECT_TRUE(ClosedWithin(idle, std::chrono::seconds(10))) << emu.log();
    ::close(idle);
    EXPECT_NE(emu.log().find("closed: idle"), std::string::npos) << emu.log();
    // A download asks at its own pace and keeps its connection.
    AcquireUntilFull(15);
    const Download d = DownloadRecording();
    EXPECT_FALSE(d.lastFailed);
    EXPECT_GT(d.bytes.size(), 0u);
}

// Idle connections beyond the open-file limit must neither make the emulator spin (a
// listening socket that stays readable while accept fails with EMFILE) nor lock out the
// clients that really ask something.
TEST_F(EmulatorTest, FloodOfIdleConnectionsNeitherSpinsNorLocksOut) {
    EmulatorProcess emu(root.path().string(), {"--idle-seconds", "3600"});
    ASSERT_TRUE(emu.ready()) << emu.log();
    const rlimit few{16, 16};
    ASSERT_EQ(::prlimit(emu.pid(), RLIMIT_NOFILE, &few, nullptr), 0);
    std::vector<int> flood;
    for (int i = 0; i < 60; ++i) {
        if (const int fd = IdleConnection(emu.socketPath()); fd >= 0) {
            flood.push_back(fd);
        }
    }
    ASSERT_GT(flood.size(), 16u);
    const auto cpuBefore = CpuTime(emu.pid());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    // A busy loop would take most of the 2 s; waiting takes next to nothing.
    EXPECT_LT(CpuTime(emu.pid()) - cpuBefore, std::chrono::milliseconds(400));
    SetRequestTimeout(std::chrono::seconds(2));
    for (int i = 0; i < 3; ++i) {
        std::array<std::uint8_t, 13> text{};
        ASSERT_TRUE(ReadFirmwareVersion(text)) << "query " << i << "\n" << emu.log();
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.data())), "VT-EMU 1.00");
    }
    for (const int fd : flood) {
        ::close(fd);
    }
    EXPECT_EQ(emu.Stop(), 0);
}

} // namespace
} // namespace vintrace::device
