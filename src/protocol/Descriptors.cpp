#include "protocol/Descriptors.h"

#include "protocol/AudioClass.h"

#include <algorithm>
#include <array>
#include <ostream>

namespace vintrace::protocol {

namespace {

constexpr std::uint8_t kTypeDevice = 1;
constexpr std::uint8_t kTypeConfiguration = 2;
constexpr std::uint8_t kTypeString = 3;
constexpr std::uint8_t kTypeInterface = 4;
constexpr std::uint8_t kTypeEndpoint = 5;
constexpr std::uint8_t kTypeDeviceQualifier = 6;
constexpr std::uint8_t kTypeOtherSpeed = 7;
constexpr std::uint8_t kTypeAssociation = 11;
constexpr std::uint8_t kTypeHid = 0x21;
constexpr std::uint8_t kTypeClassInterface = 0x24;
constexpr std::uint8_t kTypeClassEndpoint = 0x25;
constexpr std::uint8_t kClassAudio = 0x01;
constexpr std::uint8_t kSubclassAudioControl = 0x01;
constexpr std::uint8_t kSubclassAudioStreaming = 0x02;
constexpr std::uint8_t kSubclassMidiStreaming = 0x03;
constexpr std::uint8_t kClassCommunications = 0x02;
constexpr std::uint8_t kClassHid = 0x03;
constexpr std::uint8_t kClassApplicationSpecific = 0xFE;
constexpr std::uint8_t kSubclassDfu = 0x01;

constexpr DescriptorField kDevice[] = {
    {"bLength", 0, 1},         {"bDescriptorType", 1, 1},    {"bcdUSB", 2, 2},
    {"bDeviceClass", 4, 1},    {"bDeviceSubClass", 5, 1},    {"bDeviceProtocol", 6, 1},
    {"bMaxPacketSize0", 7, 1}, {"idVendor", 8, 2},           {"idProduct", 10, 2},
    {"bcdDevice", 12, 2},      {"iManufacturer", 14, 1},     {"iProduct", 15, 1},
    {"iSerialNumber", 16, 1},  {"bNumConfigurations", 17, 1}};
constexpr DescriptorField kConfiguration[] = {{"bLength", 0, 1},
                                              {"bDescriptorType", 1, 1},
                                              {"wTotalLength", 2, 2},
                                              {"bNumInterfaces", 4, 1},
                                              {"bConfigurationValue", 5, 1},
                                              {"iConfiguration", 6, 1},
                                              {"bmAttributes", 7, 1},
                                              {"bMaxPower", 8, 1}};
constexpr DescriptorField kString[] = {{"bLength", 0, 1}, {"bDescriptorType", 1, 1}};
constexpr DescriptorField kInterface[] = {{"bLength", 0, 1},
                                          {"bDescriptorType", 1, 1},
                                          {"bInterfaceNumber", 2, 1},
                                          {"bAlternateSetting", 3, 1},
                                          {"bNumEndpoints", 4, 1},
                                          {"bInterfaceClass", 5, 1},
                                          {"bInterfaceSubClass", 6, 1},
                                          {"bInterfaceProtocol", 7, 1},
                                          {"iInterface", 8, 1}};
constexpr DescriptorField kEndpoint[] = {{"bLength", 0, 1},          {"bDescriptorType", 1, 1},
                                         {"bEndpointAddress", 2, 1}, {"bmAttributes", 3, 1},
                                         {"wMaxPacketSize", 4, 2},   {"bInterval", 6, 1}};
constexpr DescriptorField kQualifier[] = {
    {"bLength", 0, 1},         {"bDescriptorType", 1, 1},    {"bcdUSB", 2, 2},
    {"bDeviceClass", 4, 1},    {"bDeviceSubClass", 5, 1},    {"bDeviceProtocol", 6, 1},
    {"bMaxPacketSize0", 7, 1}, {"bNumConfigurations", 8, 1}, {"bReserved", 9, 1}};
constexpr DescriptorField kAssociation[] = {
    {"bLength", 0, 1},           {"bDescriptorType", 1, 1}, {"bFirstInterface", 2, 1},
    {"bInterfaceCount", 3, 1},   {"bFunctionClass", 4, 1},  {"bFunctionSubClass", 5, 1},
    {"bFunctionProtocol", 6, 1}, {"iFunction", 7, 1}};
// The first class descriptor only; more follow as pairs that stay in the bytes.
constexpr DescriptorField kHid[] = {{"bLength", 0, 1},          {"bDescriptorType", 1, 1},
                                    {"bcdHID", 2, 2},           {"bCountryCode", 4, 1},
                                    {"bNumDescriptors", 5, 1},  {"bReportDescriptorType", 6, 1},
                                    {"wDescriptorLength", 7, 2}};
// DFU 1.1 4.1.3, the run-time and DFU-mode functional descriptor.
constexpr DescriptorField kDfu[] = {{"bLength", 0, 1},       {"bDescriptorType", 1, 1},
                                    {"bmAttributes", 2, 1},  {"wDetachTimeOut", 3, 2},
                                    {"wTransferSize", 5, 2}, {"bcdDFUVersion", 7, 2}};
constexpr DescriptorField kCdcCommon[] = {
    {"bLength", 0, 1}, {"bDescriptorType", 1, 1}, {"bDescriptorSubtype", 2, 1}};
constexpr DescriptorField kCdcHeader[] = {
    {"bLength", 0, 1}, {"bDescriptorType", 1, 1}, {"bDescriptorSubtype", 2, 1}, {"bcdCDC", 3, 2}};
constexpr DescriptorField kCdcCallManagement[] = {{"bLength", 0, 1},
                                                  {"bDescriptorType", 1, 1},
                                                  {"bDescriptorSubtype", 2, 1},
                                                  {"bmCapabilities", 3, 1},
                                                  {"bDataInterface", 4, 1}};
constexpr DescriptorField kCdcAcm[] = {{"bLength", 0, 1},
                                       {"bDescriptorType", 1, 1},
                                       {"bDescriptorSubtype", 2, 1},
                                       {"bmCapabilities", 3, 1}};
constexpr DescriptorField kCdcUnion[] = {{"bLength", 0, 1},
                                         {"bDescriptorType", 1, 1},
                                         {"bDescriptorSubtype", 2, 1},
                                         {"bControlInterface", 3, 1},
                                         {"bSubordinateInterface0", 4, 1}};
// Audio 1.0 4.3.2: audio control interface descriptors, up to their first list.
constexpr DescriptorField kAcHeader[] = {
    {"bLength", 0, 1}, {"bDescriptorType", 1, 1}, {"bDescriptorSubtype", 2, 1},
    {"bcdADC", 3, 2},  {"wTotalLength", 5, 2},    {"bInCollection", 7, 1}};
constexpr DescriptorField kAcInputTerminal[] = {
    {"bLength", 0, 1},     {"bDescriptorType", 1, 1}, {"bDescriptorSubtype", 2, 1},
    {"bTerminalID", 3, 1}, {"wTerminalType", 4, 2},   {"bAssocTerminal", 6, 1},
    {"bNrChannels", 7, 1}, {"wChannelConfig", 8, 2},  {"iChannelNames", 10, 1},
    {"iTerminal", 11, 1}};
constexpr DescriptorField kAcOutputTerminal[] = {
    {"bLength", 0, 1},     {"bDescriptorType", 1, 1}, {"bDescriptorSubtype", 2, 1},
    {"bTerminalID", 3, 1}, {"wTerminalType", 4, 2},   {"bAssocTerminal", 6, 1},
    {"bSourceID", 7, 1},   {"iTerminal", 8, 1}};
constexpr DescriptorField kAcMixerSelector[] = {{"bLength", 0, 1},
                                                {"bDescriptorType", 1, 1},
                                                {"bDescriptorSubtype", 2, 1},
                                                {"bUnitID", 3, 1},
                                                {"bNrInPins", 4, 1}};
constexpr DescriptorField kAcFeature[] = {
    {"bLength", 0, 1}, {"bDescriptorType", 1, 1}, {"bDescriptorSubtype", 2, 1},
    {"bUnitID", 3, 1}, {"bSourceID", 4, 1},       {"bControlSize", 5, 1}};
constexpr DescriptorField kAcProcessing[] = {
    {"bLength", 0, 1}, {"bDescriptorType", 1, 1}, {"bDescriptorSubtype", 2, 1},
    {"bUnitID", 3, 1}, {"wProcessType", 4, 2},    {"bNrInPins", 6, 1}};
constexpr DescriptorField kAcExtension[] = {
    {"bLength", 0, 1}, {"bDescriptorType", 1, 1}, {"bDescriptorSubtype", 2, 1},
    {"bUnitID", 3, 1}, {"wExtensionCode", 4, 2},  {"bNrInPins", 6, 1}};
// Audio 1.0 4.5.2 and the format type descriptors of Audio Data Formats 1.0 2.2.5 / 2.3.5.
constexpr DescriptorField kAsGeneral[] = {
    {"bLength", 0, 1},       {"bDescriptorType", 1, 1}, {"bDescriptorSubtype", 2, 1},
    {"bTerminalLink", 3, 1}, {"bDelay", 4, 1},          {"wFormatTag", 5, 2}};
constexpr DescriptorField kAsFormatCommon[] = {{"bLength", 0, 1},
                                               {"bDescriptorType", 1, 1},
                                               {"bDescriptorSubtype", 2, 1},
                                               {"bFormatType", 3, 1}};
constexpr DescriptorField kAsFormatI[] = {
    {"bLength", 0, 1},        {"bDescriptorType", 1, 1}, {"bDescriptorSubtype", 2, 1},
    {"bFormatType", 3, 1},    {"bNrChannels", 4, 1},     {"bSubframeSize", 5, 1},
    {"bBitResolution", 6, 1}, {"bSamFreqType", 7, 1}};
constexpr DescriptorField kAsFormatII[] = {
    {"bLength", 0, 1},     {"bDescriptorType", 1, 1}, {"bDescriptorSubtype", 2, 1},
    {"bFormatType", 3, 1}, {"wMaxBitRate", 4, 2},     {"wSamplesPerFrame", 6, 2},
    {"bSamFreqType", 8, 1}};
// Audio 1.0 4.6.1.2, the class-specific isochronous audio data endpoint.
constexpr DescriptorField kAsEndpoint[] = {
    {"bLength", 0, 1},      {"bDescriptorType", 1, 1}, {"bDescriptorSubtype", 2, 1},
    {"bmAttributes", 3, 1}, {"bLockDelayUnits", 4, 1}, {"wLockDelay", 5, 2}};
// USB MIDI 1.0 6.1.2 and 6.2.2.
constexpr DescriptorField kMsHeader[] = {{"bLength", 0, 1},
                                         {"bDescriptorType", 1, 1},
                                         {"bDescriptorSubtype", 2, 1},
                                         {"bcdMSC", 3, 2},
                                         {"wTotalLength", 5, 2}};
constexpr DescriptorField kMsInJack[] = {
    {"bLength", 0, 1},   {"bDescriptorType", 1, 1}, {"bDescriptorSubtype", 2, 1},
    {"bJackType", 3, 1}, {"bJackID", 4, 1},         {"iJack", 5, 1}};
constexpr DescriptorField kMsOutJack[] = {
    {"bLength", 0, 1},   {"bDescriptorType", 1, 1}, {"bDescriptorSubtype", 2, 1},
    {"bJackType", 3, 1}, {"bJackID", 4, 1},         {"bNrInputPins", 5, 1}};
constexpr DescriptorField kMsElement[] = {{"bLength", 0, 1},
                                          {"bDescriptorType", 1, 1},
                                          {"bDescriptorSubtype", 2, 1},
                                          {"bElementID", 3, 1},
                                          {"bNrInputPins", 4, 1}};
constexpr DescriptorField kMsEndpoint[] = {{"bLength", 0, 1},
                                           {"bDescriptorType", 1, 1},
                                           {"bDescriptorSubtype", 2, 1},
                                           {"bNumEmbMIDIJack", 3, 1}};
// An audio endpoint is two bytes longer than others (Audio 1.0 4.6.1.1).
constexpr DescriptorField kAudioEndpoint[] = {{"bLength", 0, 1},          {"bDescriptorType", 1, 1},
                                              {"bEndpointAddress", 2, 1}, {"bmAttributes", 3, 1},
                                              {"wMaxPacketSize", 4, 2},   {"bInterval", 6, 1},
                                              {"bRefresh", 7, 1},         {"bSynchAddress", 8, 1}};
constexpr DescriptorField kOther[] = {{"bLength", 0, 1}, {"bDescriptorType", 1, 1}};

std::string Text(const char* what, std::size_t a) {
    return std::string(what) + " " + std::to_string(a);
}

/// Copies one descriptor starting at `at`: bLength bytes, or what is left when it runs past
/// the end (reported).
/// `cut` says the transfer asked for no more than the data holds, so stopping short is the
/// host's choice rather than a fault.
Descriptor Take(std::span<const std::uint8_t> data, std::size_t at, DescriptorKind kind,
                std::vector<DescriptorProblem>& problems, bool cut = false) {
    Descriptor d;
    d.kind = kind;
    const std::size_t left = data.size() - at;
    std::size_t length = left;
    if (left >= 1) {
        const std::size_t bLength = data[at];
        if (bLength < 2) {
            problems.push_back({at, Text("bLength", bLength) + " is too small"});
        } else if (bLength > left && !cut) {
            problems.push_back({at, Text("bLength", bLength) + " is past the end: " +
                                        std::to_string(left) + " bytes left"});
        } else {
            length = std::min(bLength, left);
        }
    }
    d.bytes.assign(data.begin() + static_cast<std::ptrdiff_t>(at),
                   data.begin() + static_cast<std::ptrdiff_t>(at + length));
    return d;
}

std::uint8_t ExpectedType(DescriptorKind k) {
    switch (k) {
    case DescriptorKind::Device:
        return kTypeDevice;
    case DescriptorKind::Configuration:
        return kTypeConfiguration;
    case DescriptorKind::String:
        return kTypeString;
    case DescriptorKind::Interface:
        return kTypeInterface;
    case DescriptorKind::Endpoint:
        return kTypeEndpoint;
    case DescriptorKind::DeviceQualifier:
        return kTypeDeviceQualifier;
    case DescriptorKind::OtherSpeedConfiguration:
        return kTypeOtherSpeed;
    case DescriptorKind::InterfaceAssociation:
        return kTypeAssociation;
    case DescriptorKind::Hid:
        return kTypeHid;
    case DescriptorKind::CdcFunctional:
        return kTypeClassInterface;
    case DescriptorKind::DfuFunctional:
        return kTypeHid;
    case DescriptorKind::AudioControl:
    case DescriptorKind::AudioStreaming:
    case DescriptorKind::MidiStreaming:
        return kTypeClassInterface;
    case DescriptorKind::AudioEndpoint:
    case DescriptorKind::MidiEndpoint:
        return kTypeClassEndpoint;
    case DescriptorKind::Other:
        break;
    }
    return 0;
}

/// The first check every whole descriptor gets: present, long enough, of the expected type.
void CheckHead(std::span<const std::uint8_t> data, DescriptorKind expected,
               std::vector<DescriptorProblem>& problems) {
    if (data.size() < 2) {
        problems.push_back({0, Text("only", data.size()) + " bytes: no descriptor header"});
        return;
    }
    const std::uint8_t type = ExpectedType(expected);
    if (type != 0 && data[1] != type) {
        problems.push_back({1, Text("bDescriptorType", data[1]) + " where " + std::to_string(type) +
                                   " (" + std::string(KindName(expected)) + ") was asked for"});
    }
}

} // namespace

std::span<const DescriptorField> Descriptor::fields() const {
    switch (kind) {
    case DescriptorKind::Device:
        return kDevice;
    case DescriptorKind::Configuration:
    case DescriptorKind::OtherSpeedConfiguration:
        return kConfiguration;
    case DescriptorKind::String:
        return kString;
    case DescriptorKind::Interface:
        return kInterface;
    case DescriptorKind::Endpoint:
        return bytes.size() >= 9 && bytes[0] == 9 ? std::span<const DescriptorField>(kAudioEndpoint)
                                                  : std::span<const DescriptorField>(kEndpoint);
    case DescriptorKind::DeviceQualifier:
        return kQualifier;
    case DescriptorKind::InterfaceAssociation:
        return kAssociation;
    case DescriptorKind::Hid:
        return kHid;
    case DescriptorKind::CdcFunctional:
        switch (bytes.size() > 2 ? bytes[2] : 0xFF) {
        case 0x00:
            return kCdcHeader;
        case 0x01:
            return kCdcCallManagement;
        case 0x02:
            return kCdcAcm;
        case 0x06:
            return kCdcUnion;
        default:
            return kCdcCommon;
        }
    case DescriptorKind::DfuFunctional:
        return kDfu;
    case DescriptorKind::AudioControl:
        switch (bytes.size() > 2 ? bytes[2] : 0xFF) {
        case 0x01:
            return kAcHeader;
        case 0x02:
            return kAcInputTerminal;
        case 0x03:
            return kAcOutputTerminal;
        case 0x04:
        case 0x05:
            return kAcMixerSelector;
        case 0x06:
            return kAcFeature;
        case 0x07:
            return kAcProcessing;
        case 0x08:
            return kAcExtension;
        default:
            return kCdcCommon;
        }
    case DescriptorKind::AudioStreaming:
        if (bytes.size() > 2 && bytes[2] == 0x01) {
            return kAsGeneral;
        }
        if (bytes.size() > 3 && bytes[2] == 0x02) {
            return bytes[3] == 1 || bytes[3] == 3 ? std::span<const DescriptorField>(kAsFormatI)
                   : bytes[3] == 2                ? std::span<const DescriptorField>(kAsFormatII)
                                   : std::span<const DescriptorField>(kAsFormatCommon);
        }
        return kCdcCommon;
    case DescriptorKind::MidiStreaming:
        switch (bytes.size() > 2 ? bytes[2] : 0xFF) {
        case 0x01:
            return kMsHeader;
        case 0x02:
            return kMsInJack;
        case 0x03:
            return kMsOutJack;
        case 0x04:
            return kMsElement;
        default:
            return kCdcCommon;
        }
    case DescriptorKind::AudioEndpoint:
        return bytes.size() > 2 && bytes[2] == 0x01 ? std::span<const DescriptorField>(kAsEndpoint)
                                                    : std::span<const DescriptorField>(kCdcCommon);
    case DescriptorKind::MidiEndpoint:
        return bytes.size() > 2 && bytes[2] == 0x01 ? std::span<const DescriptorField>(kMsEndpoint)
                                                    : std::span<const DescriptorField>(kCdcCommon);
    case DescriptorKind::Other:
        break;
    }
    return kOther;
}

std::size_t Descriptor::fixedSize() const {
    std::size_t end = 0;
    for (const DescriptorField& f : fields()) {
        end = std::max<std::size_t>(end, std::size_t{f.offset} + f.size);
    }
    return end;
}

std::optional<std::uint16_t> Descriptor::field(std::string_view name) const {
    for (const DescriptorField& f : fields()) {
        if (f.name != name) {
            continue;
        }
        if (std::size_t{f.offset} + f.size > bytes.size()) {
            return std::nullopt;
        }
        std::uint16_t value = bytes[f.offset];
        if (f.size == 2) {
            value = static_cast<std::uint16_t>(value | bytes[f.offset + 1] << 8);
        }
        return value;
    }
    return std::nullopt;
}

ParsedDescriptor ParseDescriptor(std::span<const std::uint8_t> data, DescriptorKind expected,
                                 std::size_t requested) {
    ParsedDescriptor out;
    CheckHead(data, expected, out.problems);
    out.descriptor = Take(data, 0, expected, out.problems, requested <= data.size());
    const std::size_t taken = out.descriptor.bytes.size();
    if (data.size() > taken && taken >= 2) {
        out.problems.push_back({taken, std::to_string(data.size() - taken) +
                                           " bytes follow the descriptor's bLength"});
    }
    return out;
}

ConfigurationDescription ParseConfiguration(std::span<const std::uint8_t> data,
                                            std::size_t requested) {
    ConfigurationDescription out;
    const DescriptorKind kind = data.size() > 1 && data[1] == kTypeOtherSpeed
                                    ? DescriptorKind::OtherSpeedConfiguration
                                    : DescriptorKind::Configuration;
    CheckHead(data, kind, out.problems);
    if (data.empty()) {
        return out;
    }
    const bool cut = requested <= data.size();
    out.descriptor = Take(data, 0, kind, out.problems, cut);
    out.places.push_back({0, out.descriptor.bytes.size(), kind});
    const auto total = out.descriptor.field("wTotalLength");
    std::size_t end = data.size();
    if (total) {
        if (*total < out.descriptor.bytes.size()) {
            out.problems.push_back(
                {2, Text("wTotalLength", *total) + " is shorter than the descriptor itself"});
        } else if (data.size() > *total) {
            out.problems.push_back({2, Text("wTotalLength", *total) + " disagrees with the " +
                                           std::to_string(data.size()) + " bytes delivered"});
            end = *total;
        } else if (data.size() < *total && requested > data.size()) {
            out.problems.push_back(
                {data.size(), Text("wTotalLength", *total) + " disagrees with the " +
                                  std::to_string(data.size()) + " bytes delivered"});
        }
        out.complete = data.size() >= *total;
    }
    const std::span<const std::uint8_t> body = data.first(end);
    // Only data the request stopped before wTotalLength may end inside a descriptor.
    const bool innerCut = cut && total && data.size() < *total;
    std::size_t at = out.descriptor.bytes.size();
    if (out.descriptor.bytes.size() < 2) {
        return out; // a bLength too small to step over
    }
    while (at < body.size()) {
        const std::uint8_t type = body.size() - at > 1 ? body[at + 1] : 0;
        DescriptorKind k = DescriptorKind::Other;
        InterfaceDescription* current = out.interfaces.empty() ? nullptr : &out.interfaces.back();
        switch (type) {
        case kTypeInterface:
            k = DescriptorKind::Interface;
            break;
        case kTypeEndpoint:
            k = DescriptorKind::Endpoint;
            break;
        case kTypeAssociation:
            k = DescriptorKind::InterfaceAssociation;
            break;
        case kTypeHid:
            // The same type number means different things in different classes.
            if (current && current->descriptor.field("bInterfaceClass") == kClassHid) {
                k = DescriptorKind::Hid;
            } else if (current &&
                       current->descriptor.field("bInterfaceClass") == kClassApplicationSpecific &&
                       current->descriptor.field("bInterfaceSubClass") == kSubclassDfu) {
                k = DescriptorKind::DfuFunctional;
            }
            break;
        case kTypeClassInterface:
            if (current && current->descriptor.field("bInterfaceClass") == kClassCommunications) {
                k = DescriptorKind::CdcFunctional;
            } else if (current && current->descriptor.field("bInterfaceClass") == kClassAudio) {
                switch (current->descriptor.field("bInterfaceSubClass").value_or(0)) {
                case kSubclassAudioControl:
                    k = DescriptorKind::AudioControl;
                    break;
                case kSubclassAudioStreaming:
                    k = DescriptorKind::AudioStreaming;
                    break;
                case kSubclassMidiStreaming:
                    k = DescriptorKind::MidiStreaming;
                    break;
                default:
                    break;
                }
            }
            break;
        case kTypeClassEndpoint:
            // Only after an endpoint: the same type before one means something else.
            if (current && !current->endpoints.empty() &&
                current->descriptor.field("bInterfaceClass") == kClassAudio) {
                const auto subclass = current->descriptor.field("bInterfaceSubClass");
                if (subclass == kSubclassAudioStreaming) {
                    k = DescriptorKind::AudioEndpoint;
                } else if (subclass == kSubclassMidiStreaming) {
                    k = DescriptorKind::MidiEndpoint;
                }
            }
            break;
        default:
            break;
        }
        const std::size_t before = out.problems.size();
        Descriptor d = Take(body, at, k, out.problems, innerCut);
        const bool stop = out.problems.size() != before; // a length we cannot step over
        if (IsAudioKind(k)) {
            for (const DescriptorProblem& p : LayAudioDescriptor(d).problems) {
                out.problems.push_back({at + p.offset, p.what});
            }
        }
        out.places.push_back({at, d.bytes.size(), k});
        at += d.bytes.size();
        if (k == DescriptorKind::Interface) {
            out.interfaces.push_back({std::move(d), {}, {}, {}});
        } else if (k == DescriptorKind::InterfaceAssociation) {
            out.associations.push_back(std::move(d));
        } else if (k == DescriptorKind::Endpoint && current) {
            current->endpoints.push_back(std::move(d));
            current->endpointExtra.emplace_back();
        } else if (current && !current->endpoints.empty()) {
            // Kept with the endpoint it follows (an audio or MIDI streaming endpoint's 0x25).
            current->endpointExtra.back().push_back(std::move(d));
        } else if (current) {
            current->extra.push_back(std::move(d));
        } else {
            out.extra.push_back(std::move(d));
        }
        if (stop) {
            break;
        }
    }
    return out;
}

ParsedString ParseString(std::span<const std::uint8_t> data, std::size_t requested) {
    ParsedString out;
    CheckHead(data, DescriptorKind::String, out.problems);
    const Descriptor d =
        Take(data, 0, DescriptorKind::String, out.problems, requested <= data.size());
    if (d.bytes.size() < 2) {
        return out;
    }
    // bLength decides: a string cut short by wLength may stop at any byte.
    if (d.bytes[0] >= 2 && d.bytes[0] % 2 != 0) {
        out.problems.push_back({0, Text("odd length", d.bytes[0]) + " for UTF-16 text"});
    }
    auto append = [&out](std::uint32_t c) {
        if (c < 0x80) {
            out.text += static_cast<char>(c);
        } else if (c < 0x800) {
            out.text += static_cast<char>(0xC0 | c >> 6);
            out.text += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out.text += static_cast<char>(0xE0 | c >> 12);
            out.text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out.text += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out.text += static_cast<char>(0xF0 | c >> 18);
            out.text += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out.text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out.text += static_cast<char>(0x80 | (c & 0x3F));
        }
    };
    const std::size_t units = (d.bytes.size() - 2) / 2;
    auto unit = [&d](std::size_t i) -> std::uint32_t {
        return d.bytes[2 + 2 * i] | static_cast<std::uint32_t>(d.bytes[3 + 2 * i]) << 8;
    };
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint32_t u = unit(i);
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units && unit(i + 1) >= 0xDC00 &&
            unit(i + 1) < 0xE000) {
            append(0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u < 0xE000) {
            append(0xFFFD);
            // A high surrogate last in data cut short may have lost its partner to the cut.
            const bool cutPair = u < 0xDC00 && i + 1 == units && d.bytes.size() < d.bytes[0];
            if (!out.unpairedSurrogate && !cutPair) {
                out.unpairedSurrogate = 2 + 2 * i;
            }
        } else {
            append(u);
        }
    }
    return out;
}

ParsedLanguages ParseLanguages(std::span<const std::uint8_t> data, std::size_t requested) {
    ParsedLanguages out;
    CheckHead(data, DescriptorKind::String, out.problems);
    const Descriptor d =
        Take(data, 0, DescriptorKind::String, out.problems, requested <= data.size());
    if (!d.bytes.empty() && d.bytes[0] >= 2 && d.bytes[0] % 2 != 0) {
        out.problems.push_back({0, Text("odd length", d.bytes[0]) + " for language IDs"});
    }
    for (std::size_t i = 2; i + 1 < d.bytes.size(); i += 2) {
        out.languages.push_back(static_cast<std::uint16_t>(d.bytes[i] | d.bytes[i + 1] << 8));
    }
    return out;
}

DescriptorKind KindOfRequestedType(std::uint8_t type) {
    switch (type) {
    case kTypeDevice:
        return DescriptorKind::Device;
    case kTypeConfiguration:
        return DescriptorKind::Configuration;
    case kTypeString:
        return DescriptorKind::String;
    case kTypeInterface:
        return DescriptorKind::Interface;
    case kTypeEndpoint:
        return DescriptorKind::Endpoint;
    case kTypeDeviceQualifier:
        return DescriptorKind::DeviceQualifier;
    case kTypeOtherSpeed:
        return DescriptorKind::OtherSpeedConfiguration;
    case kTypeAssociation:
        return DescriptorKind::InterfaceAssociation;
    case kTypeHid:
        return DescriptorKind::Hid;
    default:
        return DescriptorKind::Other;
    }
}

std::string_view KindName(DescriptorKind k) {
    static constexpr std::array<std::string_view, 17> kNames = {"device",
                                                                "configuration",
                                                                "string",
                                                                "interface",
                                                                "endpoint",
                                                                "device qualifier",
                                                                "other-speed configuration",
                                                                "interface association",
                                                                "HID",
                                                                "CDC functional",
                                                                "DFU functional",
                                                                "audio control",
                                                                "audio streaming",
                                                                "MIDI streaming",
                                                                "audio endpoint",
                                                                "MIDI endpoint",
                                                                "other"};
    const auto i = static_cast<std::size_t>(k);
    return i < kNames.size() ? kNames[i] : "?";
}

std::string_view ClassName(std::uint8_t code) {
    switch (code) {
    case 0x00:
        return "(Defined at Interface level)";
    case 0x01:
        return "Audio";
    case 0x02:
        return "Communications";
    case 0x03:
        return "Human Interface Device";
    case 0x05:
        return "Physical Interface Device";
    case 0x06:
        return "Imaging";
    case 0x07:
        return "Printer";
    case 0x08:
        return "Mass Storage";
    case 0x09:
        return "Hub";
    case 0x0A:
        return "CDC Data";
    case 0x0B:
        return "Chip/SmartCard";
    case 0x0D:
        return "Content Security";
    case 0x0E:
        return "Video";
    case 0x0F:
        return "Personal Healthcare";
    case 0x10:
        return "Audio/Video";
    case 0x11:
        return "Billboard";
    case 0xDC:
        return "Diagnostic";
    case 0xE0:
        return "Wireless";
    case 0xEF:
        return "Miscellaneous Device";
    case 0xFE:
        return "Application Specific Interface";
    case 0xFF:
        return "Vendor Specific Class";
    default:
        return {};
    }
}

std::string_view EndpointTypeName(std::uint8_t bmAttributes) {
    static constexpr std::array<std::string_view, 4> kNames = {"control", "isochronous", "bulk",
                                                               "interrupt"};
    return kNames[bmAttributes & 3];
}

std::string ToString(const Descriptor& d) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s(KindName(d.kind));
    s += ' ';
    for (std::uint8_t b : d.bytes) {
        s += kDigits[b >> 4];
        s += kDigits[b & 0x0F];
    }
    return s;
}

std::ostream& operator<<(std::ostream& os, const Descriptor& d) {
    return os << ToString(d);
}

std::ostream& operator<<(std::ostream& os, const DescriptorProblem& p) {
    return os << "at " << p.offset << ": " << p.what;
}

std::size_t DeliveredSize(const ConfigurationDescription& c) {
    std::size_t n = c.descriptor.bytes.size();
    for (const Descriptor& d : c.extra) {
        n += d.bytes.size();
    }
    for (const Descriptor& d : c.associations) {
        n += d.bytes.size();
    }
    for (const InterfaceDescription& i : c.interfaces) {
        n += i.descriptor.bytes.size();
        for (const Descriptor& d : i.extra) {
            n += d.bytes.size();
        }
        for (const Descriptor& d : i.endpoints) {
            n += d.bytes.size();
        }
        for (const std::vector<Descriptor>& after : i.endpointExtra) {
            for (const Descriptor& d : after) {
                n += d.bytes.size();
            }
        }
    }
    return n;
}

const std::vector<Descriptor>& InterfaceDescription::after(std::size_t position) const {
    static const std::vector<Descriptor> kNothing;
    return position < endpointExtra.size() ? endpointExtra[position] : kNothing;
}

} // namespace vintrace::protocol
