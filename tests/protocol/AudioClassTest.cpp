#include "protocol/AudioClass.h"
#include "protocol/DeviceTree.h"
#include "protocol/FieldTree.h"
#include "support/CaptureBytes.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view hex) {
    return test::Hex(hex);
}

// USB MIDI 1.0 appendix B: the MIDI adapter's configuration, from its standard AC interface
// (B.3) to the class-specific bulk IN endpoint (B.6.2).
constexpr const char* kMidiAdapter = "09 02 65 00 02 01 00 C0 32 "
                                     "09 04 00 00 00 01 01 00 00 "
                                     "09 24 01 00 01 09 00 01 01 "
                                     "09 04 01 00 02 01 03 00 00 "
                                     "07 24 01 00 01 41 00 "
                                     "06 24 02 01 01 00 "
                                     "06 24 02 02 02 00 "
                                     "09 24 03 01 03 01 02 01 00 "
                                     "09 24 03 02 04 01 01 01 00 "
                                     "09 05 01 02 40 00 00 00 00 "
                                     "05 25 01 01 01 "
                                     "09 05 81 02 40 00 00 00 00 "
                                     "05 25 01 01 03";

// An audio function with a feature unit: input terminal 1 (USB streaming), feature unit 2
// (master mute, volume and bass on both channels), output terminal 3 (speaker), then an
// audio streaming interface (Audio 1.0 4.3.2, 4.5.2, Audio Data Formats 2.2.5, 4.6.1.2).
constexpr const char* kSpeaker = "09 02 71 00 02 01 00 80 32 "
                                 "09 04 00 00 00 01 01 00 00 "
                                 "09 24 01 00 01 28 00 01 01 "
                                 "0C 24 02 01 01 01 00 02 03 00 00 00 "
                                 "0A 24 06 02 01 01 03 06 06 00 "
                                 "09 24 03 03 01 03 00 02 00 "
                                 "09 04 01 00 00 01 02 00 00 "
                                 "09 04 01 01 01 01 02 00 00 "
                                 "07 24 01 01 01 01 00 "
                                 "0E 24 02 01 02 02 10 02 44 AC 00 80 BB 00 "
                                 "09 05 01 09 C0 00 01 00 00 "
                                 "07 25 01 01 00 00 00";

ConfigurationDescription Parse(const char* hex) {
    const auto bytes = Bytes(hex);
    return ParseConfiguration(bytes, bytes.size());
}

std::vector<std::string> Laid(const Descriptor& d) {
    std::vector<std::string> out;
    for (const LaidField& f : LayAudioDescriptor(d).fields) {
        out.push_back(f.name + "=" + f.text);
    }
    return out;
}

TEST(AudioDescriptors, MidiAdapterKindsAndJacks) {
    const ConfigurationDescription c = Parse(kMidiAdapter);
    EXPECT_TRUE(c.problems.empty()) << c.problems.front();
    ASSERT_EQ(c.interfaces.size(), 2u);
    ASSERT_EQ(c.interfaces[0].extra.size(), 1u);
    EXPECT_EQ(c.interfaces[0].extra[0].kind, DescriptorKind::AudioControl);
    EXPECT_EQ(Laid(c.interfaces[0].extra[0]), std::vector<std::string>{"baInterfaceNr(1)=1"});
    const InterfaceDescription& ms = c.interfaces[1];
    ASSERT_EQ(ms.extra.size(), 5u);
    for (const Descriptor& d : ms.extra) {
        EXPECT_EQ(d.kind, DescriptorKind::MidiStreaming) << d;
    }
    EXPECT_EQ(ms.extra[0].field("wTotalLength"), 0x41);
    EXPECT_EQ(AudioDescriptorSummary(ms.extra[1]), "MIDI IN Jack 1, embedded");
    EXPECT_EQ(AudioDescriptorSummary(ms.extra[2]), "MIDI IN Jack 2, external");
    // B.4.4: embedded OUT jack 3 takes external IN jack 2, pin 1.
    EXPECT_EQ(Laid(ms.extra[3]),
              (std::vector<std::string>{"baSourceID(1)=2", "BaSourcePin(1)=1", "iJack=0"}));
    EXPECT_EQ(AudioDescriptorSummary(ms.extra[3]), "MIDI OUT Jack 3, embedded, from jack 2");
    ASSERT_EQ(ms.endpointExtra.size(), 2u);
    EXPECT_EQ(ms.after(0).at(0).kind, DescriptorKind::MidiEndpoint);
    EXPECT_EQ(AudioDescriptorSummary(ms.after(0).at(0)), "jacks 1");
    EXPECT_EQ(AudioDescriptorSummary(ms.after(1).at(0)), "jacks 3");
}

TEST(AudioDescriptors, FaultsReportedAtTheirPlaceInTheConfiguration) {
    // OUT jack 3 (at byte 55) claims two input pins in 9 bytes; the parse steps over it by its
    // bLength all the same and reads the rest.
    std::string hex = kMidiAdapter;
    const std::size_t jack = hex.find("09 24 03 01 03 01");
    hex.replace(jack, 17, "09 24 03 01 03 02");
    const ConfigurationDescription c = Parse(hex.c_str());
    ASSERT_EQ(c.problems.size(), 1u);
    EXPECT_EQ(c.problems[0].offset, 55u);
    EXPECT_EQ(c.problems[0].what, "bLength 9 is shorter than the 11 bytes bNrInputPins 2 needs");
    EXPECT_EQ(c.interfaces.at(1).endpoints.size(), 2u);
}

TEST(AudioDescriptors, SpeakerUnitsAndFormat) {
    const ConfigurationDescription c = Parse(kSpeaker);
    EXPECT_TRUE(c.problems.empty()) << c.problems.front();
    ASSERT_EQ(c.interfaces.size(), 3u);
    const auto& ac = c.interfaces[0].extra;
    ASSERT_EQ(ac.size(), 4u);
    EXPECT_EQ(AudioDescriptorSummary(ac[0]), "ADC 1.00, interfaces 1");
    EXPECT_EQ(AudioDescriptorSummary(ac[1]), "Input Terminal 1: USB streaming, 2 channels");
    EXPECT_EQ(AudioDescriptorSummary(ac[2]),
              "Feature Unit 2 from 1: master Mute, Volume; ch 1 Volume, Bass; ch 2 Volume, Bass");
    EXPECT_EQ(AudioDescriptorSummary(ac[3]), "Output Terminal 3: Speaker, from 2");
    EXPECT_EQ(AudioDescriptorTitle(ac[2]), "Feature Unit Descriptor");
    EXPECT_EQ(AudioFieldText(ac[1], "wChannelConfig", 3), "0x0003 Left Front, Right Front");
    const auto& as = c.interfaces[2];
    ASSERT_EQ(as.extra.size(), 2u);
    EXPECT_EQ(AudioDescriptorSummary(as.extra[0]), "terminal 1, PCM");
    EXPECT_EQ(AudioDescriptorSummary(as.extra[1]), "44100 Hz, 48000 Hz, 2 channels, 16 bits");
    // The 9-byte audio endpoint carries bRefresh and bSynchAddress (Audio 1.0 4.6.1.1).
    EXPECT_EQ(as.endpoints.at(0).field("bSynchAddress"), 0);
    EXPECT_EQ(as.after(0).at(0).kind, DescriptorKind::AudioEndpoint);
    EXPECT_EQ(AudioDescriptorSummary(as.after(0).at(0)), "0x01 Sampling Frequency");
}

struct ProblemCase {
    const char* name;
    DescriptorKind kind;
    const char* hex;
    std::vector<std::string> problems;
};

void PrintTo(const ProblemCase& c, std::ostream* os) {
    *os << c.name;
}

class AudioDescriptorProblems : public ::testing::TestWithParam<ProblemCase> {};

TEST_P(AudioDescriptorProblems, ReportedAtTheirByte) {
    const ProblemCase& c = GetParam();
    const Descriptor d{c.kind, Bytes(c.hex)};
    std::vector<std::string> texts;
    for (const DescriptorProblem& p : LayAudioDescriptor(d).problems) {
        texts.push_back(std::to_string(p.offset) + ": " + p.what);
    }
    EXPECT_EQ(texts, c.problems);
    // Whatever the lengths say, nothing is laid past the bytes.
    for (const LaidField& f : LayAudioDescriptor(d).fields) {
        EXPECT_LE(f.offset + f.size, d.bytes.size()) << f.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Audio, AudioDescriptorProblems,
    ::testing::Values(
        ProblemCase{"HeaderCollectionPastLength",
                    DescriptorKind::AudioControl,
                    "09 24 01 00 01 0A 00 02 01",
                    {"0: bLength 9 is shorter than the 10 bytes bInCollection 2 needs"}},
        ProblemCase{"FeatureControlSizeZero",
                    DescriptorKind::AudioControl,
                    "09 24 06 02 01 00 03 03 00",
                    {"5: bControlSize 0 leaves no room for controls"}},
        ProblemCase{"FeatureControlsNotWhole",
                    DescriptorKind::AudioControl,
                    "0A 24 06 02 01 02 03 00 03 00",
                    {"0: bLength 10 leaves 3 bytes of controls, not a multiple of bControlSize 2"}},
        ProblemCase{"InputTerminalShort",
                    DescriptorKind::AudioControl,
                    "08 24 02 01 01 02 00 01",
                    {"0: bLength 8 is shorter than the 12 bytes of an input terminal"}},
        ProblemCase{"OutJackPinsPastLength",
                    DescriptorKind::MidiStreaming,
                    "09 24 03 01 03 02 02 01 00",
                    {"0: bLength 9 is shorter than the 11 bytes bNrInputPins 2 needs"}},
        ProblemCase{"EndpointJacksPastLength",
                    DescriptorKind::MidiEndpoint,
                    "05 25 01 03 01",
                    {"0: bLength 5 is shorter than the 7 bytes bNumEmbMIDIJack 3 needs"}},
        ProblemCase{"SampleRatesPastLength",
                    DescriptorKind::AudioStreaming,
                    "0B 24 02 01 02 02 10 02 44 AC 00",
                    {"0: bLength 11 is shorter than the 14 bytes bSamFreqType 2 needs"}},
        // Bytes cut short of bLength (by the request) say no more than they hold.
        ProblemCase{"CutMixer", DescriptorKind::AudioControl, "0D 24 04 05 02 01", {}},
        ProblemCase{"SelectorFits", DescriptorKind::AudioControl, "08 24 05 04 02 01 02 00", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AudioDescriptors, MidiAdapterInDeviceTree) {
    DeviceInfo device;
    device.configurations[0] = Parse(kMidiAdapter);
    const std::string text = DeviceTreeText(BuildDeviceTree({device}, nullptr));
    EXPECT_NE(text.find("MIDI OUT Jack Descriptor:\n"), std::string::npos) << text;
    EXPECT_NE(text.find("bJackType             2 external\n"), std::string::npos) << text;
    EXPECT_NE(text.find("baSourceID(1)         2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("MIDI Streaming Endpoint Descriptor:\n"), std::string::npos) << text;
    EXPECT_NE(text.find("baAssocJackID(1)      3\n"), std::string::npos) << text;
    EXPECT_NE(text.find("bDescriptorSubtype    1 (HEADER)\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("data:"), std::string::npos) << text;
}

TEST(AudioDescriptors, DetailCoversListsAndFaults) {
    // bInCollection 2 in a 9-byte header: one interface number fits, the fault is noted.
    const Descriptor d{DescriptorKind::AudioControl, Bytes("09 24 01 00 01 0A 00 02 01")};
    const FieldTree tree = DescriptorTree(d, nullptr, nullptr);
    ASSERT_EQ(tree.fields.size(), 1u);
    const FieldNode& root = tree.fields[0];
    EXPECT_EQ(root.name, "Audio Control Header");
    EXPECT_EQ(root.value, "ADC 1.00, interfaces 1");
    std::vector<std::string> names;
    for (const FieldNode& f : root.children) {
        names.push_back(f.name + "@" + std::to_string(f.offset) + "+" + std::to_string(f.length));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"bLength@0+1", "bDescriptorType@1+1",
                                               "bDescriptorSubtype@2+1", "bcdADC@3+2",
                                               "wTotalLength@5+2", "bInCollection@7+1",
                                               "baInterfaceNr(1)@8+1", "Malformed@0+0"}));
}

struct EventCase {
    const char* hex;
    const char* text;
};

TEST(MidiEvents, OnePacketEach) {
    // USB MIDI 1.0 4, table 4-1 (code index numbers) over MIDI 1.0 messages.
    const std::vector<EventCase> cases = {
        {"09 90 3C 64", "Note On ch 1 C4 vel 100"},
        {"08 80 3C 00", "Note Off ch 1 C4 vel 0"},
        {"09 9F 3D 00", "Note On ch 16 C#4 vel 0 (off)"},
        {"19 91 45 7F", "cable 1: Note On ch 2 A4 vel 127"},
        {"0A A0 00 20", "Poly Pressure ch 1 C-1 32"},
        {"0B B0 07 64", "CC ch 1 7 Volume 100"},
        {"0B B2 40 7F", "CC ch 3 64 Sustain 127"},
        {"0B B0 03 01", "CC ch 1 3 1"},
        {"0C C0 05 00", "Program Change ch 1 5"},
        {"0D D0 40 00", "Channel Pressure ch 1 64"},
        {"0E E0 00 40", "Pitch Bend ch 1 0"},
        {"0E E0 00 00", "Pitch Bend ch 1 -8192"},
        {"0E E0 7F 7F", "Pitch Bend ch 1 +8191"},
        {"04 F0 7E 7F", "SysEx start F0 7E 7F"},
        {"04 09 01 02", "SysEx continue 09 01 02"},
        {"05 F7 00 00", "SysEx end F7"},
        {"06 01 F7 00", "SysEx end 01 F7"},
        {"07 02 03 F7", "SysEx end 02 03 F7"},
        {"06 F0 F7 00", "SysEx F0 F7"},
        {"0F F8 00 00", "Timing Clock"},
        {"05 F6 00 00", "Tune Request"},
        {"03 F2 10 01", "Song Position 144"},
        {"02 F3 05 00", "Song Select 5"},
        {"F9 90 7F 01", "cable 15: Note On ch 1 G9 vel 1"},
    };
    for (const EventCase& c : cases) {
        EXPECT_EQ(DescribeMidiEvent(Bytes(c.hex)), c.text) << c.hex;
    }
}

TEST(MidiEvents, TransferLinesAreBounded) {
    EXPECT_EQ(DescribeMidiPackets({}), std::nullopt);
    EXPECT_EQ(DescribeMidiPackets(Bytes("09 90 3C 64 08 80 3C 00 00 00 00 00 0B")),
              "Note On ch 1 C4 vel 100 (2 events)\nNote Off ch 1 C4 vel 0\n1 empty packet\n"
              "1 bytes left over, not a whole event");
    std::vector<std::uint8_t> many;
    for (int i = 0; i < 100; ++i) {
        const auto p = Bytes("09 90 3C 64");
        many.insert(many.end(), p.begin(), p.end());
    }
    const std::string text = *DescribeMidiPackets(many);
    EXPECT_TRUE(text.starts_with("Note On ch 1 C4 vel 100 (100 events)\n"));
    EXPECT_TRUE(text.ends_with("\n36 more events")) << text;
}

TEST(MidiEvents, FieldsPerPacket) {
    const auto data = Bytes("19 91 45 7F 0B");
    const std::vector<FieldNode> fields = MidiEventFields(data, 8);
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].value, "cable 1: Note On ch 2 A4 vel 127");
    EXPECT_EQ(fields[0].children.at(0).value, "0001 .... 1");
    EXPECT_EQ(fields[0].children.at(1).value, ".... 1001 0x9 Note-on");
    EXPECT_EQ(fields[0].children.at(2).offset, 9u);
    EXPECT_EQ(fields[1].name, kTruncatedField);
    EXPECT_EQ(fields[1].offset, 12u);
}

TEST(AudioValues, VolumeInSteps) {
    // Audio 1.0 5.2.2.4.3.2: 1/256 dB steps from 0x7FFF (+127.9961 dB) to 0x8001
    // (-127.9961 dB); 0x8000 is silence.
    const std::vector<std::pair<std::uint16_t, const char*>> cases = {
        {0x7FFF, "127.9961 dB"}, {0x0100, "1.00 dB"},   {0x0001, "0.0039 dB"},
        {0x0000, "0.00 dB"},     {0xF380, "-12.50 dB"}, {0x8001, "-127.9961 dB"},
        {0x8000, "-inf dB"}};
    for (const auto& [raw, text] : cases) {
        EXPECT_EQ(VolumeText(static_cast<std::int16_t>(raw)), text) << raw;
    }
    EXPECT_EQ(NoteName(60), "C4");
    EXPECT_EQ(NoteName(0), "C-1");
}

struct RequestCase {
    const char* setup;
    const char* data;
    const char* text;
};

TEST(AudioRequests, NamedByEntityAndControl) {
    const ConfigurationDescription c = Parse(kSpeaker);
    const InterfaceDescription* ac = &c.interfaces[0];
    // Audio 1.0 5.2.2: wIndex carries the entity in its high byte, wValue the control
    // selector (high) and channel (low); endpoint requests name the endpoint (5.2.3).
    const std::vector<RequestCase> cases = {
        {"21 01 00 02 00 02 02 00", "80 F3", "SET_CUR Volume master, Feature Unit 2: -12.50 dB"},
        {"21 01 01 02 00 02 02 00", "80 F3", "SET_CUR Volume ch 1, Feature Unit 2: -12.50 dB"},
        {"A1 81 00 01 00 02 01 00", "01", "GET_CUR Mute master, Feature Unit 2: on"},
        {"A1 82 01 02 00 02 02 00", "00 80", "GET_MIN Volume ch 1, Feature Unit 2: -inf dB"},
        {"A1 84 01 02 00 02 02 00", "40 00", "GET_RES Volume ch 1, Feature Unit 2: 0.25 dB"},
        {"A1 83 02 03 00 02 01 00", "F8", "GET_MAX Bass ch 2, Feature Unit 2: -2.00 dB (0xF8)"},
        {"21 05 10 00 00 02 02 00", "01 02", "SET_MEM offset 16, Feature Unit 2: 01 02"},
        {"A1 81 00 02 00 09 02 00", "00 01", "GET_CUR control 0x02 ch 0, entity 9: 00 01"},
        {"21 01 00 01 00 03 01 00", "02", "SET_CUR Copy Protect, Output Terminal 3: CPL2"},
        {"21 01 00 02 00 02 02 00", "", "SET_CUR Volume master, Feature Unit 2 (no data)"},
        {"22 01 00 01 01 00 03 00", "80 BB 00",
         "SET_CUR Sampling Frequency, endpoint 0x01: 48000 Hz"},
        {"A2 81 00 01 01 00 03 00", "44 AC 00",
         "GET_CUR Sampling Frequency, endpoint 0x01: 44100 Hz"},
        {"21 42 00 00 00 02 00 00", "", "audio request 0x42 control 0x00 master, Feature Unit 2"},
    };
    for (const RequestCase& rc : cases) {
        const auto setup = *capture::ParseSetupRequest(Bytes(rc.setup));
        EXPECT_EQ(DescribeAudioRequest(setup, Bytes(rc.data), ac), rc.text) << rc.setup;
    }
}

} // namespace
} // namespace vintrace::protocol
