// The emulator's faults against the checker: each fault gives exactly the finding it is
// named after, at the transaction where the bus model committed it; without faults, every
// device profile gives no warning and no error.
#include "BusModel.h"
#include "capture/CaptureDecoder.h"
#include "protocol/Diagnostics.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

using emulator::BusModel;
using emulator::BusSettings;
using emulator::Fault;
using emulator::Profile;

constexpr std::size_t kPackets = 20000;

struct Recording {
    capture::PacketList packets;
    std::vector<emulator::Injection> injections;
};

/// The first kPackets packets of the bus, as the analyzer records them.
Recording Record(const BusSettings& settings) {
    BusModel bus(settings);
    std::vector<std::uint8_t> units;
    for (std::size_t i = 0; i < kPackets; ++i) {
        const emulator::BusPacket p = bus.Next();
        for (std::size_t k = 0; k < p.bytes.size(); ++k) {
            units.push_back(k == 0 ? 0x01 : 0x00);
            units.push_back(p.bytes[k]);
        }
    }
    Recording r;
    capture::ParseCaptureFile(units, r.packets);
    r.injections = bus.Injections();
    return r;
}

/// The findings that are warnings or errors, one per line.
std::vector<Finding> Faults(const std::vector<Finding>& all) {
    std::vector<Finding> out;
    for (const Finding& f : all) {
        if (f.severity != Severity::Info) {
            out.push_back(f);
        }
    }
    return out;
}

std::string Lines(const std::vector<Finding>& findings) {
    std::ostringstream s;
    for (const Finding& f : findings) {
        s << f << "\n";
    }
    return s.str();
}

struct FaultCase {
    const char* name;
    Fault fault;
    const char* rule;
    std::vector<Profile> profiles{};
    bool fullSpeed = true;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class EmulatorFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(EmulatorFault, GivesItsFindingWhereItWasCommitted) {
    const FaultCase& c = GetParam();
    BusSettings settings;
    settings.seed = 11;
    settings.fullSpeed = c.fullSpeed;
    settings.profiles = c.profiles;
    settings.faults = {c.fault};
    ASSERT_EQ(emulator::FaultImpossible(c.fault, settings), "");
    const Recording r = Record(settings);
    ASSERT_EQ(r.injections.size(), 1u);
    EXPECT_EQ(r.injections[0].fault, c.fault);
    const std::vector<Finding> found = Faults(DiagnoseCapture(r.packets));
    ASSERT_EQ(found.size(), 1u) << Lines(found);
    EXPECT_EQ(found[0].rule, c.rule) << Lines(found);
    EXPECT_LE(found[0].first, r.injections[0].packet) << Lines(found);
    EXPECT_GE(found[0].last, r.injections[0].packet) << Lines(found);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, EmulatorFault,
    ::testing::Values(
        FaultCase{"Toggle", Fault::Toggle, "toggle-error"},
        FaultCase{"ToggleMouse", Fault::Toggle, "toggle-error", {Profile::Mouse}, false},
        FaultCase{"NoAck", Fault::NoAck, "no-handshake"},
        FaultCase{"NakSetup", Fault::NakSetup, "setup-not-acked"},
        FaultCase{"NakSetupSerial", Fault::NakSetup, "setup-not-acked", {Profile::Serial}},
        FaultCase{"Babble", Fault::Babble, "babble"},
        FaultCase{"BabbleKeyboardBehindHub", Fault::Babble, "babble", {Profile::Keyboard}},
        FaultCase{"Overrun", Fault::Overrun, "control-overrun"},
        // 8-byte packets: the packet that reaches wLength and those past it, one finding.
        FaultCase{"OverrunLowSpeed", Fault::Overrun, "control-overrun", {Profile::Mouse}, false},
        FaultCase{"NoZlp", Fault::NoZlp, "zlp-missing"},
        FaultCase{"NoZlpLowSpeed", Fault::NoZlp, "zlp-missing", {Profile::Keyboard}, false},
        FaultCase{"NoStatus", Fault::NoStatus, "control-no-status"},
        FaultCase{"NoStatusDisk", Fault::NoStatus, "control-no-status", {Profile::Disk}},
        FaultCase{"BadDescriptor", Fault::BadDescriptor, "descriptor-invalid"},
        FaultCase{
            "BadDescriptorSerial", Fault::BadDescriptor, "descriptor-invalid", {Profile::Serial}},
        FaultCase{"StallGetDescriptor", Fault::StallGetDescriptor, "stall-standard"},
        FaultCase{"BadCsw", Fault::BadCsw, "bot-csw-invalid", {Profile::Disk}},
        FaultCase{"SofGap", Fault::SofGap, "sof-gap"}),
    [](const auto& info) { return std::string(info.param.name); });

struct CleanCase {
    const char* name;
    std::vector<Profile> profiles;
    bool fullSpeed = true;
    bool hub = false;
};

void PrintTo(const CleanCase& c, std::ostream* os) {
    *os << c.name;
}

class EmulatorClean : public ::testing::TestWithParam<CleanCase> {};

TEST_P(EmulatorClean, GivesNoWarningAndNoError) {
    BusSettings settings;
    settings.seed = 5;
    settings.fullSpeed = GetParam().fullSpeed;
    settings.lowSpeedDeviceBehindHub = GetParam().hub;
    settings.profiles = GetParam().profiles;
    const Recording r = Record(settings);
    EXPECT_TRUE(r.injections.empty());
    const std::vector<Finding> found = Faults(DiagnoseCapture(r.packets));
    EXPECT_TRUE(found.empty()) << Lines(found);
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, EmulatorClean,
    ::testing::Values(
        CleanCase{"Vendor", {}}, CleanCase{"VendorLowSpeed", {}, false},
        CleanCase{"VendorAndHub", {}, true, true}, CleanCase{"Mouse", {Profile::Mouse}, false},
        CleanCase{"Keyboard", {Profile::Keyboard}, false},
        CleanCase{"KeyboardBehindHub", {Profile::Keyboard}}, CleanCase{"Serial", {Profile::Serial}},
        CleanCase{"Disk", {Profile::Disk}}, CleanCase{"Dfu", {Profile::Dfu}},
        CleanCase{"Ftdi", {Profile::Ftdi}}, CleanCase{"Midi", {Profile::Midi}},
        CleanCase{"Mix", {Profile::Keyboard, Profile::Disk, Profile::Mouse, Profile::Serial}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EmulatorFaults, NamesRoundTripAndImpossibleFaultsAreRefused) {
    for (std::size_t i = 0; i < emulator::kFaultCount; ++i) {
        const auto fault = static_cast<Fault>(i);
        EXPECT_EQ(emulator::FaultFromText(emulator::FaultName(fault)), fault);
    }
    BusSettings disk;
    disk.profiles = {Profile::Disk};
    EXPECT_NE(emulator::FaultImpossible(Fault::Toggle, disk), "");
    EXPECT_EQ(emulator::FaultImpossible(Fault::BadCsw, disk), "");
    BusSettings low;
    low.fullSpeed = false;
    EXPECT_NE(emulator::FaultImpossible(Fault::SofGap, low), "");
    EXPECT_NE(emulator::FaultImpossible(Fault::BadCsw, low), "");
}

} // namespace
} // namespace vintrace::protocol
