// The device model from the control transfers alone (over the index, or grouping a window at
// a time) against the model of the whole transfer list, on recordings of the emulated bus in
// which the devices enumerate again and again, whole and with packets garbled.
#include "BusModel.h"
#include "capture/CaptureDecoder.h"
#include "protocol/Devices.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

using emulator::Profile;

struct LoopCase {
    const char* name;
    std::vector<Profile> profiles;
    bool lowSpeedBehindHub = false;
    std::size_t recordingBytes = 0;
    int repeats = 0;
    /// Every this many records one gets another kind (0: none).
    std::size_t garbleEvery = 0;
};

// Named by the case, so CTest names stay put between builds.
void PrintTo(const LoopCase& c, std::ostream* os) {
    *os << c.name;
}

/// One recording from power-on, cut at a packet's end, repeated: a reset loop.
capture::PacketList ResetLoop(const LoopCase& c) {
    emulator::BusModel bus({5, true, c.lowSpeedBehindHub, c.profiles});
    std::vector<std::uint8_t> one;
    for (;;) {
        const emulator::BusPacket p = bus.Next();
        if (one.size() + 2 * p.bytes.size() > c.recordingBytes) {
            break;
        }
        for (std::size_t i = 0; i < p.bytes.size(); ++i) {
            one.push_back(i == 0 ? 0x01 : 0x00);
            one.push_back(p.bytes[i]);
        }
    }
    std::vector<std::uint8_t> all;
    for (int r = 0; r < c.repeats; ++r) {
        all.insert(all.end(), one.begin(), one.end());
    }
    capture::PacketList packets;
    capture::ParseCaptureFile(all, packets);
    if (c.garbleEvery != 0) {
        using capture::RecordKind;
        static constexpr RecordKind kKinds[] = {
            RecordKind::Setup, RecordKind::Out,   RecordKind::In,    RecordKind::Ack,
            RecordKind::Nak,   RecordKind::Stall, RecordKind::Data0, RecordKind::Data1};
        std::mt19937 random(7);
        for (std::size_t i = random() % c.garbleEvery; i < packets.size();
             i += 1 + random() % (2 * c.garbleEvery)) {
            packets.setKind(i, kKinds[random() % std::size(kKinds)]);
        }
    }
    return packets;
}

void ExpectSameModel(const DeviceModel& got, const DeviceModel& want,
                     const capture::PacketList& packets) {
    ASSERT_EQ(got.devices().size(), want.devices().size());
    for (std::size_t d = 0; d < want.devices().size(); ++d) {
        EXPECT_TRUE(got.devices()[d] == want.devices()[d]) << "device " << d;
    }
    for (std::size_t r = 0; r < packets.size(); r += 37) {
        for (std::uint8_t a = 0; a < 128; ++a) {
            ASSERT_EQ(got.deviceAt(a, r), want.deviceAt(a, r))
                << "address " << int{a} << " at " << r;
        }
    }
}

class DevicePass : public ::testing::TestWithParam<LoopCase> {};

TEST_P(DevicePass, FindsTheDevicesOfTheWholeTransferList) {
    const capture::PacketList packets = ResetLoop(GetParam());
    const Transactions tx = GroupTransactions(packets, 1);
    // The serial path: the whole list, then the devices in it.
    const DeviceModel want = DeviceModel::Build(packets, tx, AssembleTransfers(packets, tx));
    if (GetParam().garbleEvery == 0) {
        EXPECT_GE(want.devices().size(),
                  GetParam().profiles.size() * static_cast<std::size_t>(GetParam().repeats));
    }
    {
        SCOPED_TRACE("over the index");
        ExpectSameModel(DeviceModel::FromControlTraffic(packets, tx), want, packets);
    }
    {
        SCOPED_TRACE("a window at a time");
        ExpectSameModel(DeviceModel::FromControlTraffic(packets, 2u), want, packets);
    }
    // The described list: the same items, in the same order, as the list grouped with the
    // serial path's descriptors.
    TransferOptions options;
    options.endpoints = want.lookup();
    const std::vector<TransferItem> items = AssembleTransfers(packets, tx, options);
    const DescribedTransferList described = AssembleDescribedTransferList(packets, tx);
    ASSERT_EQ(described.items.size(), items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        ASSERT_EQ(described.items[i], items[i]) << "item " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Emulator, DevicePass,
    ::testing::Values(
        // Over 65,536 transactions, so the windowed pass frees chunks of its index.
        LoopCase{"MouseSerialDisk",
                 {Profile::Mouse, Profile::Serial, Profile::Disk},
                 true,
                 263'680,
                 40,
                 0},
        LoopCase{"MouseSerialDiskGarbled",
                 {Profile::Mouse, Profile::Serial, Profile::Disk},
                 true,
                 263'680,
                 40,
                 97},
        LoopCase{"VendorShortLoops", {Profile::Vendor}, false, 9'000, 60, 0},
        LoopCase{"FourDevicesGarbledOften",
                 {Profile::Keyboard, Profile::Disk, Profile::Mouse, Profile::Serial},
                 true,
                 40'000,
                 20,
                 13}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace vintrace::protocol
