#include "device/DeviceAccess.h"
#include "device/AnalyzerCommands.h"
#include "support/FakeWin32Api.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace vintrace::platform;

namespace vintrace::device {
namespace {

using test::FakeWin32Api;
using test::ScopedFakeApi;

class DeviceAccessTest : public ::testing::Test {
protected:
    FakeWin32Api fake;
    ScopedFakeApi installed{fake};

    void OneAnalyzer(const std::string& path = "\\\\?\\usb#vid_0547&pid_1002#analyzer") {
        fake.interfaces = {{path}};
    }
};

TEST_F(DeviceAccessTest, NoAnalyzerEveryCommandFailsWithItsFailureResult) {
    std::uint8_t status = 9;
    std::uint8_t full = 9;
    std::uint8_t speed = 9;
    std::array<std::uint8_t, 13> text;
    text.fill(0xAA);

    EXPECT_FALSE(SetTrigger(15));
    // The very first enumeration call already ends the list.
    ASSERT_FALSE(fake.enumIndices.empty());
    EXPECT_EQ(fake.enumIndices.front(), 0u);
    EXPECT_EQ(fake.enumErrors.front(), ERROR_NO_MORE_ITEMS);

    EXPECT_FALSE(SetArmed(1));
    EXPECT_FALSE(ReadFirmwareVersion(text));
    EXPECT_EQ(text, (std::array<std::uint8_t, 13>{}));
    EXPECT_FALSE(ReadTriggerStatus(status));
    EXPECT_EQ(status, 9);
    EXPECT_FALSE(ReadPortSpeed(speed));
    EXPECT_EQ(speed, 0);
    EXPECT_FALSE(BeginAcquisition());
    EXPECT_FALSE(EndDownload());
    EXPECT_FALSE(SetStopped(1));
    EXPECT_FALSE(ReadFifoFull(full));
    EXPECT_EQ(full, 9);
    EXPECT_FALSE(BeginDownload());
    EXPECT_FALSE(SetBusSpeed(1));
    EXPECT_EQ(ReadFifoLevel(), 0);
    EXPECT_EQ(OpenDataPipe(kDataPipeName), INVALID_HANDLE_VALUE);

    EXPECT_TRUE(fake.opened.empty());
    EXPECT_TRUE(fake.ioctls.empty());
    EXPECT_EQ(fake.liveSets, 0);
}

struct EnumerationCase {
    const char* name;
    std::vector<FakeWin32Api::Interface> interfaces;
    bool found;
    std::string path; // left in the buffer: the interface last tried
};

// Printed by name so that test names stay the same from build to build.
void PrintTo(const EnumerationCase& c, std::ostream* os) {
    *os << c.name;
}

class Enumeration : public DeviceAccessTest,
                    public ::testing::WithParamInterface<EnumerationCase> {};

TEST_P(Enumeration, FirstInterfaceThatOpensWins) {
    const EnumerationCase& c = GetParam();
    fake.interfaces = c.interfaces;
    DevicePathBuffer path{};
    HANDLE h = FindAnalyzer(path);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.found);
    EXPECT_EQ(std::string(path.data()), c.path);
    if (h != INVALID_HANDLE_VALUE) {
        fake.CloseHandle(h);
    }
    EXPECT_EQ(fake.liveSets, 0);
    EXPECT_EQ(fake.openHandles, 0);
}

const std::string kLongest(kLongestDevicePath, 'p');

INSTANTIATE_TEST_SUITE_P(
    DeviceAccess, Enumeration,
    ::testing::Values(
        EnumerationCase{"Empty", {}, false, ""},
        EnumerationCase{"SkipsFailures",
                        {{"A", 13}, {"B", 0, true}, {"C", 0, false, false}, {"D"}, {"E"}},
                        true,
                        "D"},
        EnumerationCase{"NoneOpens", {{"A", 0, false, false}, {"B", 0, false, false}}, false, "B"},
        EnumerationCase{"SecondOfTwo", {{"A", 0, false, false}, {"B"}}, true, "B"},
        EnumerationCase{"TooLongForPipeIsSkipped",
                        {{std::string(kLongestDevicePath + 1, 'x')}, {"short"}},
                        true,
                        "short"},
        EnumerationCase{"LongestThatFits", {{kLongest}}, true, kLongest}),
    [](const auto& info) { return std::string(info.param.name); });

struct ListCase {
    const char* name;
    std::vector<FakeWin32Api::Interface> interfaces;
    std::vector<std::string> listed;
};

void PrintTo(const ListCase& c, std::ostream* os) {
    *os << c.name;
}

class Listing : public DeviceAccessTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(Listing, EveryInterfaceThatOpensInMemberOrder) {
    const ListCase& c = GetParam();
    fake.interfaces = c.interfaces;
    EXPECT_EQ(ListAnalyzers(), c.listed);
    // Each was opened to find out, and closed again.
    EXPECT_EQ(fake.openHandles, 0);
    EXPECT_EQ(fake.liveSets, 0);
}

INSTANTIATE_TEST_SUITE_P(
    DeviceAccess, Listing,
    ::testing::Values(ListCase{"Empty", {}, {}},
                      ListCase{"Three", {{"A"}, {"B"}, {"C"}}, {"A", "B", "C"}},
                      ListCase{"SkipsFailures",
                               {{"A", 13}, {"B", 0, true}, {"C", 0, false, false}, {"D"}, {"E"}},
                               {"D", "E"}},
                      ListCase{"TooLongForPipeIsSkipped",
                               {{"first"}, {std::string(kLongestDevicePath + 1, 'x')}, {"last"}},
                               {"first", "last"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The analyzer chosen for this process gets every command, the pipe and the probe; the first
// one found keeps answering FindAnalyzer.
class ChosenAnalyzer : public DeviceAccessTest {
protected:
    void TearDown() override { UseAnalyzer(""); }
};

TEST_F(ChosenAnalyzer, CommandsPipeAndProbeGoToIt) {
    fake.interfaces = {{"A"}, {"B"}, {"C"}};
    UseAnalyzer("B");
    EXPECT_EQ(AnalyzerInUse(), "B");
    EXPECT_TRUE(SetArmed(1));
    EXPECT_EQ(fake.opened, (std::vector<std::string>{"B"}));
    DevicePathBuffer path{};
    EXPECT_TRUE(ProbeAnalyzer(path));
    EXPECT_EQ(std::string(path.data()), "B");
    fake.opened.clear();
    HANDLE pipe = OpenDataPipe(kDataPipeName);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fake.opened, (std::vector<std::string>{"B", "B\\PIPE00"}));
    fake.CloseHandle(pipe);

    fake.opened.clear();
    HANDLE first = FindAnalyzer(path);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fake.opened, (std::vector<std::string>{"A"}));
    fake.CloseHandle(first);

    UseAnalyzer("");
    fake.opened.clear();
    EXPECT_TRUE(SetArmed(1));
    EXPECT_EQ(fake.opened, (std::vector<std::string>{"A"}));
    EXPECT_EQ(fake.openHandles, 0);
    EXPECT_EQ(fake.liveSets, 0);
}

TEST_F(ChosenAnalyzer, GoneOrUnlistedFailsWithoutFallingBackToAnother) {
    struct Case {
        const char* name;
        std::vector<FakeWin32Api::Interface> interfaces;
        std::string chosen;
    };
    const std::vector<Case> cases = {
        {"Unplugged", {{"A"}, {"C"}}, "B"},
        {"NoLongerOpens", {{"A"}, {"B", 0, false, false}}, "B"},
        // Its path would open, but the set-up API does not list it.
        {"NotEnumeratedThoughItWouldOpen", {{"A"}, {"B", 13}}, "B"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake.interfaces = c.interfaces;
        fake.opened.clear();
        UseAnalyzer(c.chosen);
        DevicePathBuffer path{};
        EXPECT_FALSE(ProbeAnalyzer(path));
        EXPECT_FALSE(SetTrigger(15));
        EXPECT_EQ(OpenDataPipe(kDataPipeName), INVALID_HANDLE_VALUE);
        EXPECT_EQ(OpenAnalyzer(c.chosen), INVALID_HANDLE_VALUE);
        EXPECT_TRUE(fake.ioctls.empty());
        // Only the chosen path itself may have been tried.
        for (const std::string& opened : fake.opened) {
            EXPECT_EQ(opened, c.chosen);
        }
    }
    EXPECT_EQ(fake.openHandles, 0);
    EXPECT_EQ(fake.liveSets, 0);
}

TEST_F(DeviceAccessTest, EndlessEnumerationErrorsAreBounded) {
    fake.endlessEnumError = ERROR_GEN_FAILURE;
    DevicePathBuffer path{};
    EXPECT_EQ(FindAnalyzer(path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(fake.enumIndices.size(), kMaxEnumerationFailures);
    EXPECT_EQ(fake.liveSets, 0);
}

TEST_F(DeviceAccessTest, PipePathIsDevicePathBackslashPipeName) {
    OneAnalyzer("\\\\?\\dev#1");
    HANDLE pipe = OpenDataPipe(kDataPipeName);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    ASSERT_EQ(fake.opened.size(), 2u);
    EXPECT_EQ(fake.opened[0], "\\\\?\\dev#1");
    EXPECT_EQ(fake.opened[1], "\\\\?\\dev#1\\PIPE00");
    // The probe's handle is closed; only the pipe's stays open.
    EXPECT_EQ(fake.openHandles, 1);
}

struct CommandCase {
    const char* name;
    std::function<bool()> call;
    std::int32_t code;
    DWORD ioctl;
    std::vector<std::uint8_t> data; // the byte sent; empty for no data
};

// Printed by name so that test names stay the same from build to build.
void PrintTo(const CommandCase& c, std::ostream* os) {
    *os << c.name << " (command " << c.code << ")";
}

class Commands : public DeviceAccessTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(Commands, SendRecordThroughOneHandleThatIsClosed) {
    const CommandCase& c = GetParam();
    OneAnalyzer();
    fake.queryAnswer = std::vector<std::uint8_t>(13, 1);
    EXPECT_TRUE(c.call());
    ASSERT_EQ(fake.ioctls.size(), 1u);
    const auto& io = fake.ioctls[0];
    EXPECT_EQ(io.code, c.ioctl);
    EXPECT_EQ(io.input.size(), 16u);
    EXPECT_EQ(io.record.commandCode, c.code);
    EXPECT_EQ(io.record.argument, 0);
    EXPECT_EQ(fake.openHandles, 0);
    EXPECT_EQ(fake.opened.size(), 1u);
    if (c.ioctl == IOCTL_ANALYZER_COMMAND) {
        EXPECT_FALSE(io.hasOutput);
        EXPECT_EQ(io.outSize, 0u);
        EXPECT_EQ(io.record.dataLength, static_cast<std::int32_t>(c.data.size()));
        EXPECT_EQ(io.record.dataAddress != 0, !c.data.empty());
        EXPECT_EQ(io.data, c.data);
    } else {
        // The record names the very buffer that receives the answer.
        EXPECT_TRUE(io.hasOutput);
        EXPECT_EQ(io.outSize, static_cast<DWORD>(io.record.dataLength));
        EXPECT_NE(io.record.dataAddress, 0u);
        EXPECT_EQ(io.data.size(), io.outSize);
    }
}

std::uint8_t gByte;
std::array<std::uint8_t, 13> gText;

INSTANTIATE_TEST_SUITE_P(
    DeviceAccess, Commands,
    ::testing::Values(
        CommandCase{"SetArmed", [] { return SetArmed(1); }, 0, IOCTL_ANALYZER_COMMAND, {1}},
        CommandCase{"SetTrigger", [] { return SetTrigger(13); }, 1, IOCTL_ANALYZER_COMMAND, {13}},
        CommandCase{"ReadFirmwareVersion",
                    [] { return ReadFirmwareVersion(gText); },
                    2,
                    IOCTL_ANALYZER_QUERY,
                    {}},
        CommandCase{"ReadTriggerStatus",
                    [] { return ReadTriggerStatus(gByte); },
                    5,
                    IOCTL_ANALYZER_QUERY,
                    {}},
        CommandCase{
            "ReadPortSpeed", [] { return ReadPortSpeed(gByte); }, 6, IOCTL_ANALYZER_QUERY, {}},
        CommandCase{
            "BeginAcquisition", [] { return BeginAcquisition(); }, 8, IOCTL_ANALYZER_COMMAND, {}},
        CommandCase{"EndDownload", [] { return EndDownload(); }, 10, IOCTL_ANALYZER_COMMAND, {}},
        CommandCase{"SetStopped", [] { return SetStopped(0); }, 11, IOCTL_ANALYZER_COMMAND, {0}},
        CommandCase{
            "ReadFifoFull", [] { return ReadFifoFull(gByte); }, 12, IOCTL_ANALYZER_QUERY, {}},
        CommandCase{
            "BeginDownload", [] { return BeginDownload(); }, 13, IOCTL_ANALYZER_COMMAND, {}},
        CommandCase{"SetBusSpeed", [] { return SetBusSpeed(1); }, 14, IOCTL_ANALYZER_COMMAND, {1}},
        CommandCase{
            "ReadFifoLevel", [] { return ReadFifoLevel() == 1; }, 15, IOCTL_ANALYZER_QUERY, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DeviceAccessTest, QueriesReturnTheAnswerBytes) {
    OneAnalyzer();
    fake.queryAnswer = {'V', 'T', '-', '1', '.', '2', '3', 0, 0, 0, 0, 0, 0};
    std::array<std::uint8_t, 13> text{};
    EXPECT_TRUE(ReadFirmwareVersion(text));
    EXPECT_EQ(std::vector<std::uint8_t>(text.begin(), text.end()), fake.queryAnswer);
    fake.queryAnswer = {0xC8};
    EXPECT_EQ(ReadFifoLevel(), 0xC8);
    std::uint8_t speed = 0;
    EXPECT_TRUE(ReadPortSpeed(speed));
    EXPECT_EQ(speed, 0xC8);
}

TEST_F(DeviceAccessTest, ShortQueryAnswerCountsAsSuccess) {
    OneAnalyzer();
    fake.queryAnswer = {'V', '1'};
    std::array<std::uint8_t, 13> text;
    text.fill(0xAA);
    EXPECT_TRUE(ReadFirmwareVersion(text));
    EXPECT_EQ(text[0], 'V');
    EXPECT_EQ(text[1], '1');
    fake.queryAnswer.clear();
    std::uint8_t status = 7;
    EXPECT_TRUE(ReadTriggerStatus(status));
    EXPECT_EQ(ReadFifoLevel(), 0);
}

TEST_F(DeviceAccessTest, FailedQueriesLeaveOrResetTheirResults) {
    OneAnalyzer();
    fake.ioctlSucceeds = false;
    std::uint8_t status = 9;
    std::uint8_t full = 9;
    std::uint8_t speed = 9;
    std::array<std::uint8_t, 13> text;
    text.fill(0xAA);
    EXPECT_FALSE(ReadTriggerStatus(status));
    EXPECT_FALSE(ReadFifoFull(full));
    EXPECT_FALSE(ReadPortSpeed(speed));
    EXPECT_FALSE(ReadFirmwareVersion(text));
    EXPECT_EQ(status, 9);
    EXPECT_EQ(full, 9);
    EXPECT_EQ(speed, 0);
    EXPECT_EQ(text, (std::array<std::uint8_t, 13>{}));
    EXPECT_EQ(ReadFifoLevel(), 0);
    EXPECT_FALSE(SetTrigger(1));
    EXPECT_EQ(fake.openHandles, 0);
}

TEST_F(DeviceAccessTest, TransferOnInvalidHandleIssuesNothing) {
    OneAnalyzer();
    std::uint8_t buffer[16];
    std::uint32_t count = 99;
    EXPECT_FALSE(TransferBlock(INVALID_HANDLE_VALUE, buffer, sizeof buffer, count));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(fake.writes, 0);
    EXPECT_TRUE(fake.ioctls.empty());
}

TEST_F(DeviceAccessTest, TransferFillsBufferAndReportsCount) {
    OneAnalyzer();
    HANDLE pipe = OpenDataPipe(kDataPipeName);
    fake.transferBytes = {0x01, 0xA5, 0x00, 0x12};
    std::uint8_t buffer[2048] = {};
    std::uint32_t count = 0;
    EXPECT_TRUE(TransferBlock(pipe, buffer, 2048, count));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(buffer[1], 0xA5);
    EXPECT_TRUE(fake.ioctls.empty());
}

TEST_F(DeviceAccessTest, FailedTransferRecoversThePipe) {
    OneAnalyzer();
    HANDLE pipe = OpenDataPipe(kDataPipeName);
    fake.writeSucceeds = false;
    std::uint8_t buffer[512];
    std::uint32_t count = 99;
    EXPECT_FALSE(TransferBlock(pipe, buffer, 512, count));
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(fake.ioctls.size(), 1u);
    EXPECT_EQ(fake.ioctls[0].handle, pipe);
    EXPECT_EQ(fake.ioctls[0].code, IOCTL_RECOVER_PIPE);
    EXPECT_TRUE(fake.ioctls[0].input.empty());
    EXPECT_FALSE(fake.ioctls[0].hasOutput);
}

TEST_F(DeviceAccessTest, RecordIsSixteenLittleEndianBytes) {
    const CommandRecord r{0x0A0B0C0D, 13, 0x80000001u, -1};
    const auto bytes = EncodeCommandRecord(r);
    const std::array<std::uint8_t, 16> want{0x0D, 0x0C, 0x0B, 0x0A, 13,   0,    0,    0,
                                            0x01, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(bytes, want);
    EXPECT_EQ(DecodeCommandRecord(bytes.data()), r);
}

} // namespace
} // namespace vintrace::device
