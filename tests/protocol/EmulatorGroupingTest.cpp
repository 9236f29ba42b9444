// Recordings of the analyzer emulator, grouped: a simulated bus follows the protocol, so
// nothing may be left outside a transaction except where the recording memory cut it.
#include "capture/CaptureDecoder.h"
#include "device/AnalyzerCommands.h"
#include "device/DeviceAccess.h"
#include "platform/ShimSettings.h"
#include "protocol/Transfers.h"
#include "support/EmulatorProcess.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <thread>

namespace vintrace::protocol {
namespace {

using test::EmulatorProcess;
using test::TempDir;
using test::WaitFor;

/// Arms with trigger 15 (at once), waits for the memory to fill and downloads it whole.
std::vector<std::uint8_t> Record() {
    using namespace device;
    std::vector<std::uint8_t> bytes;
    if (!SetTrigger(15)) {
        return bytes;
    }
    SetArmed(0);
    SetStopped(0);
    BeginAcquisition();
    SetArmed(1);
    std::uint8_t full = 0;
    if (!WaitFor([&] { return ReadFifoFull(full) && full == 1; })) {
        return bytes;
    }
    SetStopped(1);
    platform::HANDLE pipe = OpenDataPipe(kDataPipeName);
    BeginDownload();
    std::vector<std::uint8_t> block(2048);
    std::uint32_t asked = 2048;
    for (int blocks = 0; blocks < 512; ++blocks) {
        std::uint32_t count = 0;
        const bool ok = TransferBlock(pipe, block.data(), asked, count);
        bytes.insert(bytes.end(), block.begin(), block.begin() + count);
        if (!ok || count < asked) {
            break;
        }
        asked = 512;
    }
    CloseDataPipe(pipe);
    EndDownload();
    return bytes;
}

struct Profile {
    const char* name;
    std::vector<std::string> args;
};

// Named by the case, so CTest names stay put between builds.
void PrintTo(const Profile& c, std::ostream* os) {
    *os << c.name;
}

class EmulatorGrouping : public ::testing::TestWithParam<Profile> {
protected:
    TempDir root;
    void SetUp() override { platform::SetDeviceRoot(root.path().string()); }
    void TearDown() override { platform::SetDeviceRoot(""); }
};

TEST_P(EmulatorGrouping, NothingMalformedBeforeTheCut) {
    std::vector<std::string> args{"--memory", "60000", "--fill-seconds", "0.1"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    EmulatorProcess emu(root.path().string(), args);
    ASSERT_TRUE(emu.ready()) << emu.log();
    const std::vector<std::uint8_t> bytes = Record();
    ASSERT_EQ(bytes.size(), 60000u) << emu.log();
    capture::PacketList packets;
    capture::ParseCaptureFile(bytes, packets);
    ASSERT_GT(packets.size(), 100u);

    const Transactions tx = GroupTransactions(packets);
    for (std::size_t i = 0; i < tx.size(); ++i) {
        // The memory ends mid-packet or mid-transaction: only the last few records may be
        // left over.
        if (tx[i].kind == TransactionKind::Malformed) {
            EXPECT_GE(tx[i].first + 3, packets.size()) << tx[i];
        }
    }
    std::map<TransferType, int> types;
    int controlsOk = 0;
    std::vector<int> owners(packets.size(), 0);
    for (const TransferItem& item : AssembleTransfers(packets, tx)) {
        ++types[item.type];
        for (std::size_t x : Members(tx, item)) {
            for (std::size_t r = tx[x].first; r <= tx[x].last(); ++r) {
                ++owners[r];
            }
        }
        if (item.type == TransferType::Control && item.status == TransferStatus::Ok) {
            ++controlsOk;
            EXPECT_TRUE(ControlRequest(packets, tx, item)) << item;
        }
        if (item.type == TransferType::Control) {
            EXPECT_NE(item.status, TransferStatus::Error) << item;
        }
    }
    // Folding hides nothing: each record is under exactly one item.
    EXPECT_EQ(std::count(owners.begin(), owners.end(), 1), static_cast<long>(owners.size()));
    EXPECT_GT(controlsOk, 3); // the enumeration at least
    EXPECT_GT(types[TransferType::Polling], 0);
    EXPECT_LE(types[TransferType::Malformed], 1);
}

INSTANTIATE_TEST_SUITE_P(
    Emulator, EmulatorGrouping,
    ::testing::Values(Profile{"FullSpeed", {}}, Profile{"Seed7", {"--seed", "7"}},
                      Profile{"LowSpeed", {"--speed", "low"}},
                      Profile{"LowSpeedBehindHub", {"--hub-low-speed-device"}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace vintrace::protocol
