// The emulated devices (--device): what they put on the bus within one recording, checked
// packet by packet against their own descriptors.

#include "AnalyzerBox.h"
#include "BusModel.h"
#include "support/RecordingChecks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace vintrace::emulator {
namespace {

using Packet = std::vector<std::uint8_t>;
using test::CountPid;
using test::ExpectCorrectToggles;
using test::ExpectWellFormedBus;

constexpr std::uint8_t kSetup = 0x2D, kIn = 0x69, kOut = 0xE1, kPre = 0x3C, kAck = 0xD2,
                       kStall = 0x1E, kData0 = 0xC3, kData1 = 0x4B;

// What one acquisition with the default recording memory holds, armed with trigger 15.
std::vector<Packet> Record(BoxSettings box) {
    box.fillSeconds = 0;
    AnalyzerBox analyzer(box);
    const auto now = AnalyzerBox::Clock::now();
    analyzer.Command(0, {1}, now);
    std::vector<Packet> packets = test::Packets(analyzer.Transfer(box.memoryBytes, now));
    if (!packets.empty()) {
        packets.pop_back(); // the memory may end inside the last packet
    }
    return packets;
}

int Address(const Packet& token) {
    return token[1] & 0x7F;
}

int Endpoint(const Packet& token) {
    return (token[1] >> 7 | token[2] << 1) & 0x0F;
}

bool IsToken(const Packet& p) {
    return p.size() == 3 && (p[0] == kSetup || p[0] == kIn || p[0] == kOut);
}

// One transaction: its token, and the data packet and handshake that followed it (preambles
// skipped), or nothing.
struct Transaction {
    std::size_t index = 0;
    bool preamble = false; // a PRE went before the token
    Packet token;
    Packet data;
    std::uint8_t handshake = 0;
};

std::vector<Transaction> Transactions(const std::vector<Packet>& packets) {
    std::vector<Transaction> out;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        if (!IsToken(packets[i])) {
            continue;
        }
        Transaction t;
        t.index = i;
        t.preamble = i > 0 && packets[i - 1][0] == kPre;
        t.token = packets[i];
        std::size_t j = i + 1;
        for (; j < packets.size() && j <= i + 4; ++j) {
            const std::uint8_t pid = packets[j][0];
            if (pid == kPre) {
                continue;
            }
            if (pid == kData0 || pid == kData1) {
                t.data = packets[j];
            } else if (pid == kAck || pid == 0x5A || pid == kStall) {
                t.handshake = pid;
                break;
            } else {
                break;
            }
        }
        out.push_back(std::move(t));
    }
    return out;
}

// The payload of a data packet, without PID and CRC.
Packet Payload(const Packet& data) {
    return data.size() < 3 ? Packet{} : Packet(data.begin() + 1, data.end() - 2);
}

// wMaxPacketSize of every endpoint of a profile (key: endpoint number | 0x10 for IN), and
// of endpoint 0.
std::map<int, int> EndpointSizes(const ClassDescriptors& c) {
    std::map<int, int> sizes{{0x00, c.device[7]}, {0x10, c.device[7]}};
    for (std::size_t i = 0; i + 1 < c.configuration.size(); i += c.configuration[i]) {
        if (c.configuration[i] == 0) {
            break;
        }
        if (c.configuration[i + 1] == 0x05) {
            const std::uint8_t address = c.configuration[i + 2];
            sizes[(address & 0x0F) | (address & 0x80 ? 0x10 : 0)] =
                c.configuration[i + 4] | c.configuration[i + 5] << 8;
        }
    }
    return sizes;
}

struct ProfileCase {
    const char* name;
    std::vector<Profile> profiles;
    bool fullSpeed = true;
};

void PrintTo(const ProfileCase& c, std::ostream* os) {
    *os << c.name;
}

class ProfileRecording : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(ProfileRecording, EnumeratesEveryDeviceAndCarriesItsClassTraffic) {
    const ProfileCase& c = GetParam();
    BoxSettings box;
    box.seed = 5;
    box.busFullSpeed = c.fullSpeed;
    box.profiles = c.profiles;
    const std::vector<Packet> packets = Record(box);
    ExpectWellFormedBus(packets);
    ExpectCorrectToggles(packets, true);
    EXPECT_EQ(CountPid(packets, 0xA5) > 0, c.fullSpeed);

    const std::vector<Transaction> all = Transactions(packets);
    for (std::size_t n = 0; n < c.profiles.size(); ++n) {
        SCOPED_TRACE(std::string(ProfileName(c.profiles[n])));
        const int address = static_cast<int>(n + 1);
        const ClassDescriptors descriptors = DescriptorsOf(c.profiles[n]);
        const std::map<int, int> sizes = EndpointSizes(descriptors);
        const bool slow = IsLowSpeedProfile(c.profiles[n]);
        std::size_t configuredAt = 0;
        std::map<int, int> dataPackets; // ACKed data by endpoint | 0x10 for IN
        std::map<int, Packet> received; // the bytes each endpoint delivered
        // Serial answers: bulk IN packet sizes since the last command sent on bulk OUT.
        std::vector<std::size_t> answer;
        int answers = 0;
        int dfuBlocks = 0;
        int dfuImages = 0;
        std::string ftdiText; // the FTDI chip's data without the status headers
        int ftdiStatusOnly = 0;
        std::map<int, int> noteOns; // MIDI Note On events by endpoint key
        for (const Transaction& t : all) {
            if (Address(t.token) != address) {
                continue;
            }
            // Host packets to a low-speed device behind the hub go after a preamble.
            EXPECT_EQ(t.preamble, slow && c.fullSpeed) << "packet " << t.index;
            const int key = Endpoint(t.token) | (t.token[0] == kIn ? 0x10 : 0);
            const Packet payload = Payload(t.data);
            if (!t.data.empty()) {
                ASSERT_TRUE(sizes.count(key)) << "endpoint 0x" << std::hex << key;
                EXPECT_LE(payload.size(), static_cast<std::size_t>(sizes.at(key)))
                    << "packet " << t.index;
            }
            if (t.token[0] == kSetup && payload == Packet{0x00, 0x09, 0x01, 0, 0, 0, 0, 0}) {
                configuredAt = t.index;
            }
            if (t.token[0] == kSetup && t.handshake == kAck && payload.size() == 8 &&
                payload[0] == 0x21 && payload[1] == 0x01 &&
                (payload[6] | payload[7]) != 0) { // DFU_DNLOAD
                ++dfuBlocks;
                dfuImages += payload[2] == 0 && payload[3] == 0 ? 1 : 0;
            }
            if (c.profiles[n] == Profile::Serial && t.handshake == kAck && !t.data.empty() &&
                (key == 0x02 || key == 0x11)) {
                if (key == 0x02 && !answer.empty()) {
                    // The answer ended with a short (maybe zero-length) packet.
                    EXPECT_LT(answer.back(), 64u) << "packet " << t.index;
                    answer.clear();
                    ++answers;
                } else if (key == 0x11) {
                    answer.push_back(payload.size());
                }
            }
            if (c.profiles[n] == Profile::Ftdi && t.handshake == kAck && key == 0x11) {
                ASSERT_GE(payload.size(), 2u) << "packet " << t.index;
                EXPECT_EQ(payload[0], 0x31); // CTS, DSR
                EXPECT_EQ(payload[1], 0x60); // transmitter empty
                ftdiText.append(payload.begin() + 2, payload.end());
                ftdiStatusOnly += payload.size() == 2 ? 1 : 0;
            }
            if (c.profiles[n] == Profile::Midi && t.handshake == kAck && !t.data.empty() &&
                Endpoint(t.token) == 1) {
                // Whole 4-byte event packets on cable 0 (USB MIDI 1.0 4).
                ASSERT_EQ(payload.size() % 4, 0u) << "packet " << t.index;
                for (std::size_t i = 0; i < payload.size(); i += 4) {
                    EXPECT_EQ(payload[i] >> 4, 0) << "packet " << t.index;
                    noteOns[key] += payload[i] == 0x09 && (payload[i + 1] & 0xF0) == 0x90;
                }
            }
            if (t.handshake == kAck && !t.data.empty() && Endpoint(t.token) != 0) {
                ++dataPackets[key];
                received[key].insert(received[key].end(), payload.begin(), payload.end());
            }
        }
        // Enumerated promptly, so the recording is mostly class traffic.
        ASSERT_GT(configuredAt, 0u) << "never configured";
        EXPECT_LT(configuredAt, packets.size() / 8);
        switch (c.profiles[n]) {
        case Profile::Mouse:
            EXPECT_GT(dataPackets[0x11], 20); // reports of moves and clicks
            break;
        case Profile::Keyboard: {
            EXPECT_GT(dataPackets[0x11], 20);
            // Every report presses one key (with shift for capitals) or releases them all.
            const Packet& bytes = received[0x11];
            ASSERT_EQ(bytes.size() % 8, 0u);
            int presses = 0;
            for (std::size_t i = 0; i < bytes.size(); i += 8) {
                EXPECT_TRUE(bytes[i] == 0 || bytes[i] == 0x02);
                EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(i + 3),
                                        bytes.begin() + static_cast<std::ptrdiff_t>(i + 8),
                                        [](std::uint8_t b) { return b == 0; }));
                presses += bytes[i + 2] != 0 ? 1 : 0;
                if (bytes[i + 2] == 0) {
                    EXPECT_EQ(bytes[i], 0);
                }
            }
            // The recording may end between a press and its release.
            EXPECT_NEAR(presses * 2, static_cast<int>(bytes.size() / 8), 1);
            break;
        }
        case Profile::Serial: {
            EXPECT_GT(dataPackets[0x02], 20);
            EXPECT_GT(dataPackets[0x11], 20);
            EXPECT_GT(dataPackets[0x13], 0); // SERIAL_STATE notifications
            EXPECT_GT(answers, 20);
            for (const int key : {0x02, 0x11}) {
                for (const std::uint8_t b : received[key]) {
                    EXPECT_TRUE((b >= 0x20 && b < 0x7F) || b == '\r' || b == '\n') << int{b};
                }
            }
            break;
        }
        case Profile::Disk: {
            // Command wrappers on bulk OUT, each answered by a status wrapper on bulk IN.
            const Packet& out = received[0x02];
            int commands = 0;
            for (std::size_t i = 0; i + 4 <= out.size(); ++i) {
                commands +=
                    out[i] == 'U' && out[i + 1] == 'S' && out[i + 2] == 'B' && out[i + 3] == 'C'
                        ? 1
                        : 0;
            }
            EXPECT_GT(commands, 20);
            break;
        }
        case Profile::Dfu:
            // Firmware images go down in numbered blocks (DFU 1.1 7.1): block 0 opens each.
            EXPECT_GT(dfuBlocks, 10);
            EXPECT_GT(dfuImages, 2);
            break;
        case Profile::Ftdi: {
            // Every IN packet, data or not, opens with the status header; what follows is
            // the device's sentence over and over, as the host's is on bulk OUT.
            EXPECT_GT(dataPackets[0x11], 20);
            EXPECT_GT(ftdiStatusOnly, 0);
            ASSERT_GT(ftdiText.size(), 10 * kFtdiDeviceText.size());
            ASSERT_GT(received[0x02].size(), 10 * kFtdiHostText.size());
            for (std::size_t i = 0; i < ftdiText.size(); ++i) {
                ASSERT_EQ(ftdiText[i], kFtdiDeviceText[i % kFtdiDeviceText.size()]) << i;
            }
            for (std::size_t i = 0; i < received[0x02].size(); ++i) {
                ASSERT_EQ(received[0x02][i], kFtdiHostText[i % kFtdiHostText.size()]) << i;
            }
            break;
        }
        case Profile::Midi:
            // Notes both ways: the host's on bulk OUT 1, the instrument's on bulk IN 1.
            EXPECT_GT(noteOns[0x01], 10);
            EXPECT_GT(noteOns[0x11], 10);
            break;
        case Profile::Vendor:
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Emulator, ProfileRecording,
    ::testing::Values(
        ProfileCase{"Mouse", {Profile::Mouse}, false},
        ProfileCase{"MouseBehindHub", {Profile::Mouse}, true},
        ProfileCase{"Keyboard", {Profile::Keyboard}, false},
        ProfileCase{"KeyboardBehindHub", {Profile::Keyboard}, true},
        ProfileCase{"Serial", {Profile::Serial}, true}, ProfileCase{"Disk", {Profile::Disk}, true},
        ProfileCase{"Dfu", {Profile::Dfu}, true}, ProfileCase{"Ftdi", {Profile::Ftdi}, true},
        ProfileCase{"Midi", {Profile::Midi}, true},
        ProfileCase{"MouseAndKeyboardOnALowSpeedBus", {Profile::Mouse, Profile::Keyboard}, false},
        ProfileCase{"FourDevices",
                    {Profile::Keyboard, Profile::Disk, Profile::Mouse, Profile::Serial},
                    true}),
    [](const auto& info) { return std::string(info.param.name); });

// Packets come in time order: no frame overruns into the next one.
TEST(EmulatorProfiles, FramesHoldTheirTraffic) {
    for (const bool fullSpeed : {true, false}) {
        BusModel bus(
            {.seed = 9,
             .fullSpeed = fullSpeed,
             .profiles = {Profile::Keyboard, Profile::Disk, Profile::Mouse, Profile::Serial}});
        double last = -1;
        for (int i = 0; i < 200000; ++i) {
            const BusPacket p = bus.Next();
            ASSERT_GE(p.timeUs, last) << "packet " << i;
            last = p.timeUs;
        }
    }
}

TEST(EmulatorProfiles, DescriptorsAreSelfConsistent) {
    for (const Profile p : {Profile::Mouse, Profile::Keyboard, Profile::Serial, Profile::Disk,
                            Profile::Dfu, Profile::Ftdi, Profile::Midi}) {
        SCOPED_TRACE(std::string(ProfileName(p)));
        const ClassDescriptors c = DescriptorsOf(p);
        ASSERT_EQ(c.device.size(), 18u);
        EXPECT_EQ(c.device[0], 18);
        EXPECT_EQ(c.device[1], 0x01);
        // pid.codes, but for the FTDI chip, which is known by its maker's IDs.
        EXPECT_EQ(c.device[8] | c.device[9] << 8, p == Profile::Ftdi ? 0x0403 : 0x1209);
        // Each string index the device descriptor names is there, and a string descriptor.
        for (const int field : {14, 15, 16}) {
            ASSERT_LT(c.device[field], c.strings.size());
        }
        for (const Packet& s : c.strings) {
            EXPECT_EQ(s.size(), s[0]);
            EXPECT_EQ(s[1], 0x03);
        }
        const Packet& d = c.configuration;
        ASSERT_GE(d.size(), 9u);
        EXPECT_EQ(static_cast<std::size_t>(d[2] | d[3] << 8), d.size()); // wTotalLength
        int interfaces = 0;
        int endpointsDeclared = 0;
        int endpointsFound = 0;
        std::size_t i = 0;
        for (; i + 1 < d.size(); i += d[i]) {
            ASSERT_GE(d[i], 2) << "descriptor at " << i;
            switch (d[i + 1]) {
            case 0x04:
                EXPECT_EQ(endpointsFound, endpointsDeclared) << "before interface at " << i;
                ++interfaces;
                endpointsDeclared = d[i + 4];
                endpointsFound = 0;
                break;
            case 0x05:
                ++endpointsFound;
                break;
            case 0x24:
                // USB MIDI 1.0 6.1.2.1: the MS header's wTotalLength covers the class-specific
                // descriptors of its interface, the last one here, endpoints' included.
                if (p == Profile::Midi && d[i + 2] == 0x01 && d[i] == 7) {
                    EXPECT_EQ(static_cast<std::size_t>(d[i + 5] | d[i + 6] << 8), d.size() - i);
                }
                break;
            case 0x21:
                if (p == Profile::Dfu) { // DFU functional (DFU 1.1 4.1.3): wTransferSize
                    EXPECT_EQ(d[i], 9);
                    EXPECT_EQ(d[i + 5] | d[i + 6] << 8, 256);
                } else { // HID: the report descriptor's length
                    EXPECT_EQ(static_cast<std::size_t>(d[i + 7] | d[i + 8] << 8), c.report.size());
                }
                break;
            default:
                break;
            }
        }
        EXPECT_EQ(i, d.size()); // the lengths add up to the total
        EXPECT_EQ(endpointsFound, endpointsDeclared);
        EXPECT_EQ(interfaces, d[4]); // bNumInterfaces
        EXPECT_EQ(!c.report.empty(), p == Profile::Mouse || p == Profile::Keyboard);
    }
}

// The disk's one failed command: a read past the end halts bulk IN; the host clears the
// halt, reads the failed status and asks for the sense data.
TEST(EmulatorProfiles, DiskRecoversFromAHaltedReadAndAsksWhy) {
    BoxSettings box;
    box.profiles = {Profile::Disk};
    const std::vector<Transaction> all = Transactions(Record(box));
    const auto stall = std::find_if(all.begin(), all.end(), [](const Transaction& t) {
        return t.token[0] == kIn && Endpoint(t.token) == 1 && t.handshake == kStall;
    });
    ASSERT_NE(stall, all.end());
    auto next =
        std::find_if(stall, all.end(), [](const Transaction& t) { return t.token[0] == kSetup; });
    ASSERT_NE(next, all.end());
    EXPECT_EQ(Payload(next->data), (Packet{0x02, 0x01, 0x00, 0x00, 0x81, 0x00, 0x00, 0x00}));
    std::vector<Packet> in; // what bulk IN delivered after the halt, transaction by transaction
    std::vector<Packet> out;
    for (auto t = next; t != all.end() && in.size() < 3; ++t) {
        if (Endpoint(t->token) == 0 || t->handshake != kAck) {
            continue;
        }
        (t->token[0] == kIn ? in : out).push_back(Payload(t->data));
    }
    ASSERT_EQ(in.size(), 3u);
    // The status wrapper: status 1 (failed), the whole 512 bytes not transferred.
    ASSERT_EQ(in[0].size(), 13u);
    EXPECT_EQ(in[0][12], 1);
    EXPECT_EQ(in[0][8] | in[0][9] << 8, 512);
    ASSERT_GE(out.size(), 1u);
    ASSERT_EQ(out[0].size(), 31u);
    EXPECT_EQ(out[0][15], 0x03); // REQUEST SENSE
    EXPECT_EQ(in[1].size(), 18u);
    EXPECT_EQ(in[1][2], 0x05);  // ILLEGAL REQUEST
    EXPECT_EQ(in[1][12], 0x21); // logical block address out of range
    // Only that command fails.
    int failed = 0;
    for (const Transaction& t : all) {
        const Packet p = Payload(t.data);
        failed +=
            t.token[0] == kIn && p.size() == 13 && p[0] == 'U' && p[3] == 'S' && p[12] != 0 ? 1 : 0;
    }
    EXPECT_EQ(failed, 1);
}

// A low-speed bus carries no full-speed device; when nothing else is asked for, the vendor
// device stands in.
TEST(EmulatorProfiles, LowSpeedBusLeavesFullSpeedDevicesOff) {
    struct Case {
        std::vector<Profile> profiles;
        std::uint8_t product;
    };
    for (const Case& c :
         {Case{{Profile::Serial, Profile::Mouse}, 0x03}, Case{{Profile::Disk}, 0x01}}) {
        BoxSettings box;
        box.busFullSpeed = false;
        box.profiles = c.profiles;
        const std::vector<Transaction> all = Transactions(Record(box));
        std::set<int> addresses;
        Packet device;
        for (const Transaction& t : all) {
            addresses.insert(Address(t.token));
            if (device.empty() && t.token[0] == kIn && Payload(t.data).size() == 8 &&
                Payload(t.data)[1] == 0x01) {
                device = Payload(t.data); // the first 8 bytes of the device descriptor
            }
        }
        EXPECT_EQ(addresses, (std::set<int>{0, 1}));
        ASSERT_EQ(device.size(), 8u);
        // The rest of the descriptor follows in the next packet: idProduct is byte 10.
        const auto next = std::find_if(all.begin(), all.end(), [](const Transaction& t) {
            return t.token[0] == kIn && Payload(t.data).size() == 8 && Payload(t.data)[0] == 0x09 &&
                   Payload(t.data)[1] == 0x12;
        });
        ASSERT_NE(next, all.end());
        EXPECT_EQ(Payload(next->data)[2], c.product);
    }
}

// Recordings without --device stay what they were for the same seed: the first download of
// each, hashed (FNV-1a), as the emulator made it before devices could be chosen.
TEST(EmulatorProfiles, RecordingsWithoutDevicesStayAsTheyWere) {
    struct Case {
        std::uint64_t seed;
        bool fullSpeed;
        bool hub;
        std::vector<Profile> profiles;
        std::uint64_t hash;
    };
    const Case cases[] = {
        {1, true, false, {}, 0x8cc7e16974b805c8ull},
        {42, true, false, {}, 0xbf664f879603064dull},
        {7, false, false, {}, 0x5d1a819c711fc888ull},
        {3, true, true, {}, 0x3862c91d447d4c6aull},
        {1, true, false, {Profile::Vendor}, 0x8cc7e16974b805c8ull}, // asked for by name
    };
    for (const Case& c : cases) {
        BoxSettings box;
        box.seed = c.seed;
        box.busFullSpeed = c.fullSpeed;
        box.lowSpeedDeviceBehindHub = c.hub;
        box.profiles = c.profiles;
        box.fillSeconds = 0;
        AnalyzerBox analyzer(box);
        const auto now = AnalyzerBox::Clock::now();
        analyzer.Command(0, {1}, now);
        const std::vector<std::uint8_t> bytes = analyzer.Transfer(box.memoryBytes, now);
        ASSERT_EQ(bytes.size(), 263680u);
        std::uint64_t h = 1469598103934665603ull;
        for (const std::uint8_t b : bytes) {
            h = (h ^ b) * 1099511628211ull;
        }
        EXPECT_EQ(h, c.hash) << "seed " << c.seed;
    }
}

} // namespace
} // namespace vintrace::emulator
