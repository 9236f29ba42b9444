#include "protocol/AudioClass.h"

#include "protocol/LittleEndian.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace vintrace::protocol {

namespace {

/// Event lines a MIDI transfer lists; the rest are counted.
constexpr std::size_t kShownEvents = 64;

std::string HexBytes(std::span<const std::uint8_t> d) {
    std::string s;
    for (std::uint8_t b : d) {
        s += (s.empty() ? "" : " ") + Format("%02X", b);
    }
    return s;
}

std::uint8_t Subtype(const Descriptor& d) {
    return d.bytes.size() > 2 ? d.bytes[2] : 0;
}

std::string_view AcSubtypeName(std::uint8_t s) {
    static constexpr std::array<std::string_view, 9> kNames = {"AC_DESCRIPTOR_UNDEFINED",
                                                               "HEADER",
                                                               "INPUT_TERMINAL",
                                                               "OUTPUT_TERMINAL",
                                                               "MIXER_UNIT",
                                                               "SELECTOR_UNIT",
                                                               "FEATURE_UNIT",
                                                               "PROCESSING_UNIT",
                                                               "EXTENSION_UNIT"};
    return s < kNames.size() ? kNames[s] : std::string_view();
}

std::string_view AsSubtypeName(std::uint8_t s) {
    static constexpr std::array<std::string_view, 4> kNames = {
        "AS_DESCRIPTOR_UNDEFINED", "AS_GENERAL", "FORMAT_TYPE", "FORMAT_SPECIFIC"};
    return s < kNames.size() ? kNames[s] : std::string_view();
}

std::string_view MsSubtypeName(std::uint8_t s) {
    static constexpr std::array<std::string_view, 5> kNames = {
        "MS_DESCRIPTOR_UNDEFINED", "MS_HEADER", "MIDI_IN_JACK", "MIDI_OUT_JACK", "ELEMENT"};
    return s < kNames.size() ? kNames[s] : std::string_view();
}

std::string_view SubtypeName(const Descriptor& d, std::uint8_t s) {
    switch (d.kind) {
    case DescriptorKind::AudioControl:
        return AcSubtypeName(s);
    case DescriptorKind::AudioStreaming:
        return AsSubtypeName(s);
    case DescriptorKind::MidiStreaming:
        return MsSubtypeName(s);
    case DescriptorKind::AudioEndpoint:
        return s == 1 ? "EP_GENERAL" : std::string_view();
    case DescriptorKind::MidiEndpoint:
        return s == 1 ? "MS_GENERAL" : std::string_view();
    default:
        return {};
    }
}

std::string_view FormatTagName(std::uint16_t tag) {
    switch (tag) {
    case 0x0001:
        return "PCM";
    case 0x0002:
        return "PCM8";
    case 0x0003:
        return "IEEE_FLOAT";
    case 0x0004:
        return "ALAW";
    case 0x0005:
        return "MULAW";
    case 0x1001:
        return "MPEG";
    case 0x1002:
        return "AC-3";
    default:
        return {};
    }
}

/// Audio 1.0 3.7.2.3: the spatial locations of a cluster's channels.
std::string ChannelConfigText(std::uint16_t bits) {
    static constexpr std::array<const char*, 12> kNames = {
        "Left Front",    "Right Front",    "Center Front",   "Low Frequency Enhancement",
        "Left Surround", "Right Surround", "Left of Center", "Right of Center",
        "Surround",      "Side Left",      "Side Right",     "Top"};
    std::string s;
    for (std::size_t b = 0; b < kNames.size(); ++b) {
        if ((bits >> b & 1) != 0) {
            s += (s.empty() ? "" : ", ") + std::string(kNames[b]);
        }
    }
    return s;
}

std::string_view ProcessTypeName(std::uint16_t type) {
    static constexpr std::array<std::string_view, 7> kNames = {"",
                                                               "Up/Down-mix",
                                                               "Dolby Prologic",
                                                               "3D Stereo Extender",
                                                               "Reverberation",
                                                               "Chorus",
                                                               "Dynamic Range Compressor"};
    return type < kNames.size() ? kNames[type] : std::string_view();
}

/// A field of `size` bytes at `at` when bLength and the bytes both hold it.
bool Lay(AudioLayout& out, const Descriptor& d, std::size_t at, std::size_t size, std::string name,
         std::string (*text)(std::uint32_t)) {
    const std::size_t limit = std::min<std::size_t>(d.bytes.size(), d.bytes[0]);
    if (at + size > limit) {
        return false;
    }
    const std::uint32_t v = Le(d.bytes, at, std::min<std::size_t>(size, 4));
    std::string shown = size <= 4 ? text(v) : HexBytes(std::span(d.bytes).subspan(at, size));
    out.fields.push_back(
        {std::move(name), std::move(shown), size <= 4 ? std::optional(v) : std::nullopt, at, size});
    out.end = std::max(out.end, at + size);
    return true;
}

std::string Decimal(std::uint32_t v) {
    return std::to_string(v);
}
std::string Hex2(std::uint32_t v) {
    return Format("0x%02x", v);
}
std::string Hz(std::uint32_t v) {
    return std::to_string(v) + " Hz";
}
std::string ChannelConfig(std::uint32_t v) {
    const std::string names = ChannelConfigText(static_cast<std::uint16_t>(v));
    return Format("0x%04x", v) + (names.empty() ? "" : " " + names);
}
std::string Controls(std::uint32_t v) {
    return Format("0x%02x", v) + " " + FeatureControlsText(v);
}

/// "name(i)", the way the class specifications number list members.
std::string Nth(const char* name, std::size_t i) {
    return std::string(name) + "(" + std::to_string(i) + ")";
}

/// A problem when bLength is shorter than `need`, which `why` explains.
void Need(AudioLayout& out, const Descriptor& d, std::size_t need, const std::string& why) {
    if (d.bytes[0] < need) {
        out.problems.push_back({0, "bLength " + std::to_string(d.bytes[0]) +
                                       " is shorter than the " + std::to_string(need) + " bytes " +
                                       why});
    }
}

/// The byte at `at` when the descriptor holds it.
std::optional<std::uint8_t> Byte(const Descriptor& d, std::size_t at) {
    return at < d.bytes.size() ? std::optional(d.bytes[at]) : std::nullopt;
}

/// baSourceID(1..p) from `at`, with pins when `pinned` (MIDI jacks and elements).
void LaySources(AudioLayout& out, const Descriptor& d, std::size_t at, std::size_t p, bool pinned) {
    for (std::size_t i = 0; i < p; ++i) {
        if (!pinned) {
            Lay(out, d, at + i, 1, Nth("baSourceID", i + 1), Decimal);
            continue;
        }
        Lay(out, d, at + 2 * i, 1, Nth("baSourceID", i + 1), Decimal);
        Lay(out, d, at + 2 * i + 1, 1, Nth("BaSourcePin", i + 1), Decimal);
    }
}

void LayAudioControl(AudioLayout& out, const Descriptor& d) {
    switch (Subtype(d)) {
    case 0x01: // HEADER (4.3.2)
        if (const auto n = Byte(d, 7)) {
            Need(out, d, 8u + *n, "bInCollection " + std::to_string(*n) + " needs");
            for (std::size_t i = 0; i < *n; ++i) {
                Lay(out, d, 8 + i, 1, Nth("baInterfaceNr", i + 1), Decimal);
            }
        }
        break;
    case 0x02: // INPUT_TERMINAL (4.3.2.1)
        Need(out, d, 12, "of an input terminal");
        break;
    case 0x03: // OUTPUT_TERMINAL (4.3.2.2)
        Need(out, d, 9, "of an output terminal");
        break;
    case 0x04: // MIXER_UNIT (4.3.2.3)
        if (const auto p = Byte(d, 4)) {
            const std::size_t b = 5u + *p;
            Need(out, d, b + 5, "bNrInPins " + std::to_string(*p) + " needs");
            LaySources(out, d, 5, *p, false);
            Lay(out, d, b, 1, "bNrChannels", Decimal);
            Lay(out, d, b + 1, 2, "wChannelConfig", ChannelConfig);
            Lay(out, d, b + 3, 1, "iChannelNames", Decimal);
            // bmControls takes what is left before iMixer, the last byte.
            if (d.bytes[0] > b + 5) {
                Lay(out, d, b + 4, d.bytes[0] - b - 5, "bmControls", Hex2);
            }
            if (d.bytes[0] >= b + 5) {
                Lay(out, d, d.bytes[0] - 1u, 1, "iMixer", Decimal);
            }
        }
        break;
    case 0x05: // SELECTOR_UNIT (4.3.2.4)
        if (const auto p = Byte(d, 4)) {
            Need(out, d, 6u + *p, "bNrInPins " + std::to_string(*p) + " needs");
            LaySources(out, d, 5, *p, false);
            Lay(out, d, 5u + *p, 1, "iSelector", Decimal);
        }
        break;
    case 0x06: // FEATURE_UNIT (4.3.2.5): bmaControls(0) is the master channel
        if (const auto n = Byte(d, 5)) {
            if (*n == 0) {
                out.problems.push_back({5, "bControlSize 0 leaves no room for controls"});
                break;
            }
            Need(out, d, 7u + *n, "bControlSize " + std::to_string(*n) + " needs");
            if (d.bytes[0] < 7u + *n) {
                break;
            }
            const std::size_t room = d.bytes[0] - 7u;
            if (room % *n != 0) {
                out.problems.push_back({0, "bLength " + std::to_string(d.bytes[0]) + " leaves " +
                                               std::to_string(room) +
                                               " bytes of controls, not a multiple of "
                                               "bControlSize " +
                                               std::to_string(*n)});
            }
            const std::size_t channels = room / *n;
            for (std::size_t c = 0; c < channels; ++c) {
                Lay(out, d, 6 + c * *n, *n, Nth("bmaControls", c), Controls);
            }
            Lay(out, d, 6 + channels * *n, 1, "iFeature", Decimal);
        }
        break;
    case 0x07: // PROCESSING_UNIT (4.3.2.6)
    case 0x08: // EXTENSION_UNIT (4.3.2.7)
        if (const auto p = Byte(d, 6)) {
            const std::size_t b = 7u + *p;
            Need(out, d, b + 6, "bNrInPins " + std::to_string(*p) + " needs");
            LaySources(out, d, 7, *p, false);
            Lay(out, d, b, 1, "bNrChannels", Decimal);
            Lay(out, d, b + 1, 2, "wChannelConfig", ChannelConfig);
            Lay(out, d, b + 3, 1, "iChannelNames", Decimal);
            if (const auto n = Byte(d, b + 4);
                n && Lay(out, d, b + 4, 1, "bControlSize", Decimal)) {
                Need(out, d, b + 6 + *n, "bControlSize " + std::to_string(*n) + " needs");
                if (*n > 0) {
                    Lay(out, d, b + 5, *n, "bmControls", Hex2);
                }
                Lay(out, d, b + 5 + *n, 1, Subtype(d) == 0x07 ? "iProcessing" : "iExtension",
                    Decimal);
            }
        }
        break;
    default:
        break;
    }
}

void LaySampleRates(AudioLayout& out, const Descriptor& d, std::size_t typeAt) {
    const auto t = Byte(d, typeAt);
    if (!t) {
        return;
    }
    const std::size_t at = typeAt + 1;
    if (*t == 0) { // continuous: lower and upper bound
        Need(out, d, at + 6, "a continuous sample rate range needs");
        Lay(out, d, at, 3, "tLowerSamFreq", Hz);
        Lay(out, d, at + 3, 3, "tUpperSamFreq", Hz);
        return;
    }
    Need(out, d, at + 3u * *t, "bSamFreqType " + std::to_string(*t) + " needs");
    for (std::size_t i = 0; i < *t; ++i) {
        Lay(out, d, at + 3 * i, 3, Nth("tSamFreq", i + 1), Hz);
    }
}

void LayAudioStreaming(AudioLayout& out, const Descriptor& d) {
    switch (Subtype(d)) {
    case 0x01: // AS_GENERAL (4.5.2)
        Need(out, d, 7, "of a general descriptor");
        break;
    case 0x02: // FORMAT_TYPE (Audio Data Formats 2.2.5, 2.3.5, 2.4.5)
        if (const auto type = Byte(d, 3); type == 1 || type == 3) {
            LaySampleRates(out, d, 7);
        } else if (type == 2) {
            LaySampleRates(out, d, 8);
        }
        break;
    default:
        break;
    }
}

void LayMidiStreaming(AudioLayout& out, const Descriptor& d) {
    switch (Subtype(d)) {
    case 0x01: // MS_HEADER (6.1.2.1)
        Need(out, d, 7, "of a MIDI streaming header");
        break;
    case 0x02: // MIDI_IN_JACK (6.1.2.2)
        Need(out, d, 6, "of a MIDI IN jack");
        break;
    case 0x03: // MIDI_OUT_JACK (6.1.2.3)
        if (const auto p = Byte(d, 5)) {
            Need(out, d, 7u + 2u * *p, "bNrInputPins " + std::to_string(*p) + " needs");
            LaySources(out, d, 6, *p, true);
            Lay(out, d, 6u + 2u * *p, 1, "iJack", Decimal);
        }
        break;
    case 0x04: // ELEMENT (6.1.2.4)
        if (const auto p = Byte(d, 4)) {
            const std::size_t b = 5u + 2u * *p;
            Need(out, d, b + 5, "bNrInputPins " + std::to_string(*p) + " needs");
            LaySources(out, d, 5, *p, true);
            Lay(out, d, b, 1, "bNrOutputPins", Decimal);
            Lay(out, d, b + 1, 1, "bInTerminalLink", Decimal);
            Lay(out, d, b + 2, 1, "bOutTerminalLink", Decimal);
            if (const auto n = Byte(d, b + 3); n && Lay(out, d, b + 3, 1, "bElCapsSize", Decimal)) {
                Need(out, d, b + 5 + *n, "bElCapsSize " + std::to_string(*n) + " needs");
                if (*n > 0) {
                    Lay(out, d, b + 4, *n, "bmElementCaps", Hex2);
                }
                Lay(out, d, b + 4 + *n, 1, "iElement", Decimal);
            }
        }
        break;
    default:
        break;
    }
}

/// The entity a descriptor of an audio control interface defines, by its subtype.
std::string_view EntityKind(std::uint8_t subtype) {
    static constexpr std::array<std::string_view, 9> kNames = {"",
                                                               "",
                                                               "Input Terminal",
                                                               "Output Terminal",
                                                               "Mixer Unit",
                                                               "Selector Unit",
                                                               "Feature Unit",
                                                               "Processing Unit",
                                                               "Extension Unit"};
    return subtype < kNames.size() ? kNames[subtype] : std::string_view();
}

std::string_view RequestName(std::uint8_t request) {
    switch (request) {
    case 0x01:
        return "SET_CUR";
    case 0x02:
        return "SET_MIN";
    case 0x03:
        return "SET_MAX";
    case 0x04:
        return "SET_RES";
    case 0x05:
        return "SET_MEM";
    case 0x81:
        return "GET_CUR";
    case 0x82:
        return "GET_MIN";
    case 0x83:
        return "GET_MAX";
    case 0x84:
        return "GET_RES";
    case 0x85:
        return "GET_MEM";
    case 0xFF:
        return "GET_STAT";
    default:
        return {};
    }
}

/// Audio 1.0 A.10.2, the feature unit control selectors.
std::string_view FeatureControlName(std::uint8_t selector) {
    static constexpr std::array<std::string_view, 11> kNames = {"",
                                                                "Mute",
                                                                "Volume",
                                                                "Bass",
                                                                "Mid",
                                                                "Treble",
                                                                "Graphic Equalizer",
                                                                "Automatic Gain",
                                                                "Delay",
                                                                "Bass Boost",
                                                                "Loudness"};
    return selector < kNames.size() ? kNames[selector] : std::string_view();
}

std::string OnOff(std::span<const std::uint8_t> data) {
    return data[0] != 0 ? "on" : "off";
}

/// Four decimals at most, two at least: 1/256 dB and 1/64 ms steps show exactly enough.
std::string Fixed(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", v);
    std::string s = text;
    while (s.size() > 1 && s.back() == '0' && s[s.size() - 3] != '.') {
        s.pop_back();
    }
    return s == "-0.00" ? "0.00" : s;
}

/// The value of a feature unit control (Audio 1.0 5.2.2.4.3); nothing when the data stage is
/// too short for it.
std::optional<std::string> FeatureValue(std::uint8_t selector, std::span<const std::uint8_t> d) {
    switch (selector) {
    case 0x01: // Mute
    case 0x07: // Automatic Gain
    case 0x09: // Bass Boost
    case 0x0A: // Loudness
        return d.empty() ? std::nullopt : std::optional(OnOff(d));
    case 0x02: // Volume
        return d.size() < 2 ? std::nullopt
                            : std::optional(VolumeText(static_cast<std::int16_t>(Le(d, 0, 2))));
    case 0x03: // Bass, Mid, Treble: 1/4 dB steps
    case 0x04:
    case 0x05:
        return d.empty() ? std::nullopt
                         : std::optional(Fixed(static_cast<std::int8_t>(d[0]) / 4.0) + " dB (" +
                                         Format("0x%02X", d[0]) + ")");
    case 0x08: // Delay: 1/64 ms steps
        return d.size() < 2 ? std::nullopt : std::optional(Fixed(Le(d, 0, 2) / 64.0) + " ms");
    default:
        return d.empty() ? std::nullopt : std::optional(HexBytes(d));
    }
}

const Descriptor* FindEntity(const InterfaceDescription* control, std::uint8_t id) {
    if (control == nullptr || id == 0) {
        return nullptr;
    }
    for (const Descriptor& d : control->extra) {
        if (d.kind == DescriptorKind::AudioControl && d.bytes.size() > 3 &&
            !EntityKind(d.bytes[2]).empty() && d.bytes[3] == id) {
            return &d;
        }
    }
    return nullptr;
}

bool IsSet(std::uint8_t request) {
    return (request & 0x80) == 0;
}

} // namespace

bool IsAudioKind(DescriptorKind kind) {
    return kind == DescriptorKind::AudioControl || kind == DescriptorKind::AudioStreaming ||
           kind == DescriptorKind::MidiStreaming || kind == DescriptorKind::AudioEndpoint ||
           kind == DescriptorKind::MidiEndpoint;
}

AudioLayout LayAudioDescriptor(const Descriptor& d) {
    AudioLayout out;
    out.end = std::min(d.fixedSize(), d.bytes.size());
    if (!IsAudioKind(d.kind) || d.bytes.size() < 3 || d.bytes[0] < 3) {
        return out;
    }
    switch (d.kind) {
    case DescriptorKind::AudioControl:
        LayAudioControl(out, d);
        break;
    case DescriptorKind::AudioStreaming:
        LayAudioStreaming(out, d);
        break;
    case DescriptorKind::MidiStreaming:
        LayMidiStreaming(out, d);
        break;
    case DescriptorKind::AudioEndpoint:
        if (Subtype(d) == 0x01) { // EP_GENERAL (4.6.1.2)
            Need(out, d, 7, "of an audio endpoint descriptor");
        }
        break;
    case DescriptorKind::MidiEndpoint:
        if (const auto n = Byte(d, 3); n && Subtype(d) == 0x01) { // MS_GENERAL (6.2.2)
            Need(out, d, 4u + *n, "bNumEmbMIDIJack " + std::to_string(*n) + " needs");
            for (std::size_t i = 0; i < *n; ++i) {
                Lay(out, d, 4 + i, 1, Nth("baAssocJackID", i + 1), Decimal);
            }
        }
        break;
    default:
        break;
    }
    return out;
}

std::optional<std::string> AudioFieldText(const Descriptor& d, std::string_view name,
                                          std::uint16_t v) {
    if (!IsAudioKind(d.kind)) {
        return std::nullopt;
    }
    if (name == "bDescriptorSubtype") {
        const std::string_view s = SubtypeName(d, static_cast<std::uint8_t>(v));
        return std::to_string(v) + (s.empty() ? "" : " (" + std::string(s) + ")");
    }
    if (name == "wTerminalType") {
        const std::string_view s = TerminalTypeName(v);
        return Format("0x%04x", v) + (s.empty() ? "" : " " + std::string(s));
    }
    if (name == "wChannelConfig") {
        return ChannelConfig(v);
    }
    if (name == "bJackType") {
        return std::to_string(v) + (v == 1 ? " embedded" : v == 2 ? " external" : "");
    }
    if (name == "wFormatTag") {
        const std::string_view s = FormatTagName(v);
        return Format("0x%04x", v) + (s.empty() ? "" : " " + std::string(s));
    }
    if (name == "bFormatType") {
        static constexpr std::array<const char*, 4> kTypes = {
            "", " FORMAT_TYPE_I", " FORMAT_TYPE_II", " FORMAT_TYPE_III"};
        return std::to_string(v) + (v < kTypes.size() ? kTypes[v] : "");
    }
    if (name == "bSubframeSize") {
        return std::to_string(v) + (v == 1 ? " byte" : " bytes");
    }
    if (name == "bBitResolution") {
        return std::to_string(v) + " bits";
    }
    if (name == "bSamFreqType") {
        return std::to_string(v) + (v == 0 ? " (continuous)" : " (discrete)");
    }
    if (name == "wProcessType") {
        const std::string_view s = ProcessTypeName(v);
        return Format("0x%04x", v) + (s.empty() ? "" : " " + std::string(s));
    }
    if (name == "bmAttributes" && d.kind == DescriptorKind::AudioEndpoint) {
        std::string s = Format("0x%02x", v);
        static constexpr std::array<const char*, 2> kBits = {"Sampling Frequency", "Pitch"};
        std::string bits;
        for (std::size_t b = 0; b < kBits.size(); ++b) {
            if ((v >> b & 1) != 0) {
                bits += (bits.empty() ? "" : ", ") + std::string(kBits[b]);
            }
        }
        if ((v & 0x80) != 0) {
            bits += (bits.empty() ? "" : ", ") + std::string("MaxPacketsOnly");
        }
        return bits.empty() ? s : s + " " + bits;
    }
    if (name == "bLockDelayUnits") {
        static constexpr std::array<const char*, 3> kUnits = {" undefined", " ms",
                                                              " decoded PCM samples"};
        return std::to_string(v) + (v < kUnits.size() ? kUnits[v] : "");
    }
    return std::nullopt;
}

std::string AudioDescriptorTitle(const Descriptor& d) {
    const std::uint8_t s = Subtype(d);
    switch (d.kind) {
    case DescriptorKind::AudioControl:
        if (s == 0x01) {
            return "Audio Control Header";
        }
        if (!EntityKind(s).empty()) {
            return std::string(EntityKind(s)) + " Descriptor";
        }
        return "Audio Control Descriptor of subtype " + Format("0x%02x", s);
    case DescriptorKind::AudioStreaming:
        if (s == 0x01) {
            return "Audio Streaming General";
        }
        if (s == 0x02) {
            return "Format Type Descriptor";
        }
        return "Audio Streaming Descriptor of subtype " + Format("0x%02x", s);
    case DescriptorKind::MidiStreaming:
        switch (s) {
        case 0x01:
            return "MIDI Streaming Header";
        case 0x02:
            return "MIDI IN Jack Descriptor";
        case 0x03:
            return "MIDI OUT Jack Descriptor";
        case 0x04:
            return "MIDI Element Descriptor";
        default:
            return "MIDI Streaming Descriptor of subtype " + Format("0x%02x", s);
        }
    case DescriptorKind::AudioEndpoint:
        return "Audio Streaming Endpoint Descriptor";
    case DescriptorKind::MidiEndpoint:
        return "MIDI Streaming Endpoint Descriptor";
    default:
        return {};
    }
}

std::string AudioDescriptorSummary(const Descriptor& d) {
    const std::uint8_t s = Subtype(d);
    auto f = [&d](std::string_view name) { return d.field(name); };
    auto laidText = [&d]() {
        std::string ids;
        for (const LaidField& l : LayAudioDescriptor(d).fields) {
            if (l.name.starts_with("baSourceID") || l.name.starts_with("baAssocJackID") ||
                l.name.starts_with("baInterfaceNr")) {
                ids += (ids.empty() ? "" : ", ") + l.text;
            }
        }
        return ids;
    };
    switch (d.kind) {
    case DescriptorKind::AudioControl: {
        if (s == 0x01) {
            const std::string ids = laidText();
            const auto adc = f("bcdADC");
            return "ADC " + (adc ? Format("%x.", *adc >> 8) + Format("%02x", *adc & 0xFF) : "?") +
                   (ids.empty() ? "" : ", interfaces " + ids);
        }
        const auto id = Byte(d, 3);
        if (EntityKind(s).empty() || !id) {
            return {};
        }
        std::string text = std::string(EntityKind(s)) + " " + std::to_string(*id);
        if (s == 0x02 || s == 0x03) {
            if (const auto type = f("wTerminalType")) {
                const std::string_view name = TerminalTypeName(*type);
                text += ": " + (name.empty() ? Format("type 0x%04x", *type) : std::string(name));
            }
            if (const auto channels = f("bNrChannels"); channels && s == 0x02) {
                text += ", " + std::to_string(*channels) + " channels";
            }
            if (const auto source = f("bSourceID"); source && s == 0x03) {
                text += ", from " + std::to_string(*source);
            }
            return text;
        }
        if (s == 0x06) {
            if (const auto source = f("bSourceID")) {
                text += " from " + std::to_string(*source);
            }
            std::string controls;
            for (const LaidField& l : LayAudioDescriptor(d).fields) {
                if (l.name.starts_with("bmaControls") && l.number && *l.number != 0) {
                    const std::string channel = l.name == "bmaControls(0)"
                                                    ? "master"
                                                    : "ch " + l.name.substr(12, l.name.size() - 13);
                    controls += (controls.empty() ? ": " : "; ") + channel + " " +
                                FeatureControlsText(*l.number);
                }
            }
            return text + controls;
        }
        const std::string ids = laidText();
        return ids.empty() ? text : text + " from " + ids;
    }
    case DescriptorKind::AudioStreaming:
        if (s == 0x01) {
            const auto link = f("bTerminalLink");
            const auto tag = f("wFormatTag");
            std::string text = link ? "terminal " + std::to_string(*link) : std::string();
            if (tag) {
                const std::string_view name = FormatTagName(*tag);
                text += (text.empty() ? "" : ", ") +
                        (name.empty() ? Format("format 0x%04x", *tag) : std::string(name));
            }
            return text;
        }
        if (s == 0x02) {
            std::string rates;
            const AudioLayout layout = LayAudioDescriptor(d);
            for (const LaidField& l : layout.fields) {
                if (l.name == "tLowerSamFreq") {
                    rates = l.text;
                } else if (l.name == "tUpperSamFreq") {
                    rates += " to " + l.text;
                } else if (l.name.starts_with("tSamFreq")) {
                    rates += (rates.empty() ? "" : ", ") + l.text;
                }
            }
            std::string text = rates;
            if (const auto channels = f("bNrChannels")) {
                text += (text.empty() ? "" : ", ") + std::to_string(*channels) + " channels";
            }
            if (const auto bits = f("bBitResolution")) {
                text += (text.empty() ? "" : ", ") + std::to_string(*bits) + " bits";
            }
            return text;
        }
        return {};
    case DescriptorKind::MidiStreaming: {
        if (s == 0x01) {
            const auto msc = f("bcdMSC");
            return msc ? "MSC " + Format("%x.", *msc >> 8) + Format("%02x", *msc & 0xFF)
                       : std::string();
        }
        const auto id = f(s == 0x04 ? "bElementID" : "bJackID");
        if (!id || s < 2 || s > 4) {
            return {};
        }
        std::string text = (s == 0x02   ? "MIDI IN Jack "
                            : s == 0x03 ? "MIDI OUT Jack "
                                        : "Element ") +
                           std::to_string(*id);
        if (const auto type = f("bJackType")) {
            text += *type == 1   ? ", embedded"
                    : *type == 2 ? ", external"
                                 : ", type " + std::to_string(*type);
        }
        const std::string ids = laidText();
        return ids.empty() ? text : text + ", from jack " + ids;
    }
    case DescriptorKind::MidiEndpoint: {
        const std::string ids = laidText();
        return ids.empty() ? std::string() : "jacks " + ids;
    }
    case DescriptorKind::AudioEndpoint:
        if (const auto attributes = f("bmAttributes")) {
            return *AudioFieldText(d, "bmAttributes", *attributes);
        }
        return {};
    default:
        return {};
    }
}

std::string_view TerminalTypeName(std::uint16_t type) {
    struct Name {
        std::uint16_t type;
        std::string_view name;
    };
    static constexpr std::array<Name, 50> kNames = {{
        {0x0100, "USB Undefined"},
        {0x0101, "USB streaming"},
        {0x01FF, "USB vendor specific"},
        {0x0200, "Input Undefined"},
        {0x0201, "Microphone"},
        {0x0202, "Desktop microphone"},
        {0x0203, "Personal microphone"},
        {0x0204, "Omni-directional microphone"},
        {0x0205, "Microphone array"},
        {0x0206, "Processing microphone array"},
        {0x0300, "Output Undefined"},
        {0x0301, "Speaker"},
        {0x0302, "Headphones"},
        {0x0303, "Head Mounted Display Audio"},
        {0x0304, "Desktop speaker"},
        {0x0305, "Room speaker"},
        {0x0306, "Communication speaker"},
        {0x0307, "Low frequency effects speaker"},
        {0x0400, "Bi-directional Undefined"},
        {0x0401, "Handset"},
        {0x0402, "Headset"},
        {0x0403, "Speakerphone, no echo reduction"},
        {0x0404, "Echo-suppressing speakerphone"},
        {0x0405, "Echo-canceling speakerphone"},
        {0x0500, "Telephony Undefined"},
        {0x0501, "Phone line"},
        {0x0502, "Telephone"},
        {0x0503, "Down Line Phone"},
        {0x0600, "External Undefined"},
        {0x0601, "Analog connector"},
        {0x0602, "Digital audio interface"},
        {0x0603, "Line connector"},
        {0x0604, "Legacy audio connector"},
        {0x0605, "S/PDIF interface"},
        {0x0606, "1394 DA stream"},
        {0x0607, "1394 DV stream soundtrack"},
        {0x0700, "Embedded Undefined"},
        {0x0701, "Level Calibration Noise Source"},
        {0x0702, "Equalization Noise"},
        {0x0703, "CD player"},
        {0x0704, "DAT"},
        {0x0705, "DCC"},
        {0x0706, "MiniDisk"},
        {0x0707, "Analog Tape"},
        {0x0708, "Phonograph"},
        {0x0709, "VCR Audio"},
        {0x070A, "Video Disc Audio"},
        {0x070B, "DVD Audio"},
        {0x070C, "TV Tuner Audio"},
        {0x0713, "Synthesizer"},
    }};
    for (const Name& n : kNames) {
        if (n.type == type) {
            return n.name;
        }
    }
    return {};
}

std::string FeatureControlsText(std::uint32_t bits) {
    std::string s;
    for (unsigned b = 0; b < 10; ++b) {
        if ((bits >> b & 1) != 0) {
            s += (s.empty() ? "" : ", ") +
                 std::string(FeatureControlName(static_cast<std::uint8_t>(b + 1)));
        }
    }
    return s.empty() ? "none" : s;
}

std::string AudioEntityName(const InterfaceDescription* control, std::uint8_t id) {
    if (const Descriptor* d = FindEntity(control, id)) {
        return std::string(EntityKind(d->bytes[2])) + " " + std::to_string(id);
    }
    return "entity " + std::to_string(id);
}

std::optional<AudioControlValue> AudioRequestValue(const capture::SetupRequest& r,
                                                   std::span<const std::uint8_t> data,
                                                   const InterfaceDescription* interface) {
    const std::uint8_t selector = static_cast<std::uint8_t>(r.value >> 8);
    if (r.request == 0x05 || r.request == 0x85 || r.request == 0xFF) {
        return std::nullopt; // memory and status: bytes with no control of their own
    }
    if (r.recipient() == 2) { // Audio 1.0 A.10.5, endpoint control selectors
        if (selector == 0x01) {
            return data.size() < 3
                       ? std::nullopt
                       : std::optional(AudioControlValue{"Sampling Frequency", Hz(Le(data, 0, 3))});
        }
        if (selector == 0x02) {
            return data.empty() ? std::nullopt
                                : std::optional(AudioControlValue{"Pitch", OnOff(data)});
        }
        return std::nullopt;
    }
    const Descriptor* entity = FindEntity(interface, static_cast<std::uint8_t>(r.index >> 8));
    const std::uint8_t kind = entity != nullptr ? entity->bytes[2] : 0;
    if (kind == 0x06 && !FeatureControlName(selector).empty()) {
        const auto value = FeatureValue(selector, data);
        return value ? std::optional(
                           AudioControlValue{std::string(FeatureControlName(selector)), *value})
                     : std::nullopt;
    }
    if (kind == 0x05 && !data.empty()) {
        return AudioControlValue{"Selector", "input pin " + std::to_string(data[0])};
    }
    if (kind == 0x04 && data.size() >= 2) { // mixer controls are levels, as volume
        return AudioControlValue{"Mixer level",
                                 VolumeText(static_cast<std::int16_t>(Le(data, 0, 2)))};
    }
    if ((kind == 0x02 || kind == 0x03) && selector == 0x01 && !data.empty()) {
        return AudioControlValue{"Copy Protect", "CPL" + std::to_string(data[0])};
    }
    return std::nullopt;
}

std::string DescribeAudioRequest(const capture::SetupRequest& r, std::span<const std::uint8_t> data,
                                 const InterfaceDescription* interface) {
    const std::string_view name = RequestName(r.request);
    std::string text =
        name.empty() ? "audio request " + Format("0x%02X", r.request) : std::string(name);
    const std::uint8_t selector = static_cast<std::uint8_t>(r.value >> 8);
    const std::uint8_t channel = static_cast<std::uint8_t>(r.value & 0xFF);
    std::string what;
    std::string target;
    if (r.recipient() == 2) {
        what = selector == 0x01   ? "Sampling Frequency"
               : selector == 0x02 ? "Pitch"
                                  : "control " + Format("0x%02X", selector);
        target = "endpoint " + Format("0x%02X", r.index & 0xFF);
    } else {
        const std::uint8_t id = static_cast<std::uint8_t>(r.index >> 8);
        const Descriptor* entity = FindEntity(interface, id);
        const std::uint8_t kind = entity != nullptr ? entity->bytes[2] : 0;
        target = id == 0 ? "interface " + std::to_string(r.index & 0xFF)
                         : AudioEntityName(interface, id);
        if (r.request == 0x05 || r.request == 0x85) {
            what = "offset " + std::to_string(r.value);
        } else if (kind == 0x06) {
            const std::string_view control = FeatureControlName(selector);
            what =
                (control.empty() ? "control " + Format("0x%02X", selector) : std::string(control)) +
                (channel == 0 ? " master" : " ch " + std::to_string(channel));
        } else if (kind == 0x04) {
            what = "in " + std::to_string(selector) + " out " + std::to_string(channel);
        } else if (kind == 0x05) {
            what = "Selector";
        } else if ((kind == 0x02 || kind == 0x03) && selector == 0x01) {
            what = "Copy Protect";
        } else {
            what = "control " + Format("0x%02X", selector) + " ch " + std::to_string(channel);
        }
    }
    text += " " + what + ", " + target;
    if (const auto value = AudioRequestValue(r, data, interface)) {
        text += ": " + value->value;
    } else if (!data.empty()) {
        text += ": " + HexBytes(data.first(std::min<std::size_t>(data.size(), 16))) +
                (data.size() > 16 ? " \u2026" : "");
    } else if (IsSet(r.request) && r.length != 0) {
        text += " (no data)";
    }
    return text;
}

std::string VolumeText(std::int16_t value) {
    if (value == static_cast<std::int16_t>(0x8000)) {
        return "-inf dB";
    }
    return Fixed(value / 256.0) + " dB";
}

std::string NoteName(std::uint8_t note) {
    static constexpr std::array<const char*, 12> kNames = {"C",  "C#", "D",  "D#", "E",  "F",
                                                           "F#", "G",  "G#", "A",  "A#", "B"};
    return kNames[note % 12] + std::to_string(note / 12 - 1);
}

std::string_view ControllerName(std::uint8_t c) {
    switch (c) {
    case 0:
        return "Bank Select";
    case 1:
        return "Modulation";
    case 2:
        return "Breath";
    case 4:
        return "Foot";
    case 5:
        return "Portamento Time";
    case 6:
        return "Data Entry";
    case 7:
        return "Volume";
    case 8:
        return "Balance";
    case 10:
        return "Pan";
    case 11:
        return "Expression";
    case 32:
        return "Bank Select LSB";
    case 64:
        return "Sustain";
    case 65:
        return "Portamento";
    case 66:
        return "Sostenuto";
    case 67:
        return "Soft Pedal";
    case 91:
        return "Reverb";
    case 93:
        return "Chorus";
    case 98:
        return "NRPN LSB";
    case 99:
        return "NRPN MSB";
    case 100:
        return "RPN LSB";
    case 101:
        return "RPN MSB";
    case 120:
        return "All Sound Off";
    case 121:
        return "Reset All Controllers";
    case 123:
        return "All Notes Off";
    default:
        return {};
    }
}

std::string_view CodeIndexName(std::uint8_t cin) {
    static constexpr std::array<std::string_view, 16> kNames = {
        "Miscellaneous",
        "Cable event",
        "Two-byte system common",
        "Three-byte system common",
        "SysEx starts or continues",
        "Single-byte system common or SysEx ends with one byte",
        "SysEx ends with two bytes",
        "SysEx ends with three bytes",
        "Note-off",
        "Note-on",
        "Poly-KeyPress",
        "Control Change",
        "Program Change",
        "Channel Pressure",
        "PitchBend Change",
        "Single Byte"};
    return kNames[cin & 0x0F];
}

namespace {

std::string SystemMessage(std::span<const std::uint8_t> m) {
    switch (m[0]) {
    case 0xF1:
        return "MTC Quarter Frame " + Format("0x%02X", m[1]);
    case 0xF2:
        return "Song Position " + std::to_string((m[1] & 0x7F) | (m[2] & 0x7F) << 7);
    case 0xF3:
        return "Song Select " + std::to_string(m[1] & 0x7F);
    case 0xF6:
        return "Tune Request";
    case 0xF7:
        return "SysEx end F7";
    case 0xF8:
        return "Timing Clock";
    case 0xFA:
        return "Start";
    case 0xFB:
        return "Continue";
    case 0xFC:
        return "Stop";
    case 0xFE:
        return "Active Sensing";
    case 0xFF:
        return "Reset";
    default:
        return "system " + Format("0x%02X", m[0]);
    }
}

/// The channel message the three MIDI bytes hold (MIDI 1.0 4, CIN 0x8..0xE).
std::string ChannelMessage(std::uint8_t cin, std::span<const std::uint8_t> m) {
    const std::string ch = " ch " + std::to_string((m[0] & 0x0F) + 1);
    const std::uint8_t a = m[1] & 0x7F;
    const std::uint8_t b = m[2] & 0x7F;
    switch (cin) {
    case 0x8:
        return "Note Off" + ch + " " + NoteName(a) + " vel " + std::to_string(b);
    case 0x9:
        // Velocity 0 ends the note, as a running-status sender writes Note Off.
        return "Note On" + ch + " " + NoteName(a) + " vel " + std::to_string(b) +
               (b == 0 ? " (off)" : "");
    case 0xA:
        return "Poly Pressure" + ch + " " + NoteName(a) + " " + std::to_string(b);
    case 0xB: {
        const std::string_view name = ControllerName(a);
        return "CC" + ch + " " + std::to_string(a) + (name.empty() ? "" : " " + std::string(name)) +
               " " + std::to_string(b);
    }
    case 0xC:
        return "Program Change" + ch + " " + std::to_string(a);
    case 0xD:
        return "Channel Pressure" + ch + " " + std::to_string(a);
    default: { // 0xE: 14 bits, centre 8192
        const int bend = (a | b << 7) - 8192;
        return "Pitch Bend" + ch + " " + (bend > 0 ? "+" : "") + std::to_string(bend);
    }
    }
}

} // namespace

std::string DescribeMidiEvent(std::span<const std::uint8_t> p) {
    if (p.size() < 4) {
        return "event of " + std::to_string(p.size()) + " bytes";
    }
    const std::uint8_t cable = p[0] >> 4;
    const std::uint8_t cin = p[0] & 0x0F;
    const auto m = p.subspan(1, 3);
    std::string text;
    switch (cin) {
    case 0x2:
    case 0x3:
        text = SystemMessage(m);
        break;
    case 0x4:
        text = std::string(m[0] == 0xF0 ? "SysEx start " : "SysEx continue ") + HexBytes(m);
        break;
    case 0x5:
        text = m[0] == 0xF7 ? "SysEx end F7" : SystemMessage(m);
        break;
    case 0x6:
    case 0x7: {
        const auto bytes = m.first(cin == 0x6 ? 2 : 3);
        text = std::string(bytes[0] == 0xF0 ? "SysEx " : "SysEx end ") + HexBytes(bytes);
        break;
    }
    case 0xF:
        text = m[0] >= 0xF8 || m[0] == 0xF6 ? SystemMessage(m) : "byte " + Format("0x%02X", m[0]);
        break;
    case 0x0:
    case 0x1:
        text = std::string(CodeIndexName(cin)) + " " + HexBytes(m);
        break;
    default:
        text = ChannelMessage(cin, m);
        break;
    }
    return cable == 0 ? text : "cable " + std::to_string(cable) + ": " + text;
}

bool IsMidiPadding(std::span<const std::uint8_t> p) {
    return p.size() >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 0;
}

std::optional<std::string> DescribeMidiPackets(std::span<const std::uint8_t> data) {
    if (data.empty()) {
        return std::nullopt;
    }
    std::vector<std::string> lines;
    std::size_t events = 0;
    std::size_t padding = 0;
    std::size_t at = 0;
    for (; at + 4 <= data.size(); at += 4) {
        const auto p = data.subspan(at, 4);
        if (IsMidiPadding(p)) {
            ++padding;
            continue;
        }
        ++events;
        if (lines.size() < kShownEvents) {
            lines.push_back(DescribeMidiEvent(p));
        }
    }
    std::string s = lines.empty() ? std::string("no MIDI events") : lines.front();
    if (events > 1) {
        s += " (" + std::to_string(events) + " events)";
    }
    for (std::size_t i = 1; i < lines.size(); ++i) {
        s += "\n" + lines[i];
    }
    if (events > lines.size()) {
        s += "\n" + std::to_string(events - lines.size()) + " more events";
    }
    if (padding > 0) {
        s += "\n" + std::to_string(padding) + (padding == 1 ? " empty packet" : " empty packets");
    }
    if (at < data.size()) {
        s += "\n" + std::to_string(data.size() - at) + " bytes left over, not a whole event";
    }
    return s;
}

} // namespace vintrace::protocol
