// The device model from the control transfers alone (over the index, or grouping a window at
// a time) against the model of the whole transfer list, on recordings of the emulated bus in
// which the devices enumerate again and again, whole and with packets garbled; and the
// transfer list grouped by the devices it finds, with the assembly beside the pass or after it.
#include "BusModel.h"
#include "capture/CaptureDecoder.h"
#include "protocol/DeviceTree.h"
#include "protocol/Devices.h"
#include "support/BusSequence.h"
#include "support/RandomBus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
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
                     const capture::PacketList& packets, std::size_t every = 37) {
    ASSERT_EQ(got.devices().size(), want.devices().size());
    for (std::size_t d = 0; d < want.devices().size(); ++d) {
        EXPECT_TRUE(got.devices()[d] == want.devices()[d]) << "device " << d;
    }
    for (std::size_t r = 0; r < packets.size(); r += every) {
        for (std::uint8_t a = 0; a < 128; ++a) {
            ASSERT_EQ(got.deviceAt(a, r), want.deviceAt(a, r))
                << "address " << int{a} << " at " << r;
        }
    }
    // A decoder's cached lookup, asked in capture order and then going back.
    DeviceAtCache cached(got);
    for (const bool back : {false, true}) {
        for (std::size_t i = 0; i < packets.size(); i += every) {
            const std::size_t r = back ? packets.size() - 1 - i : i;
            for (std::uint8_t a = 0; a < 128; ++a) {
                ASSERT_EQ(cached(a, r), want.deviceAt(a, r))
                    << "cached, address " << int{a} << " at " << r << (back ? ", back" : "");
            }
        }
    }
    EXPECT_TRUE(got.controlSpans() == want.controlSpans());
}

void CiteRecords(const DeviceTreeRow& row, std::set<std::size_t>& cited) {
    cited.insert(row.record);
    for (const DeviceTreeRow& child : row.children) {
        CiteRecords(child, cited);
    }
}

/// The end the model keeps for each control transfer a row of its devices cites is the one the
/// transfer list has, and it keeps no span the list does not have: a packet inside such a
/// transfer finds its row without the list.
void ExpectSpansOfTheList(const DeviceModel& model, const Transactions& tx,
                          const TransferList& items) {
    std::set<std::size_t> cited;
    for (const DeviceInfo& d : model.devices()) {
        CiteRecords(BuildDeviceRow(d, nullptr), cited);
    }
    std::map<std::size_t, std::size_t> control;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const TransferItem item = items[i];
        if (item.type == TransferType::Control) {
            control.emplace(FirstRecord(tx, item), LastRecord(tx, item));
        }
    }
    std::size_t found = 0;
    for (const auto& [first, last] : control) {
        if (cited.contains(first)) {
            ASSERT_EQ(model.controlTransferEnd(first), last) << "transfer at " << first;
            ++found;
        }
    }
    for (const ControlSpan& s : model.controlSpans()) {
        const auto in = control.find(s.first);
        ASSERT_TRUE(in != control.end() && in->second == s.last)
            << "span " << s.first << "-" << s.last;
    }
    // Some transfer delivered a descriptor, or nothing was checked.
    EXPECT_GT(found, 0u);
}

/// The described list, one pass after the other and with the assembly beside the device
/// pass: folded and not, the items of the list grouped with `want`'s descriptors in the same
/// order, and `want`'s devices, which `found` is given once.
void ExpectDescribedList(const capture::PacketList& packets, const Transactions& tx,
                         const DeviceModel& want) {
    for (const bool fold : {true, false}) {
        TransferOptions options;
        options.fold = fold;
        options.endpoints = want.lookup();
        const std::vector<TransferItem> items = AssembleTransfers(packets, tx, options);
        for (const unsigned threads : {1u, 2u}) {
            SCOPED_TRACE(std::string(fold ? "folded, " : "unfolded, ") + std::to_string(threads) +
                         " threads");
            int calls = 0;
            std::optional<DeviceModel> given;
            const DescribedTransferList described = AssembleDescribedTransferList(
                packets, tx, fold, nullptr, nullptr, threads, [&](const DeviceModel& found) {
                    ++calls;
                    given = found;
                });
            ASSERT_EQ(described.items.size(), items.size());
            for (std::size_t i = 0; i < items.size(); ++i) {
                ASSERT_EQ(described.items[i], items[i]) << "item " << i;
            }
            ExpectSameModel(described.devices, want, packets, 101);
            ASSERT_EQ(calls, 1);
            ExpectSameModel(*given, want, packets, 1009);
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
    // Windows of 509 records end inside enumerations; the helpers group them ahead.
    for (const std::size_t window : {std::size_t{509}, WindowGrouper::kWindowRecords}) {
        for (const unsigned threads : {1u, 2u}) {
            SCOPED_TRACE("windows of " + std::to_string(window) + " records, " +
                         std::to_string(threads) + " threads");
            ExpectSameModel(DeviceModel::FromControlTraffic(packets, threads, window), want,
                            packets);
        }
    }
    ExpectDescribedList(packets, tx, want);
    ExpectSpansOfTheList(DeviceModel::FromControlTraffic(packets, 2, 509), tx,
                         AssembleDescribedTransferList(packets, tx).items);
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
                 13},
        LoopCase{"VendorKeyboardFtdiMidi",
                 {Profile::Vendor, Profile::Keyboard, Profile::Ftdi, Profile::Midi},
                 true,
                 60'000,
                 12,
                 0},
        LoopCase{
            "SerialDfuGarbledRarely", {Profile::Serial, Profile::Dfu}, false, 50'000, 12, 401}),
    [](const auto& info) { return std::string(info.param.name); });

std::string ControlNoData(int address, const std::string& setup) {
    const std::string a = std::to_string(address) + ".0";
    return "SETUP " + a + ", DATA0 " + setup + ", ACK, IN " + a + ", DATA1, ACK, ";
}
std::string SetAddress(int n) {
    char text[17];
    std::snprintf(text, sizeof text, "0005%02X0000000000", n);
    return text;
}

// The pass skips other pipes' traffic where a device holds the address, and goes back over
// the whole capture where that traffic can still open a device (9.4.6: after SET_ADDRESS the
// old address is free). Each sequence must give the devices and spans of the whole list.
struct Sequence {
    const char* name;
    std::string bus;
};

void PrintTo(const Sequence& s, std::ostream* os) {
    *os << s.name;
}

class DevicePassSequence : public ::testing::TestWithParam<Sequence> {};

TEST_P(DevicePassSequence, FindsTheDevicesOfTheWholeTransferList) {
    const capture::PacketList packets = test::BusSequence(GetParam().bus);
    const Transactions tx = GroupTransactions(packets, 1);
    const DeviceModel want = DeviceModel::Build(packets, tx, AssembleTransfers(packets, tx));
    ASSERT_FALSE(want.devices().empty());
    {
        SCOPED_TRACE("over the index");
        ExpectSameModel(DeviceModel::FromControlTraffic(packets, tx), want, packets, 1);
    }
    {
        SCOPED_TRACE("a window at a time");
        ExpectSameModel(DeviceModel::FromControlTraffic(packets, 1u), want, packets, 1);
    }
    {
        // Windows of three records split transactions; a helper groups ahead.
        SCOPED_TRACE("windows of three records");
        ExpectSameModel(DeviceModel::FromControlTraffic(packets, 2u, 3), want, packets, 1);
    }
    // Where the filter cannot judge, the assembly beside the pass gives way to the serial
    // path.
    ExpectDescribedList(packets, tx, want);
}

// Interrupt data at 3.1 of one, two or three bytes: the largest is three, so a shorter packet
// ends its transfer and a three-byte one leaves it open.
INSTANTIATE_TEST_SUITE_P(
    Bus, DevicePassSequence,
    ::testing::Values(
        // A short packet before the move ended the transfer: the next one at 3 is another
        // device's.
        Sequence{"ShortPacketBeforeTheMove", "IN 3.1, DATA0 010203, ACK, IN 3.1, DATA1 01, ACK, " +
                                                 ControlNoData(3, SetAddress(7)) +
                                                 "IN 3.1, DATA0 010203, ACK, " +
                                                 "IN 7.1, DATA1 01, ACK"},
        // A new transfer at the old address is another device's.
        Sequence{"NewTransferAtTheOldAddress", "IN 3.1, DATA0 01, ACK, IN 3.1, DATA1 01, ACK, " +
                                                   ControlNoData(3, SetAddress(7)) +
                                                   "IN 3.1, DATA0 01, ACK, " +
                                                   "IN 7.1, DATA1 01, ACK"},
        // A retransmission (the toggle repeated, 8.6.4) joins the transfer before the move.
        Sequence{"RetransmissionAfterTheMove", "IN 3.1, DATA0 01, ACK, IN 3.1, DATA1 01, ACK, " +
                                                   ControlNoData(3, SetAddress(7)) +
                                                   "IN 3.1, DATA1 01, ACK, " +
                                                   "IN 3.1, DATA0 010203, ACK"},
        // Polled while its SET_ADDRESS waits for the status stage: the poll's transfer opens
        // after the request's, so once the device moved, it opens another device at 3.
        Sequence{"PolledWhileSetAddressWaits",
                 "IN 3.1, DATA0 010203, ACK, IN 3.1, DATA1 01, ACK, SETUP 3.0, DATA0 " +
                     SetAddress(7) + ", ACK, IN 3.1, DATA0 01, ACK, IN 3.0, DATA1, ACK, " +
                     "IN 7.1, NAK"},
        // A SET_ADDRESS to its own address moves nothing.
        Sequence{"SetAddressToItself", "IN 3.1, DATA0 01, ACK, IN 3.1, DATA1 01, ACK, " +
                                           ControlNoData(3, SetAddress(3)) +
                                           "IN 3.1, DATA0 01, ACK"},
        // One NAK at the old address, then a transfer it folds into.
        Sequence{"LoneNakAtTheOldAddress",
                 "IN 3.1, DATA0 01, ACK, IN 3.1, NAK, IN 3.1, DATA1 01, ACK, " +
                     ControlNoData(3, SetAddress(7)) + "IN 3.1, NAK, IN 3.1, DATA0 01, ACK"},
        // Endpoint 2 carries bulk data, then a SETUP makes it a control endpoint; the
        // device then moves and its old address's endpoint 2 talks again.
        Sequence{"ControlOnASecondEndpoint",
                 std::string("OUT 3.2, DATA0 0102, ACK, OUT 3.2, DATA1 0102, ACK, IN 3.2, NAK, ") +
                     "SETUP 3.2, DATA0 8006000100001200, ACK, IN 3.2, NAK, IN 3.2, DATA1 " +
                     "120110010000000834124678000101020001, ACK, OUT 3.2, DATA1, ACK, " +
                     ControlNoData(3, SetAddress(7)) + "IN 3.2, NAK, IN 3.2, DATA1 01, ACK"},
        // The longest packet at 3.1 is corrupt (8.6.3: discarded), so the largest is three
        // bytes: the transfer is still open at the move and the packet after it continues
        // the moved device's transfer.
        Sequence{"CorruptLongestPacket", "IN 3.1, DATA1! 0102030405, IN 3.1, DATA0 010203, ACK, " +
                                             ControlNoData(3, SetAddress(7)) +
                                             "IN 3.1, DATA1 010203, ACK"},
        // A SETUP on endpoint 2 whose data stage is corrupt (8.6.3: its receiver discards
        // it): no device descriptor is delivered, though the bus shows one.
        Sequence{"CorruptDataOnASecondControlEndpoint",
                 std::string("SETUP 3.2, DATA0 8006000100001200, ACK, IN 3.2, DATA1! ") +
                     "120110010000000834124678000101020001, ACK, OUT 3.2, DATA1, ACK, " +
                     ControlNoData(3, SetAddress(7)) + "IN 3.2, NAK"},
        // A garbled token between: it ends every folded run of NAKs.
        Sequence{"GarbledTokenBetween", "IN 3.1, NAK, IN 3.1, NAK, IN! 3.1, NAK, IN 3.1, NAK, " +
                                            ControlNoData(3, SetAddress(7)) +
                                            "IN 3.1, NAK, IN 3.1, NAK"},
        // A device moves from 0 while another at 4 is polled; a third enumerates at 0.
        Sequence{"EnumerationBesideTraffic",
                 "IN 4.1, DATA0 01, ACK, " + ControlNoData(0, SetAddress(5)) +
                     "IN 4.1, DATA1 01, ACK, IN 5.1, DATA0 01, ACK, " +
                     ControlNoData(0, SetAddress(4)) + "IN 4.1, DATA0 01, ACK, IN 4.1, NAK"}),
    [](const auto& info) { return std::string(info.param.name); });

// The assembly beside the pass goes on with what a device holding its address describes so
// far. Here the device's configuration descriptor (9.4.3) comes only after thousands of its
// interrupt transactions, and makes endpoint 1 IN bulk with packets of up to 64 bytes: the
// guess that it describes nothing was wrong, and the list must be that of the finished model.
TEST(DevicePassGuess, ADeviceDescribedLateGivesTheFinishedModelsList) {
    std::string bus = ControlNoData(0, SetAddress(5));
    for (int i = 0; i < 6'000; ++i) {
        bus +=
            "IN 5.1, DATA" + std::to_string(i % 2) + (i % 3 == 0 ? " 01, " : " 0102, ") + "ACK, ";
        if (i % 1'000 == 999) {
            bus += ControlNoData(5, "4001000000000000"); // a vendor request: the pass reads it
        }
    }
    // Configuration, interface (vendor class), endpoint 0x81 bulk, wMaxPacketSize 64.
    bus += "SETUP 5.0, DATA0 8006000200001900, ACK, IN 5.0, DATA1 "
           "09021900010100803209040000"
           "01FF0000000705810240000000, ACK, OUT 5.0, DATA1, ACK, "
           "IN 5.1, DATA0 0102, ACK";
    const capture::PacketList packets = test::BusSequence(bus);
    const Transactions tx = GroupTransactions(packets, 1);
    const DeviceModel want = DeviceModel::Build(packets, tx, AssembleTransfers(packets, tx));
    ASSERT_EQ(want.devices().size(), 1u);
    ASSERT_EQ(want.endpoint(5, 1, Direction::In, 0).description->type, TransferType::Bulk);
    ExpectDescribedList(packets, tx, want);
    // The devices are handed over before they answer the assembly: held there, the pass has
    // published its stretches and the assembly has gone on with its guess meanwhile.
    TransferOptions options;
    options.endpoints = want.lookup();
    const std::vector<TransferItem> items = AssembleTransfers(packets, tx, options);
    const DescribedTransferList described =
        AssembleDescribedTransferList(packets, tx, true, nullptr, nullptr, 2, [](const auto&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        });
    ASSERT_EQ(described.items.size(), items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        ASSERT_EQ(described.items[i], items[i]) << "item " << i;
    }
}

/// Transfers at four addresses in random order: descriptor requests and SET_ADDRESS on
/// endpoints 0 and 2, interrupt data of random lengths on 1 and 2, SOFs; now and then a data
/// packet with a bad CRC16 (answered or not).
capture::PacketList RandomTransfers(int transfers, std::uint32_t seed) {
    std::mt19937 random(seed);
    const auto pick = [&random](unsigned n) { return static_cast<unsigned>(random() % n); };
    const auto data = [&](int toggle, const std::string& hex) {
        return "DATA" + std::to_string(toggle) + (pick(8) == 0 ? "! " : " ") + hex + ", ";
    };
    std::string bus;
    for (int i = 0; i < transfers; ++i) {
        const std::string a = std::to_string(pick(4));
        switch (pick(4)) {
        case 0: {
            const std::string pipe = a + (pick(3) == 0 ? ".2" : ".0");
            const bool setAddress = pick(3) == 0;
            bus += "SETUP " + pipe + ", " +
                   data(0, setAddress ? SetAddress(static_cast<int>(pick(4)))
                                      : std::string("8006000100001200")) +
                   "ACK, ";
            if (!setAddress) {
                bus += "IN " + pipe + ", " +
                       data(1, "12011001000000083412" + std::to_string(4670 + pick(3)) +
                                   "000101020001") +
                       "ACK, OUT " + pipe + ", DATA1, ACK, ";
            } else {
                bus += "IN " + pipe + ", DATA1, ACK, ";
            }
            break;
        }
        case 1:
        case 2: {
            std::string payload;
            for (unsigned n = pick(5); n > 0; --n) {
                payload += "0" + std::to_string(pick(10));
            }
            bus += "IN " + a + "." + std::to_string(1 + pick(2)) + ", " +
                   (pick(4) == 0 ? std::string("NAK, ")
                                 : data(static_cast<int>(pick(2)), payload) + "ACK, ");
            break;
        }
        default:
            bus += "SOF " + std::to_string(i % 2048) + ", ";
            break;
        }
    }
    return test::BusSequence(bus);
}

// Random buses with bad CRCs on every endpoint: the windowed pass checks the data of
// endpoints other than 0 only where it reads them, and finds the model of the whole list.
TEST(DevicePassRandom, FindsTheDevicesOfTheWholeTransferList) {
    for (const std::uint32_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        const capture::PacketList packets =
            seed % 2 == 0 ? test::RandomBus(60'000, seed) : RandomTransfers(3'000, seed);
        const Transactions tx = GroupTransactions(packets, 1);
        const DeviceModel want = DeviceModel::Build(packets, tx, AssembleTransfers(packets, tx));
        ASSERT_FALSE(want.devices().empty());
        ExpectSpansOfTheList(DeviceModel::FromControlTraffic(packets, 2, 61), tx,
                             AssembleDescribedTransferList(packets, tx).items);
        ExpectDescribedList(packets, tx, want);
        for (const std::size_t window : {std::size_t{61}, WindowGrouper::kWindowRecords}) {
            for (const unsigned threads : {1u, 2u}) {
                SCOPED_TRACE("seed " + std::to_string(seed) + ", windows of " +
                             std::to_string(window) + " records, " + std::to_string(threads) +
                             " threads");
                ExpectSameModel(DeviceModel::FromControlTraffic(packets, threads, window), want,
                                packets, 101);
            }
        }
    }
}

// The windowed pass judges a short packet by the largest payloads grouped so far; here the
// pipe's largest comes two windows later, and with it the first transfer at 3 ends at its
// one-byte packet, so the transfer after the move is another device's.
TEST(DevicePassWindows, JudgesByTheLargestPayloadsOfTheWholeCapture) {
    std::string bus =
        "IN 3.1, DATA0 01, ACK, " + ControlNoData(3, SetAddress(7)) + "IN 3.1, DATA1 01, ACK, ";
    for (int frame = 0; frame < 140'000; ++frame) {
        bus += "SOF " + std::to_string(frame % 2048) + ", ";
    }
    bus += "IN 3.1, DATA0 010203, ACK";
    const capture::PacketList packets = test::BusSequence(bus);
    const Transactions tx = GroupTransactions(packets, 1);
    const DeviceModel want = DeviceModel::Build(packets, tx, AssembleTransfers(packets, tx));
    ASSERT_EQ(want.devices().size(), 2u); // the one moved to 7, and the next at 3
    for (const unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        ExpectSameModel(DeviceModel::FromControlTraffic(packets, threads), want, packets, 997);
    }
}

} // namespace
} // namespace vintrace::protocol
