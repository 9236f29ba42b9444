// libFuzzer target for the descriptor and HID report-descriptor parsers, the mass-storage
// readers, the serial converters' requests and status headers, BOS and Microsoft OS
// descriptors, audio and MIDI class descriptors, requests and event packets, and the field
// trees built on them. The first input byte
// picks what the rest is parsed as and the request length; every parser must stay within the
// input (the sanitizers catch a read past it) and keep its own promises, checked below.
#include "protocol/AudioClass.h"
#include "protocol/ClassDecoder.h"
#include "protocol/Descriptors.h"
#include "protocol/DeviceCapabilities.h"
#include "protocol/FieldTree.h"
#include "protocol/HidReport.h"
#include "protocol/VendorSerial.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

using namespace vintrace::protocol;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "descriptor fuzz: %s\n", what);
    std::abort();
}

void Touch(const Descriptor& d) {
    for (const DescriptorField& f : d.fields()) {
        if (d.field(f.name) && std::size_t{f.offset} + f.size > d.bytes.size()) {
            Fail("a field read past the descriptor's bytes");
        }
    }
}

/// Every field lies within its parent's bytes, and the outermost within the input.
/// Every laid-out field and part lies within the input and within what was read.
void CheckLaid(const LaidDescriptor& d, std::size_t size) {
    if (d.end > size) {
        Fail("a laid-out descriptor ends past the input");
    }
    auto within = [&d](const LaidField& f) {
        if (f.offset > d.end || f.size > d.end - f.offset) {
            Fail("a laid-out field lies past what was read");
        }
    };
    for (const LaidField& f : d.header) {
        within(f);
    }
    for (const LaidBlock& b : d.blocks) {
        if (b.offset + b.length > d.end || b.rawOffset + b.rawLength > b.offset + b.length) {
            Fail("a capability or function lies past what was read");
        }
        for (const LaidField& f : b.fields) {
            within(f);
        }
    }
}

void CheckNested(const std::vector<FieldNode>& nodes, std::size_t begin, std::size_t end) {
    for (const FieldNode& n : nodes) {
        if (n.offset < begin || n.offset > end || n.length > end - n.offset) {
            Fail("a field's bytes lie outside its parent's");
        }
        CheckNested(n.children, n.offset, n.offset + n.length);
    }
}

/// One audio or MIDI class descriptor of each kind over the same bytes: its laid-out fields
/// within the bytes and bLength, its texts and detail in bounds.
void CheckAudio(std::span<const std::uint8_t> body) {
    for (const DescriptorKind kind : {DescriptorKind::AudioControl, DescriptorKind::AudioStreaming,
                                      DescriptorKind::MidiStreaming, DescriptorKind::AudioEndpoint,
                                      DescriptorKind::MidiEndpoint}) {
        const Descriptor d{kind, {body.begin(), body.end()}};
        Touch(d);
        const AudioLayout layout = LayAudioDescriptor(d);
        const std::size_t limit =
            d.bytes.empty() ? 0 : std::min<std::size_t>(d.bytes.size(), d.bytes[0]);
        for (const LaidField& f : layout.fields) {
            if (f.offset + f.size > limit) {
                Fail("an audio descriptor's field lies past its bytes or bLength");
            }
        }
        (void)AudioDescriptorSummary(d);
        (void)AudioDescriptorTitle(d);
        CheckNested(DescriptorTree(d, nullptr, nullptr).fields, 0, body.size());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t selector = data[0];
    const std::span<const std::uint8_t> body(data + 1, size - 1);
    const std::size_t requested = selector & 0x80 ? body.size() : body.size() / 2;
    switch (selector & 7) {
    case 0: {
        const ParsedDescriptor p = ParseDescriptor(body, DescriptorKind::Device, requested);
        if (p.descriptor.bytes.size() > body.size()) {
            Fail("a descriptor holds more than the input");
        }
        Touch(p.descriptor);
        CheckNested(DescriptorDataFields(1, 0, body, 0, nullptr, nullptr), 0, body.size());
        CheckNested({SetupFields(body, 0)}, 0, body.size());
        break;
    }
    case 1:
    case 2: {
        const ConfigurationDescription c = ParseConfiguration(body, requested);
        if (DeliveredSize(c) > body.size()) {
            Fail("a configuration holds more bytes than the input");
        }
        Touch(c.descriptor);
        for (const InterfaceDescription& i : c.interfaces) {
            Touch(i.descriptor);
            for (const Descriptor& d : i.extra) {
                Touch(d);
            }
            for (std::size_t e = 0; e < i.endpoints.size(); ++e) {
                Touch(i.endpoints[e]);
                for (const Descriptor& d : i.after(e)) {
                    Touch(d);
                }
            }
        }
        CheckNested(DescriptorDataFields(2, 0, body, 0, nullptr, nullptr), 0, body.size());
        break;
    }
    case 3:
        (void)ParseString(body, requested);
        (void)ParseLanguages(body, requested);
        CheckNested(DescriptorDataFields(3, selector >> 4, body, 0, nullptr, nullptr), 0,
                    body.size());
        break;
    case 4:
        // The mass-storage and SCSI readers take their lengths from the bytes too.
        (void)DescribeMassStorage(body);
        (void)DescribeScsiCommand(body);
        for (std::uint8_t op : {0x03, 0x12, 0x1A, 0x25}) {
            (void)DescribeScsiData(op, body);
        }
        CheckNested(MassStorageFields(body, 0), 0, body.size());
        CheckNested({LineCodingFields(body, 0)}, 0, body.size());
        // A serial converter's request (a setup packet, then its data stage) for each family,
        // and FTDI IN packets of up to 64 bytes, each from a status header on.
        if (const auto setup = vintrace::capture::ParseSetupRequest(body)) {
            for (const SerialChipFamily family :
                 {SerialChipFamily::Ftdi, SerialChipFamily::Cp210x, SerialChipFamily::Ch34x,
                  SerialChipFamily::Pl2303}) {
                (void)DescribeSerialChipRequest({family, "", (selector & 0x10) != 0}, *setup,
                                                body.subspan(8));
            }
        }
        {
            std::vector<std::vector<std::uint8_t>> packets;
            const std::size_t step = static_cast<std::size_t>((selector >> 4) & 7) * 9 + 1;
            for (std::size_t at = 0; at < body.size(); at += step) {
                const auto p = body.subspan(at, std::min(step, body.size() - at));
                packets.emplace_back(p.begin(), p.end());
            }
            if (StripFtdiStatus(packets).size() > body.size()) {
                Fail("FTDI data longer than its packets");
            }
            (void)DescribeFtdiIn(packets);
        }
        break;
    case 5: {
        // BOS, the Microsoft OS 1.0 string, compat ID and extended properties, and the OS 2.0
        // descriptor set, each read from the same bytes.
        CheckLaid(ParseBos(body, requested), body.size());
        CheckLaid(ParseMsCompatId(body, requested), body.size());
        CheckLaid(ParseMsExtendedProperties(body, requested), body.size());
        const LaidDescriptor set = ParseMsOs20Set(body, requested);
        CheckLaid(set, body.size());
        for (const LaidBlock& b : set.blocks) {
            if (b.depth > 2) {
                Fail("a descriptor set nests deeper than a function subset");
            }
        }
        (void)MsOsVendorCode(body);
        (void)MsOs20VendorCode(body);
        CheckNested(DescriptorDataFields(0x0F, 0, body, 0, nullptr, nullptr), 0, body.size());
        CheckNested(DescriptorDataFields(3, 0xEE, body, 0, nullptr, nullptr), 0, body.size());
        CheckNested(BosTree(body).fields, 0, body.size());
        CheckNested(MsCompatIdTree(body).fields, 0, body.size());
        CheckNested(MsExtendedPropertiesTree(body).fields, 0, body.size());
        CheckNested(MsOs20SetTree(body).fields, 0, body.size());
        if (const auto setup = vintrace::capture::ParseSetupRequest(body)) {
            (void)IsMsCompatIdRequest(*setup, std::nullopt, body.subspan(8));
            (void)IsMsExtendedPropertiesRequest(*setup, std::nullopt, body.subspan(8));
            (void)IsMsOs20SetRequest(*setup, std::nullopt, body.subspan(8));
        }
        break;
    }
    case 6:
        if ((selector & 0x08) != 0) {
            // Audio and MIDI: class descriptors, event packets, and a request (a setup
            // packet) to the entities of the configuration that follows it.
            CheckAudio(body);
            CheckNested(MidiEventFields(body, 0), 0, body.size());
            (void)DescribeMidiPackets(body);
            if (const auto setup = vintrace::capture::ParseSetupRequest(body)) {
                const ConfigurationDescription c = ParseConfiguration(body.subspan(8), requested);
                const InterfaceDescription* control =
                    c.interfaces.empty() ? nullptr : &c.interfaces[0];
                (void)DescribeAudioRequest(*setup, body.subspan(8), control);
                (void)AudioRequestValue(*setup, body.subspan(8), control);
            }
            break;
        }
        [[fallthrough]];
    default: {
        const HidReportDescriptor d = ParseReportDescriptor(body);
        if (d.fields.size() > 4096) {
            Fail("more fields than the layout allows");
        }
        if (ReportDescriptorListingLines(d).size() > kListedItems + kListedProblems + 2) {
            Fail("the listing is longer than its bound");
        }
        // Decode the input itself as reports of every kind: the fields must stay in bounds.
        for (HidReportKind kind :
             {HidReportKind::Input, HidReportKind::Output, HidReportKind::Feature}) {
            (void)DecodeReport(d, kind, body.subspan(body.size() / 2));
            CheckNested(HidReportFields(d, kind, body, 0), 0, body.size());
        }
        CheckNested(ReportDescriptorFields(body, 0), 0, body.size());
        (void)DecodeBootMouse(body);
        (void)DecodeBootKeyboard(body);
        break;
    }
    }
    return 0;
}
