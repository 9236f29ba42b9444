#include "protocol/FieldTree.h"

#include "protocol/TransferSpan.h"

#include "capture/HexText.h"
#include "capture/SetupRequest.h"
#include "protocol/AudioClass.h"
#include "protocol/ClassDecoder.h"
#include "protocol/DeviceCapabilities.h"
#include "protocol/DeviceText.h"
#include "protocol/LittleEndian.h"
#include "protocol/SafeText.h"
#include "protocol/TransferSpan.h"
#include "protocol/VendorSerial.h"

#include <algorithm>
#include <array>
#include <limits>
#include <ostream>

namespace vintrace::protocol {

namespace {

constexpr std::uint8_t kClassAudio = 0x01;
constexpr std::uint8_t kSubclassMidiStreaming = 0x03;
constexpr std::uint8_t kClassCdc = 0x02;
constexpr std::uint8_t kClassHid = 0x03;
constexpr std::uint8_t kClassMassStorage = 0x08;
constexpr std::uint8_t kClassCdcData = 0x0A;
constexpr std::uint8_t kTypeReport = 0x22;
constexpr std::uint8_t kTypeString = 0x03;
constexpr std::uint8_t kTypeBos = 0x0F;
constexpr std::uint8_t kMsOsString = 0xEE;
/// Reports listed one by one in a transfer; the rest stay one raw field.
constexpr std::size_t kListedReports = 1024;
/// Bytes a raw field spells out in its value; the dump shows them all.
constexpr std::size_t kSpelledBytes = 32;

std::uint32_t Be(std::span<const std::uint8_t> d, std::size_t at, std::size_t size) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < size; ++i) {
        v = v << 8 | d[at + i];
    }
    return v;
}

std::string BytesText(std::span<const std::uint8_t> d) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < d.size() && i < kSpelledBytes; ++i) {
        s += i == 0 ? "" : " ";
        s += kDigits[d[i] >> 4];
        s += kDigits[d[i] & 0x0F];
    }
    if (d.size() > kSpelledBytes) {
        s += " \u2026";
    }
    return s;
}

std::string Count(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

/// Says, as the tree's last field, what of a payload of `total` bytes was left out when only
/// its first `read` were read (`stopped`: the read stopped at a bound).
void NoteNotShown(FieldTree& tree, std::size_t read, std::size_t total, bool stopped) {
    if (!stopped || total <= read) {
        return;
    }
    // Where to get it whole: Copy payload refuses a payload this large.
    std::string note = "first ";
    note += Count(read);
    note += " shown, ";
    note += std::to_string(total - read);
    note += " more not read (";
    note += Count(total);
    note += " in all): Save payload as... writes them all";
    tree.fields.push_back({kNotShownField, std::move(note), read, 0, {}});
}

/// The bytes as one field that is read no further.
FieldNode Raw(std::string name, std::span<const std::uint8_t> d, std::size_t offset) {
    return {std::move(name),
            Count(d.size()) + (d.empty() ? "" : ": " + BytesText(d)),
            offset,
            d.size(),
            {}};
}

FieldNode Truncated(std::size_t have, std::size_t want, std::size_t offset, std::size_t partial) {
    return {kTruncatedField,
            std::to_string(have) + " of " + std::to_string(want) + " bytes",
            offset,
            partial,
            {}};
}

/// A field of a fixed layout: name, offset, size, and how its value reads.
struct Fixed {
    const char* name;
    std::uint8_t offset;
    std::uint8_t size;
    std::string (*text)(std::uint32_t);
};

/// Adds the fields `data` holds whole to `node`, then a Truncated note over the bytes of a
/// field it holds only part of (data ends before `want` bytes). Little-endian values.
void AddFixed(FieldNode& node, std::span<const Fixed> layout, std::span<const std::uint8_t> data,
              std::size_t offset, std::size_t want) {
    std::size_t whole = 0;
    for (const Fixed& f : layout) {
        if (std::size_t{f.offset} + f.size > data.size()) {
            break;
        }
        node.children.push_back(
            {f.name, f.text(Le(data, f.offset, f.size)), offset + f.offset, f.size, {}});
        whole = std::size_t{f.offset} + f.size;
    }
    if (data.size() < want) {
        node.children.push_back(Truncated(data.size(), want, offset + whole, data.size() - whole));
    }
}

std::string Decimal(std::uint32_t v) {
    return std::to_string(v);
}
std::string Hex32(std::uint32_t v) {
    return capture::HexText(v, 8);
}

/// "1... ....": the bits of a byte a field takes, others dotted, as Wireshark spells them.
std::string BitPattern(std::uint8_t byte, unsigned high, unsigned low) {
    std::string s;
    for (unsigned bit = 8; bit-- > 0;) {
        s += bit <= high && bit >= low ? static_cast<char>('0' + (byte >> bit & 1)) : '.';
        if (bit == 4) {
            s += ' ';
        }
    }
    return s;
}

const DeviceInfo& OrEmpty(const DeviceInfo* device) {
    static const DeviceInfo kNone;
    return device != nullptr ? *device : kNone;
}

/// The text of a string descriptor (UTF-16LE) after its header, or its language IDs; returns
/// where the whole units end.
std::size_t AddStringBody(FieldNode& node, const Descriptor& d, std::uint8_t index,
                          std::size_t offset) {
    const std::size_t end = d.bytes.size() & ~std::size_t{1};
    if (end <= 2) {
        return std::min<std::size_t>(d.bytes.size(), 2);
    }
    if (index == 0) {
        for (std::size_t at = 2; at < end; at += 2) {
            node.children.push_back(
                {"wLANGID", capture::HexText(Le(d.bytes, at, 2), 4), offset + at, 2, {}});
        }
        return end;
    }
    node.value = "\"" + EscapeText(ParseString(d.bytes, d.bytes.size()).text) + "\"";
    node.children.push_back({"bString", node.value, offset + 2, end - 2, {}});
    return end;
}

FieldNode DescriptorNode(const Descriptor& d, std::size_t offset, const DeviceInfo* device,
                         const UsbIds* ids, std::uint8_t stringIndex) {
    FieldNode node{DescriptorHeading(d), {}, offset, d.bytes.size(), {}};
    if (d.kind == DescriptorKind::Endpoint && d.bytes.size() > 2) {
        node.value = EndpointName(d.bytes[2]);
    }
    // Where the last whole field ends: a cut one is covered by the Truncated note.
    std::size_t whole = 0;
    for (const DescriptorField& f : d.fields()) {
        const auto v = d.field(f.name);
        if (!v) {
            break;
        }
        FieldNode field{std::string(f.name),
                        DescriptorFieldText(OrEmpty(device), d, f.name, *v, ids),
                        offset + f.offset,
                        f.size,
                        {}};
        if (f.name == "bmAttributes" && d.kind == DescriptorKind::Endpoint) {
            field.children.push_back({"Transfer Type",
                                      std::string(EndpointTypeName(static_cast<std::uint8_t>(*v))),
                                      offset + f.offset,
                                      1,
                                      {}});
        } else if (f.name == "bmAttributes" && d.kind == DescriptorKind::DfuFunctional) {
            field.children.push_back({"Attributes",
                                      DfuAttributesText(static_cast<std::uint8_t>(*v)),
                                      offset + f.offset,
                                      1,
                                      {}});
        }
        node.children.push_back(std::move(field));
        whole = std::size_t{f.offset} + f.size;
    }
    std::size_t fixed = d.fixedSize();
    if (IsAudioKind(d.kind)) {
        node.value = AudioDescriptorSummary(d);
        const AudioLayout layout = LayAudioDescriptor(d);
        for (const LaidField& f : layout.fields) {
            node.children.push_back(
                {f.name, LaidFieldText(OrEmpty(device), f, ids), offset + f.offset, f.size, {}});
        }
        if (whole == fixed) {
            whole = std::max(whole, layout.end);
        }
        fixed = std::max(fixed, layout.end);
        for (const DescriptorProblem& p : layout.problems) {
            node.children.push_back({kMalformedField, p.what, offset + p.offset, 0, {}});
        }
    }
    if (d.kind == DescriptorKind::String && whole == 2) {
        whole = AddStringBody(node, d, stringIndex, offset);
    } else if (d.bytes.size() > fixed) {
        // Fields no table names (class-specific ones, a HID descriptor's further pairs).
        node.children.push_back(Raw("Data", std::span(d.bytes).subspan(fixed), offset + fixed));
        whole = d.bytes.size();
    }
    const std::size_t bLength = d.bytes.empty() ? 0 : d.bytes[0];
    if (!d.bytes.empty() && bLength < 2) {
        node.children.push_back({kMalformedField,
                                 "bLength " + std::to_string(bLength) + " is too small",
                                 offset,
                                 1,
                                 {}});
    } else if (d.bytes.size() < bLength || d.bytes.empty()) {
        const std::size_t want = std::max<std::size_t>(bLength, 2);
        node.children.push_back(
            Truncated(d.bytes.size(), want, offset + whole, d.bytes.size() - whole));
    }
    return node;
}

/// Appends the descriptors `parse` found, each read by its kind, then what it could not take.
void AddPlaces(std::vector<FieldNode>& out, const ConfigurationDescription& c,
               std::span<const std::uint8_t> data, std::size_t offset, const DeviceInfo* device,
               const UsbIds* ids) {
    std::size_t end = 0;
    for (const DescriptorPlace& p : c.places) {
        if (p.offset + p.length > data.size()) {
            break; // cannot happen: the parse took them from `data`
        }
        const auto bytes = data.subspan(p.offset, p.length);
        const Descriptor d{p.kind, {bytes.begin(), bytes.end()}};
        out.push_back(DescriptorNode(d, offset + p.offset, device, ids, 0));
        end = p.offset + p.length;
    }
    const auto total = c.descriptor.field("wTotalLength");
    if (end < data.size()) {
        // Past wTotalLength the bytes are no part of the configuration; before it, they are
        // what the parse could not step over.
        const bool past = total && end >= *total;
        FieldNode node = Raw(past ? "Data" : kMalformedField, data.subspan(end), offset + end);
        if (past) {
            node.value = "past wTotalLength: " + node.value;
        }
        out.push_back(std::move(node));
    }
    if (!c.complete && total && data.size() < *total) {
        out.push_back(Truncated(data.size(), *total, offset + data.size(), 0));
    }
}

/// A BOS set or Microsoft OS descriptor as one node (its value `summary`) over its fields and
/// parts, each part under the parts that hold it, then what is wrong with it (a note where
/// each fault lies) and the bytes past its end.
std::vector<FieldNode> LaidNodes(std::string title, std::string summary, const LaidDescriptor& d,
                                 std::span<const std::uint8_t> data, std::size_t offset) {
    // Text the device wrote is escaped here, where it becomes something to show.
    auto field = [offset](const LaidField& f) {
        return FieldNode{f.name, EscapeText(f.text), offset + f.offset, f.size, {}};
    };
    std::vector<FieldNode> out;
    FieldNode node{std::move(title), std::move(summary), offset, d.end, {}};
    for (const LaidField& f : d.header) {
        node.children.push_back(field(f));
    }
    for (const LaidBlock& b : d.blocks) {
        FieldNode block{b.title, {}, offset + b.offset, b.length, {}};
        for (const LaidField& f : b.fields) {
            block.children.push_back(field(f));
        }
        if (b.rawLength != 0) {
            block.children.push_back(
                Raw("Data", data.subspan(b.rawOffset, b.rawLength), offset + b.rawOffset));
        }
        // Under the last part of each depth above it (a descriptor set's subsets), each of
        // which then spans what it holds; the depth is bounded by the nodes there.
        const std::size_t blockEnd = block.offset + block.length;
        FieldNode* parent = &node;
        for (std::uint8_t depth = 0; depth < b.depth && !parent->children.empty() &&
                                     !parent->children.back().children.empty();
             ++depth) {
            parent = &parent->children.back();
            parent->length = std::max(parent->length, blockEnd - parent->offset);
        }
        parent->children.push_back(std::move(block));
    }
    out.push_back(std::move(node));
    for (const DescriptorProblem& p : d.problems) {
        out.push_back({kMalformedField, p.what, offset + std::min(p.offset, data.size()), 0, {}});
    }
    if (d.end < data.size()) {
        out.push_back(Raw("Data", data.subspan(d.end), offset + d.end));
    }
    // The total the header announces, when the data stops before it.
    for (const LaidField& f : d.header) {
        if ((f.name == "wTotalLength" || f.name == "dwLength") && f.number &&
            *f.number > data.size()) {
            out.push_back(Truncated(data.size(), *f.number, offset + data.size(), 0));
        }
    }
    return out;
}

/// Widens `node` to the bytes of everything under it.
void CoverChildren(FieldNode& node) {
    std::size_t begin = node.offset;
    std::size_t end = node.offset + node.length;
    for (FieldNode& child : node.children) {
        CoverChildren(child);
        begin = std::min(begin, child.offset);
        end = std::max(end, child.offset + child.length);
    }
    node.offset = begin;
    node.length = end - begin;
}

/// The value of HID report kinds by GET_REPORT/SET_REPORT's wValue high byte.
HidReportKind ReportKindOf(std::uint16_t value) {
    static constexpr std::array<HidReportKind, 4> kKinds = {
        HidReportKind::Input, HidReportKind::Input, HidReportKind::Output, HidReportKind::Feature};
    return kKinds[(value >> 8) & 3];
}

std::uint8_t InterfaceClass(const InterfaceDescription* i) {
    return i == nullptr
               ? 0xFF
               : static_cast<std::uint8_t>(i->descriptor.field("bInterfaceClass").value_or(0xFF));
}

const std::vector<std::uint8_t>* ReportBytes(const DeviceInfo* device,
                                             const InterfaceDescription* interface) {
    if (device == nullptr || interface == nullptr) {
        return nullptr;
    }
    return device->reportDescriptorOf(*interface);
}

/// What a control transfer's data stage holds, by its request.
std::vector<FieldNode> DataStage(const capture::SetupRequest& r, std::span<const std::uint8_t> data,
                                 std::size_t offset, const DeviceInfo* device, const UsbIds* ids) {
    const InterfaceDescription* interface =
        device != nullptr && r.recipient() == 1
            ? device->interface(static_cast<std::uint8_t>(r.index & 0xFF))
            : nullptr;
    const std::uint8_t cls = InterfaceClass(interface);
    if (r.type() == 0 && r.request == 6 && r.deviceToHost()) {
        return DescriptorDataFields(static_cast<std::uint8_t>(r.value >> 8),
                                    static_cast<std::uint8_t>(r.value & 0xFF), data, offset, device,
                                    ids);
    }
    if (IsMsCompatIdRequest(r, device != nullptr ? device->msOsVendorCode : std::nullopt, data)) {
        const LaidDescriptor d = ParseMsCompatId(data, data.size());
        return LaidNodes("MS OS 1.0 Compat ID", MsCompatIdSummary(d), d, data, offset);
    }
    if (IsMsExtendedPropertiesRequest(r, device != nullptr ? device->msOsVendorCode : std::nullopt,
                                      data)) {
        const LaidDescriptor d = ParseMsExtendedProperties(data, data.size());
        return LaidNodes("MS OS 1.0 Extended Properties", MsPropertiesSummary(d), d, data, offset);
    }
    if (IsMsOs20SetRequest(r, device != nullptr ? MsOs20VendorCode(device->bos) : std::nullopt,
                           data)) {
        const LaidDescriptor d = ParseMsOs20Set(data, data.size());
        return LaidNodes("MS OS 2.0 Descriptor Set", MsOs20Summary(d), d, data, offset);
    }
    if (r.type() == 1 && device != nullptr && (cls == kClassAudio || r.recipient() == 2)) {
        const InterfaceDescription* owner = interface;
        if (r.recipient() == 2) {
            const std::uint8_t address = static_cast<std::uint8_t>(r.index & 0xFF);
            owner = device->interfaceOfEndpoint(
                address & 0x0F, (address & 0x80) != 0 ? Direction::In : Direction::Out);
        }
        if (InterfaceClass(owner) == kClassAudio) {
            if (const auto value = AudioRequestValue(r, data, owner)) {
                return {FieldNode{value->control, value->value, offset, data.size(), {}}};
            }
        }
    }
    if (r.type() == 1 && cls == kClassCdc && (r.request == 0x20 || r.request == 0x21)) {
        return {LineCodingFields(data, offset)};
    }
    if (r.type() == 1 && cls == kClassHid && (r.request == 0x01 || r.request == 0x09)) {
        if (const auto* bytes = ReportBytes(device, interface)) {
            auto reports =
                HidReportFields(ParseReportDescriptor(*bytes), ReportKindOf(r.value), data, offset);
            if (!reports.empty()) {
                return reports;
            }
        }
    }
    return {Raw("Data", data, offset)};
}

/// What a bulk, interrupt or isochronous transfer delivered, by the class of its interface.
std::vector<FieldNode> DataFields(const TransferItem& item, std::span<const std::uint8_t> data,
                                  const DeviceInfo* device) {
    const InterfaceDescription* interface =
        device != nullptr ? device->interfaceOfEndpoint(item.endpoint, item.direction) : nullptr;
    const std::uint8_t cls = InterfaceClass(interface);
    if (cls == kClassHid) {
        if (const auto* bytes = ReportBytes(device, interface)) {
            const HidReportKind kind =
                item.direction == Direction::In ? HidReportKind::Input : HidReportKind::Output;
            auto reports = HidReportFields(ParseReportDescriptor(*bytes), kind, data, 0);
            if (!reports.empty()) {
                return reports;
            }
        }
    }
    if (cls == kClassAudio &&
        interface->descriptor.field("bInterfaceSubClass") == kSubclassMidiStreaming &&
        (item.type == TransferType::Bulk || item.type == TransferType::Interrupt ||
         item.type == TransferType::Data)) {
        return MidiEventFields(data, 0);
    }
    if (cls == kClassMassStorage) {
        auto wrapper = MassStorageFields(data, 0);
        if (!wrapper.empty()) {
            return wrapper;
        }
    }
    FieldNode raw = Raw("Data", data, 0);
    const bool serialChip = device != nullptr && SerialChipOf(*device).has_value();
    if (cls == kClassCdcData || (cls == kClassCdc && item.type == TransferType::Bulk) ||
        serialChip) {
        if (const auto text = PrintableText(data)) {
            raw.value = Count(data.size()) + ": " + *text;
        }
    }
    return {raw};
}

/// One status byte of an FTDI packet header, bit by bit from `first` on.
FieldNode FtdiStatusByte(const char* name, std::uint8_t byte, std::size_t offset, unsigned first,
                         std::span<const char* const> bits) {
    FieldNode node{name, capture::HexText(byte, 2), offset, 1, {}};
    for (std::size_t b = 0; b < bits.size(); ++b) {
        const unsigned bit = first + static_cast<unsigned>(b);
        node.children.push_back(
            {bits[b],
             BitPattern(byte, bit, bit) + ((byte >> bit & 1) != 0 ? " set" : " clear"),
             offset,
             1,
             {}});
    }
    return node;
}

/// The packets of an FTDI bulk IN transfer: each its status header, then its data.
std::vector<FieldNode> FtdiInFields(const std::vector<std::vector<std::uint8_t>>& packets) {
    static constexpr std::array<const char*, 4> kModem = {"CTS", "DSR", "RI", "DCD"};
    static constexpr std::array<const char*, 8> kLine = {
        "Data ready", "Overrun error", "Parity error", "Framing error",
        "Break",      "THRE",          "TEMT",         "FIFO error"};
    std::vector<FieldNode> out;
    std::size_t at = 0;
    for (const auto& p : packets) {
        if (out.size() == kListedReports) {
            std::vector<std::uint8_t> rest;
            for (std::size_t i = out.size(); i < packets.size(); ++i) {
                rest.insert(rest.end(), packets[i].begin(), packets[i].end());
            }
            out.push_back(Raw("Data", rest, at));
            break;
        }
        FieldNode node{
            "Packet " + std::to_string(out.size() + 1), Count(p.size()), at, p.size(), {}};
        if (p.size() >= 2) {
            node.value = DescribeFtdiIn({p});
            node.children.push_back(FtdiStatusByte("Modem status", p[0], at, 4, kModem));
            node.children.push_back(FtdiStatusByte("Line status", p[1], at + 1, 0, kLine));
        } else {
            node.children.push_back(Truncated(p.size(), 2, at, p.size()));
        }
        if (p.size() > 2) {
            const std::span<const std::uint8_t> data(p.data() + 2, p.size() - 2);
            FieldNode raw = Raw("Data", data, at + 2);
            if (const auto text = PrintableText(data)) {
                raw.value = Count(data.size()) + ": " + *text;
            }
            node.children.push_back(std::move(raw));
        }
        out.push_back(std::move(node));
        at += p.size();
    }
    return out;
}

} // namespace

FieldNode SetupFields(std::span<const std::uint8_t> b, std::size_t offset) {
    FieldNode node{"Setup packet", {}, offset, std::min<std::size_t>(b.size(), 8), {}};
    capture::SetupRequest r;
    if (const auto parsed = capture::ParseSetupRequest(b)) {
        r = *parsed;
        node.value = DescribeSetupRequest(r);
    }
    if (!b.empty()) {
        const std::uint8_t t = b[0];
        static constexpr std::array<const char*, 4> kTypes = {"standard", "class", "vendor",
                                                              "reserved"};
        static constexpr std::array<const char*, 4> kRecipients = {"device", "interface",
                                                                   "endpoint", "other"};
        const unsigned recipient = t & 0x1F;
        FieldNode type{"bmRequestType", capture::HexText(t, 2), offset, 1, {}};
        type.children = {
            {"Direction",
             BitPattern(t, 7, 7) + " " + ((t & 0x80) != 0 ? "device-to-host" : "host-to-device"),
             offset,
             1,
             {}},
            {"Type", BitPattern(t, 6, 5) + " " + kTypes[(t >> 5) & 3], offset, 1, {}},
            {"Recipient",
             BitPattern(t, 4, 0) + " " +
                 (recipient < kRecipients.size() ? kRecipients[recipient] : "reserved"),
             offset,
             1,
             {}}};
        node.children.push_back(std::move(type));
        r.requestType = t;
    }
    if (b.size() >= 2) {
        r.request = b[1];
        const std::string_view name = capture::StandardRequestName(r);
        node.children.push_back(
            {"bRequest",
             std::to_string(b[1]) + (name.empty() ? std::string() : " " + std::string(name)),
             offset + 1,
             1,
             {}});
    }
    if (b.size() >= 4) {
        FieldNode value{"wValue", capture::HexText(Le(b, 2, 2), 4), offset + 2, 2, {}};
        // GET_DESCRIPTOR and SET_DESCRIPTOR carry the type high and the index low (9.4.3).
        if (r.type() == 0 && (r.request == 6 || r.request == 7)) {
            const std::string_view type = capture::DescriptorTypeName(b[3]);
            value.children = {{"Descriptor index", std::to_string(b[2]), offset + 2, 1, {}},
                              {"Descriptor type",
                               capture::HexText(b[3], 2) +
                                   (type.empty() ? std::string() : " " + std::string(type)),
                               offset + 3,
                               1,
                               {}}};
        }
        node.children.push_back(std::move(value));
    }
    if (b.size() >= 6) {
        const unsigned index = Le(b, 4, 2);
        std::string text = capture::HexText(index, 4);
        if (r.recipient() == 1) {
            text += " (interface " + std::to_string(index & 0xFF) + ")";
        } else if (r.recipient() == 2) {
            text += " (endpoint " + capture::HexText(index & 0xFF, 2) + ")";
        }
        node.children.push_back({"wIndex", std::move(text), offset + 4, 2, {}});
    }
    if (b.size() >= 8) {
        node.children.push_back({"wLength", std::to_string(Le(b, 6, 2)), offset + 6, 2, {}});
    } else {
        const std::size_t whole = b.size() >= 6   ? 6
                                  : b.size() >= 4 ? 4
                                  : b.size() >= 2 ? 2
                                                  : b.size();
        node.children.push_back(Truncated(b.size(), 8, offset + whole, b.size() - whole));
    }
    return node;
}

FieldNode DescriptorFields(const Descriptor& d, std::size_t offset, const DeviceInfo* device,
                           const UsbIds* ids) {
    return DescriptorNode(d, offset, device, ids, 1);
}

std::vector<FieldNode> DescriptorDataFields(std::uint8_t type, std::uint8_t index,
                                            std::span<const std::uint8_t> data, std::size_t offset,
                                            const DeviceInfo* device, const UsbIds* ids) {
    std::vector<FieldNode> out;
    if (data.empty()) {
        return out;
    }
    if (type == kTypeReport) {
        FieldNode node{"Report Descriptor", Count(data.size()), offset, data.size(), {}};
        node.children = ReportDescriptorFields(data, offset, ids);
        out.push_back(std::move(node));
        return out;
    }
    if (type == kTypeBos) {
        const LaidDescriptor d = ParseBos(data, data.size());
        return LaidNodes("BOS Descriptor", BosSummary(d), d, data, offset);
    }
    if (type == kTypeString && index == kMsOsString) {
        if (const auto code = MsOsVendorCode(data)) {
            FieldNode node{"MS OS 1.0 String Descriptor", "MSFT100", offset, 18, {}};
            node.children = {{"bLength", "18", offset, 1, {}},
                             {"bDescriptorType", "3", offset + 1, 1, {}},
                             {"qwSignature", "\"MSFT100\"", offset + 2, 14, {}},
                             {"bMS_VendorCode", capture::HexText(*code, 2), offset + 16, 1, {}},
                             {"bPad", std::to_string(data[17]), offset + 17, 1, {}}};
            out.push_back(std::move(node));
            if (data.size() > 18) {
                out.push_back(Raw("Data", data.subspan(18), offset + 18));
            }
            return out;
        }
    }
    const DescriptorKind kind = KindOfRequestedType(type);
    if (kind == DescriptorKind::Configuration || kind == DescriptorKind::OtherSpeedConfiguration) {
        AddPlaces(out, ParseConfiguration(data, data.size()), data, offset, device, ids);
        return out;
    }
    // One descriptor; a device may send more than bLength, which stays raw.
    const ParsedDescriptor p = ParseDescriptor(data, kind, data.size());
    out.push_back(DescriptorNode(p.descriptor, offset, device, ids, index));
    const std::size_t taken = p.descriptor.bytes.size();
    if (taken < data.size()) {
        out.push_back(Raw("Data", data.subspan(taken), offset + taken));
    }
    return out;
}

std::vector<FieldNode> ReportDescriptorFields(std::span<const std::uint8_t> data,
                                              std::size_t offset, const UsbIds* ids) {
    const HidReportDescriptor d = ParseReportDescriptor(data);
    const std::vector<std::string> lines = ReportDescriptorListingLines(d, ids);
    std::vector<FieldNode> out;
    // Levels of the nesting being filled; the listing indents two spaces per collection.
    std::vector<std::vector<FieldNode>*> levels{&out};
    const std::size_t items = std::min(d.items.size(), kListedItems);
    for (std::size_t i = 0; i < items && i < lines.size(); ++i) {
        const std::string& line = lines[i];
        std::size_t depth = line.find_first_not_of(' ');
        depth = depth == std::string::npos ? 0 : depth / 2;
        if (line.starts_with("[depth")) {
            depth = kIndentedDepth;
        }
        depth = std::min(depth, levels.size() - 1 + (levels.back()->empty() ? 0 : 1));
        levels.resize(std::min(levels.size(), depth + 1));
        if (depth == levels.size()) {
            levels.push_back(&levels.back()->back().children);
        }
        const std::size_t at = std::min(d.items[i].offset, data.size());
        const std::size_t next = i + 1 < d.items.size() ? d.items[i + 1].offset : data.size();
        const std::size_t end = std::clamp(next, at, data.size());
        const std::size_t text = line.find_first_not_of(' ');
        levels.back()->push_back({text == std::string::npos ? line : line.substr(text),
                                  BytesText(data.subspan(at, end - at)),
                                  offset + at,
                                  end - at,
                                  {}});
    }
    // A collection holds its items' bytes: a byte chosen in it finds the item.
    for (FieldNode& node : out) {
        CoverChildren(node);
    }
    // The counts of what was not listed and the faults, at the end.
    for (std::size_t i = items; i < lines.size(); ++i) {
        out.push_back({lines[i], {}, offset + data.size(), 0, {}});
    }
    return out;
}

std::vector<FieldNode> MassStorageFields(std::span<const std::uint8_t> data, std::size_t offset) {
    // BOT 1.0 5.1 and 5.2: a wrapper is exactly 31 or 13 bytes; a shorter one was cut.
    static constexpr Fixed kCbw[] = {
        {"dCBWSignature", 0, 4, [](std::uint32_t) { return std::string("USBC"); }},
        {"dCBWTag", 4, 4, Hex32},
        {"dCBWDataTransferLength", 8, 4, Decimal},
        {"bmCBWFlags", 12, 1,
         [](std::uint32_t v) {
             return capture::HexText(v, 2) + ((v & 0x80) != 0 ? " (IN)" : " (OUT)");
         }},
        {"bCBWLUN", 13, 1, [](std::uint32_t v) { return std::to_string(v & 0x0F); }},
        {"bCBWCBLength", 14, 1, [](std::uint32_t v) { return std::to_string(v & 0x1F); }}};
    static constexpr Fixed kCsw[] = {
        {"dCSWSignature", 0, 4, [](std::uint32_t) { return std::string("USBS"); }},
        {"dCSWTag", 4, 4, Hex32},
        {"dCSWDataResidue", 8, 4, Decimal},
        {"bCSWStatus", 12, 1, [](std::uint32_t v) {
             static constexpr std::array<const char*, 3> kStatus = {"passed", "failed",
                                                                    "phase error"};
             return std::to_string(v) + (v < kStatus.size() ? std::string(": ") + kStatus[v] : "");
         }}};
    if (data.size() < 4) {
        return {};
    }
    const std::uint32_t signature = Le(data, 0, 4);
    const auto headline = [&data]() {
        const auto text = DescribeMassStorage(data);
        return text ? text->substr(0, text->find('\n')) : std::string();
    };
    if (signature == 0x43425355 && data.size() <= 31) { // "USBC"
        FieldNode node{"Command Block Wrapper", headline(), offset, data.size(), {}};
        AddFixed(node, kCbw, data, offset, 31);
        if (data.size() == 31) {
            const std::size_t length = std::min<std::size_t>(data[14] & 0x1F, 16);
            const auto cdb = data.subspan(15, length);
            FieldNode block{"CBWCB",
                            length == 0 ? std::string() : DescribeScsiCommand(cdb),
                            offset + 15,
                            16,
                            {}};
            if (!cdb.empty()) {
                block.children.push_back(
                    {"Operation code", capture::HexText(cdb[0], 2), offset + 15, 1, {}});
            }
            // The 10-byte reads and writes name their blocks (SBC-3 5.11, 5.35).
            const bool tenByte =
                !cdb.empty() && (cdb[0] == 0x28 || cdb[0] == 0x2A || cdb[0] == 0x2F);
            if (tenByte && cdb.size() >= 9) {
                block.children.push_back(
                    {"Logical block address", std::to_string(Be(cdb, 2, 4)), offset + 17, 4, {}});
                block.children.push_back(
                    {"Transfer length", std::to_string(Be(cdb, 7, 2)), offset + 22, 2, {}});
            }
            node.children.push_back(std::move(block));
        }
        return {node};
    }
    if (signature == 0x53425355 && data.size() <= 13) { // "USBS"
        FieldNode node{"Command Status Wrapper", headline(), offset, data.size(), {}};
        AddFixed(node, kCsw, data, offset, 13);
        return {node};
    }
    return {};
}

std::vector<FieldNode> MidiEventFields(std::span<const std::uint8_t> data, std::size_t offset) {
    std::vector<FieldNode> out;
    std::size_t at = 0;
    for (; at + 4 <= data.size(); at += 4) {
        if (out.size() == kListedReports) {
            out.push_back(Raw("Data", data.subspan(at), offset + at));
            return out;
        }
        const auto p = data.subspan(at, 4);
        const std::uint8_t cin = p[0] & 0x0F;
        FieldNode node{"Event " + std::to_string(out.size() + 1),
                       IsMidiPadding(p) ? std::string("empty") : DescribeMidiEvent(p),
                       offset + at,
                       4,
                       {}};
        node.children = {{"Cable Number",
                          BitPattern(p[0], 7, 4) + " " + std::to_string(p[0] >> 4),
                          offset + at,
                          1,
                          {}},
                         {"Code Index Number",
                          BitPattern(p[0], 3, 0) + " " + capture::HexText(cin, 1) + " " +
                              std::string(CodeIndexName(cin)),
                          offset + at,
                          1,
                          {}},
                         {"MIDI bytes", BytesText(p.subspan(1)), offset + at + 1, 3, {}}};
        out.push_back(std::move(node));
    }
    if (at < data.size()) {
        out.push_back(Truncated(data.size() - at, 4, offset + at, data.size() - at));
    }
    return out;
}

FieldNode LineCodingFields(std::span<const std::uint8_t> data, std::size_t offset) {
    static constexpr Fixed kLayout[] = {
        {"dwDTERate", 0, 4, [](std::uint32_t v) { return std::to_string(v) + " baud"; }},
        {"bCharFormat", 4, 1,
         [](std::uint32_t v) {
             static constexpr std::array<const char*, 3> kStops = {"1 stop bit", "1.5 stop bits",
                                                                   "2 stop bits"};
             return std::to_string(v) + (v < kStops.size() ? std::string(": ") + kStops[v] : "");
         }},
        {"bParityType", 5, 1,
         [](std::uint32_t v) {
             static constexpr std::array<const char*, 5> kParity = {"none", "odd", "even", "mark",
                                                                    "space"};
             return std::to_string(v) + (v < kParity.size() ? std::string(": ") + kParity[v] : "");
         }},
        {"bDataBits", 6, 1, Decimal}};
    FieldNode node{
        "Line Coding", DescribeLineCoding(data), offset, std::min<std::size_t>(data.size(), 7), {}};
    AddFixed(node, kLayout, data, offset, 7);
    if (data.size() > 7) {
        node.children.push_back(Raw("Data", data.subspan(7), offset + 7));
        node.length = data.size();
    }
    return node;
}

std::vector<FieldNode> HidReportFields(const HidReportDescriptor& d, HidReportKind kind,
                                       std::span<const std::uint8_t> data, std::size_t offset) {
    std::vector<FieldNode> out;
    std::size_t at = 0;
    while (at < data.size() && out.size() < kListedReports) {
        const std::uint8_t id = d.usesReportIds ? data[at] : 0;
        const std::uint32_t bits = d.reportBits(kind, id);
        if (bits == 0) {
            break;
        }
        const std::size_t want = (d.usesReportIds ? 1 : 0) + (std::size_t{bits} + 7) / 8;
        const auto report = data.subspan(at, std::min(want, data.size() - at));
        const auto values = ReportValues(d, kind, report);
        if (!values) {
            break;
        }
        FieldNode node{d.usesReportIds ? "Report " + std::to_string(id) : std::string("Report"),
                       DecodeReport(d, kind, report).value_or(std::string()),
                       offset + at,
                       report.size(),
                       {}};
        if (d.usesReportIds) {
            node.children.push_back({"Report ID", std::to_string(id), offset + at, 1, {}});
        }
        for (const HidValue& v : *values) {
            const std::size_t first = v.bitOffset / 8;
            const std::size_t last = (std::size_t{v.bitOffset} + v.bitSize + 7) / 8;
            node.children.push_back({v.name,
                                     v.selected ? std::string("selected") : v.value,
                                     offset + at + first,
                                     std::min(last, report.size()) - std::min(first, report.size()),
                                     {}});
        }
        if (report.size() < want) {
            node.children.push_back(Truncated(report.size(), want, offset + at + report.size(), 0));
        }
        out.push_back(std::move(node));
        at += report.size();
    }
    if (!out.empty() && at < data.size()) {
        out.push_back(Raw("Data", data.subspan(at), offset + at));
    }
    return out;
}

FieldTree TransferFields(const capture::PacketList& packets, const Transactions& transactions,
                         const DeviceModel& devices, const TransferItem& item, const UsbIds* ids,
                         std::size_t limit, std::size_t transactionLimit) {
    FieldTree tree;
    if (item.type == TransferType::Sof || item.type == TransferType::Polling ||
        item.type == TransferType::Malformed) {
        return tree;
    }
    const PayloadStart start =
        DeliveredPayloadStart(packets, transactions, item, limit, transactionLimit);
    const std::vector<std::uint8_t>& data = start.bytes;
    const auto index = devices.deviceAt(item.address, FirstRecord(transactions, item));
    const DeviceInfo* device = index ? &devices.devices()[*index] : nullptr;
    const auto request = item.type == TransferType::Control
                             ? ControlRequest(packets, transactions, item)
                             : std::nullopt;
    if (request) {
        const capture::SetupRequest& r = *request;
        tree.payload = {r.requestType,
                        r.request,
                        static_cast<std::uint8_t>(r.value & 0xFF),
                        static_cast<std::uint8_t>(r.value >> 8),
                        static_cast<std::uint8_t>(r.index & 0xFF),
                        static_cast<std::uint8_t>(r.index >> 8),
                        static_cast<std::uint8_t>(r.length & 0xFF),
                        static_cast<std::uint8_t>(r.length >> 8)};
        tree.fields.push_back(SetupFields(tree.payload, 0));
        if (const auto chip = device ? SerialChipOf(*device) : std::nullopt;
            chip &&
            (r.type() == 2 || (r.type() == 1 && chip->family == SerialChipFamily::Pl2303))) {
            tree.fields.push_back({std::string(chip->name) + " request",
                                   DescribeSerialChipRequest(*chip, r, data),
                                   0,
                                   8,
                                   {}});
        }
        if (!data.empty()) {
            tree.payload.insert(tree.payload.end(), data.begin(), data.end());
            FieldNode stage{"Data stage", Count(data.size()), 8, data.size(), {}};
            stage.children = DataStage(r, data, 8, device, ids);
            tree.fields.push_back(std::move(stage));
        }
        NoteNotShown(tree, data.size(), item.bytes, data.size() >= limit || start.cut);
        return tree;
    }
    tree.payload = data;
    if (data.empty()) {
        NoteNotShown(tree, 0, item.bytes, start.cut);
        return tree;
    }
    if (const auto chip = device ? SerialChipOf(*device) : std::nullopt;
        chip && chip->family == SerialChipFamily::Ftdi && item.direction == Direction::In &&
        (item.type == TransferType::Bulk || item.type == TransferType::Data)) {
        // The packets of the part the payload was read from.
        const auto head = start.cut ? SpanPart(item, item.firstTransaction,
                                               item.firstTransaction + transactionLimit - 1)
                                    : std::optional(item);
        tree.fields =
            FtdiInFields(DeliveredPackets(packets, transactions, head.value_or(item), limit));
    } else {
        tree.fields = item.type == TransferType::Control ? std::vector{Raw("Data", data, 0)}
                                                         : DataFields(item, data, device);
    }
    NoteNotShown(tree, data.size(), item.bytes, data.size() >= limit || start.cut);
    return tree;
}

FieldTree DescriptorTree(const Descriptor& d, const DeviceInfo* device, const UsbIds* ids) {
    FieldTree tree{d.bytes, {}};
    tree.fields.push_back(DescriptorNode(d, 0, device, ids, 1));
    return tree;
}

FieldTree StringDescriptorTree(std::uint8_t index, std::span<const std::uint8_t> bytes) {
    return {{bytes.begin(), bytes.end()},
            DescriptorDataFields(kTypeString, index, bytes, 0, nullptr, nullptr)};
}

FieldTree BosTree(std::span<const std::uint8_t> bytes) {
    const LaidDescriptor d = ParseBos(bytes, bytes.size());
    return {{bytes.begin(), bytes.end()}, LaidNodes("BOS Descriptor", BosSummary(d), d, bytes, 0)};
}

FieldTree MsCompatIdTree(std::span<const std::uint8_t> bytes) {
    const LaidDescriptor d = ParseMsCompatId(bytes, bytes.size());
    return {{bytes.begin(), bytes.end()},
            LaidNodes("MS OS 1.0 Compat ID", MsCompatIdSummary(d), d, bytes, 0)};
}

FieldTree MsExtendedPropertiesTree(std::span<const std::uint8_t> bytes) {
    const LaidDescriptor d = ParseMsExtendedProperties(bytes, bytes.size());
    return {{bytes.begin(), bytes.end()},
            LaidNodes("MS OS 1.0 Extended Properties", MsPropertiesSummary(d), d, bytes, 0)};
}

FieldTree MsOs20SetTree(std::span<const std::uint8_t> bytes) {
    const LaidDescriptor d = ParseMsOs20Set(bytes, bytes.size());
    return {{bytes.begin(), bytes.end()},
            LaidNodes("MS OS 2.0 Descriptor Set", MsOs20Summary(d), d, bytes, 0)};
}

FieldTree ReportDescriptorTree(std::span<const std::uint8_t> bytes, const UsbIds* ids) {
    return {{bytes.begin(), bytes.end()}, ReportDescriptorFields(bytes, 0, ids)};
}

std::string ToString(const FieldNode& node, int depth) {
    std::string s(static_cast<std::size_t>(depth) * 2, ' ');
    s += node.name + " = " + node.value + " [" + std::to_string(node.offset) + "+" +
         std::to_string(node.length) + "]\n";
    for (const FieldNode& child : node.children) {
        s += ToString(child, depth + 1);
    }
    return s;
}

std::ostream& operator<<(std::ostream& os, const FieldNode& node) {
    return os << ToString(node);
}

} // namespace vintrace::protocol
