#include "protocol/DeviceTree.h"

#include "protocol/AudioClass.h"
#include "protocol/DeviceText.h"
#include "protocol/SafeText.h"
#include "protocol/VendorSerial.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <span>
#include <string_view>

namespace vintrace::protocol {

namespace {

std::string Format(const char* format, unsigned value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

/// The record that delivered the part kept under `key`, else the device's first.
std::size_t SourceOf(const std::map<std::uint8_t, std::size_t>& from, std::uint8_t key,
                     std::size_t fallback) {
    const auto it = from.find(key);
    return it == from.end() ? fallback : it->second;
}

/// Sets `member` to `value` on `row` and every row under it.
void Mark(DeviceTreeRow& row, std::optional<std::uint8_t> DeviceTreeRow::*member,
          std::uint8_t value) {
    row.*member = value;
    for (DeviceTreeRow& child : row.children) {
        Mark(child, member, value);
    }
}

/// Clears the field places of `row` and every row under it.
void ForgetPlaces(DeviceTreeRow& row) {
    row.field.reset();
    for (DeviceTreeRow& child : row.children) {
        ForgetPlaces(child);
    }
}

/// How many fields `node` and those under it are.
std::size_t SubtreeSize(const FieldNode& node) {
    std::size_t n = 1;
    for (const FieldNode& child : node.children) {
        n += SubtreeSize(child);
    }
    return n;
}

/// The depth-first place (in a tree whose only top-level field is `root`, at place 0) of
/// `root`'s field called `name`; nothing when it has none.
std::optional<std::size_t> PlaceOf(const FieldNode& root, std::string_view name) {
    std::size_t place = 1;
    for (const FieldNode& child : root.children) {
        if (child.name == name) {
            return place;
        }
        place += SubtreeSize(child);
    }
    return std::nullopt;
}

/// One row per field of `nodes` and those under them, each naming its place in the detail
/// (depth first, counted on from `place`), the value after the name as a descriptor's fields
/// show it.
void FieldRows(std::span<const FieldNode> nodes, std::size_t record, std::size_t& place,
               std::vector<DeviceTreeRow>& out) {
    for (const FieldNode& node : nodes) {
        std::string text = node.name;
        if (!node.value.empty()) {
            text.resize(std::max<std::size_t>(text.size() + 1, 22), ' ');
            text += node.value;
        } else if (!node.children.empty()) {
            text += ':';
        }
        DeviceTreeRow row{std::move(text), record, {}};
        row.field = place++;
        FieldRows(node.children, record, place, row.children);
        out.push_back(std::move(row));
    }
}

/// "Title:" over the fields of a detail whose first top-level field is the whole of it; the
/// notes after that one (what is wrong, bytes past its end) follow its fields.
DeviceTreeRow LaidRow(std::string title, FieldTree detail, std::size_t record) {
    DeviceTreeRow row{std::move(title), record, {}};
    std::size_t place = 1;
    if (!detail.fields.empty()) {
        FieldRows(detail.fields.front().children, record, place, row.children);
        FieldRows(std::span(detail.fields).subspan(1), record, place, row.children);
    }
    row.detail = std::move(detail);
    return row;
}

std::string_view TransferTypeWord(const Descriptor& endpoint) {
    return EndpointTypeName(static_cast<std::uint8_t>(endpoint.field("bmAttributes").value_or(0)));
}

/// "Endpoint 0x81 IN assumed hid-boot-mouse: interrupt, interface 1 (class 0x03, subclass 0x01,
/// protocol 0x02)", and whether the capture's own descriptors overrode it or it them.
std::string AssumedEndpointText(const DeviceInfo& device, const AssumedEndpoint& a) {
    std::string s = Format("Endpoint 0x%02x ", a.endpoint);
    s += (a.endpoint & 0x80) != 0 ? "IN" : "OUT";
    s += " assumed ";
    s += AssumedKindName(a.assumed.kind);
    if (a.assumed.insisted) {
        s += '!';
    }
    s += ": ";
    s += TransferTypeWord(a.descriptor);
    if (a.interface) {
        const Descriptor& i = device.assumedInterfaces[*a.interface].descriptor;
        s += ", interface " + std::to_string(i.field("bInterfaceNumber").value_or(0));
        s += Format(" (class 0x%02x", i.field("bInterfaceClass").value_or(0));
        s += Format(", subclass 0x%02x", i.field("bInterfaceSubClass").value_or(0));
        s += Format(", protocol 0x%02x)", i.field("bInterfaceProtocol").value_or(0));
    }
    if (a.assumed.kind == AssumedKind::Ftdi) {
        s += ", FTDI chip";
    }
    if (!a.used()) {
        s += "; not used: the capture's own descriptors describe it";
    } else if (a.described) {
        s += "; overrides the capture's own descriptors";
    }
    return s;
}

class TreeBuilder {
public:
    TreeBuilder(const DeviceInfo& device, const UsbIds* ids, bool details)
        : d_(device), ids_(ids), details_(details) {}

    DeviceTreeRow build() const {
        // Rows no transfer of their own delivered point where the device row does.
        const std::size_t own = d_.device ? d_.from.device : d_.first;
        DeviceTreeRow row{title(), own, {}};
        if (d_.device && details_) {
            row.detail = DescriptorTree(*d_.device, &d_, ids_);
        }
        auto& rows = row.children;
        if (d_.device) {
            rows.push_back(descriptor(DescriptorHeading(*d_.device), *d_.device, d_.from.device));
        }
        if (d_.qualifier) {
            rows.push_back(
                descriptor(DescriptorHeading(*d_.qualifier), *d_.qualifier, d_.from.qualifier));
        }
        if (!d_.bos.empty()) {
            rows.push_back(laid("BOS Descriptor:", BosTree(d_.bos), d_.from.bos));
        }
        for (const auto& [index, c] : d_.configurations) {
            rows.push_back(configuration("Configuration Descriptor", c,
                                         SourceOf(d_.from.configurations, index, d_.first)));
        }
        for (const auto& [index, c] : d_.otherSpeed) {
            rows.push_back(configuration("Other Speed Configuration Descriptor", c,
                                         SourceOf(d_.from.otherSpeed, index, d_.first)));
        }
        if (d_.configuration) {
            rows.push_back({"Configuration set: " + std::to_string(*d_.configuration), own, {}});
        }
        for (const auto& [interface, alternate] : d_.alternates) {
            rows.push_back({"Interface " + std::to_string(interface) + " alternate setting " +
                                std::to_string(alternate),
                            own,
                            {}});
        }
        if (!d_.languages.empty()) {
            std::string s = "Languages:";
            for (std::uint16_t l : d_.languages) {
                s += Format(" 0x%04x", l);
            }
            rows.push_back(string(s, 0, own));
        }
        for (const auto& [index, text] : d_.strings) {
            rows.push_back(
                string("String " + std::to_string(index) + ": \"" + EscapeText(text) + "\"", index,
                       d_.first));
        }
        if (d_.msOsVendorCode) {
            rows.push_back({"MS OS 1.0 vendor code: " + Format("0x%02x", *d_.msOsVendorCode),
                            SourceOf(d_.from.strings, 0xEE, d_.first),
                            {}});
        }
        if (!d_.msCompatId.empty()) {
            rows.push_back(
                laid("MS OS 1.0 Compat ID:", MsCompatIdTree(d_.msCompatId), d_.from.msCompatId));
        }
        if (!d_.msExtendedProperties.empty()) {
            rows.push_back(laid(
                "MS OS 1.0 Extended Properties:", MsExtendedPropertiesTree(d_.msExtendedProperties),
                d_.from.msExtendedProperties));
        }
        if (!d_.msOs20Set.empty()) {
            rows.push_back(
                laid("MS OS 2.0 Descriptor Set:", MsOs20SetTree(d_.msOs20Set), d_.from.msOs20Set));
        }
        for (const auto& [interface, bytes] : d_.reportDescriptors) {
            const std::size_t record = SourceOf(d_.from.reportDescriptors, interface, d_.first);
            DeviceTreeRow report{"Report Descriptor of interface " + std::to_string(interface) +
                                     " (" + std::to_string(bytes.size()) + " bytes):",
                                 record,
                                 {}};
            if (details_) {
                report.detail = ReportDescriptorTree(bytes, ids_);
            }
            // The listing's lines are the fields' names in the same order, depth first.
            for (std::string& item : ReportDescriptorLines(bytes, ids_)) {
                DeviceTreeRow line{std::move(item), record, {}};
                if (details_) {
                    line.field = report.children.size();
                }
                report.children.push_back(std::move(line));
            }
            rows.push_back(std::move(report));
        }
        for (const AssumedEndpoint& a : d_.assumedEndpoints) {
            DeviceTreeRow assumed{AssumedEndpointText(d_, a), own, {}};
            assumed.endpoint = a.endpoint;
            rows.push_back(std::move(assumed));
        }
        for (const DeviceProblem& p : d_.problems) {
            rows.push_back(
                {"Problem at packet " + std::to_string(p.record) + ": " + p.what, p.record, {}});
        }
        return row;
    }

private:
    /// "Device at address 4 (first at address 0), from packet 34: ID 1bcf:0005 Vendor Mouse",
    /// with as much as the capture holds. IDs in lower case, as lsusb and the fields print them.
    std::string title() const {
        std::string s = "Device at address " + std::to_string(d_.address);
        if (d_.firstAddress != d_.address) {
            s += " (first at address " + std::to_string(d_.firstAddress) + ")";
        }
        s += ", from packet " + std::to_string(d_.first);
        if (!d_.device) {
            return s;
        }
        const auto vendor = d_.device->field("idVendor");
        const auto product = d_.device->field("idProduct");
        if (!vendor) {
            return s;
        }
        s += ": ID " + Format("%04x", *vendor) + (product ? Format(":%04x", *product) : "");
        if (const auto name = VendorName(*d_.device, ids_)) {
            s += ' ';
            s += EscapeText(*name);
        }
        if (const auto name = ProductName(*d_.device, ids_)) {
            s += ' ';
            s += EscapeText(*name);
        }
        // Known by its IDs: the serial chip whose requests and data the decoders read.
        if (const auto chip = SerialChipOf(d_)) {
            s += " (serial converter ";
            s += SerialChipName(*chip);
            s += ')';
        }
        return s;
    }

    /// A string's (or the languages') row, with the descriptor that delivered it.
    DeviceTreeRow string(std::string text, std::uint8_t index, std::size_t fallback) const {
        DeviceTreeRow row{std::move(text), SourceOf(d_.from.strings, index, fallback), {}};
        const auto bytes = d_.stringDescriptors.find(index);
        if (details_ && bytes != d_.stringDescriptors.end() && !bytes->second.empty()) {
            row.detail = StringDescriptorTree(index, bytes->second);
        }
        return row;
    }

    /// "Title:" over one row per field the descriptor holds (what bmAttributes means under
    /// it), then the bytes past the known fields.
    DeviceTreeRow descriptor(const std::string& title, const Descriptor& d,
                             std::size_t record) const {
        DeviceTreeRow row{title + ":", record, {}};
        if (details_) {
            row.detail = DescriptorTree(d, &d_, ids_);
        }
        // A field's place in the detail, when the row has one.
        const auto placeOf = [&row](std::string_view name) -> std::optional<std::size_t> {
            return row.detail ? PlaceOf(row.detail->fields.front(), name) : std::nullopt;
        };
        for (const DescriptorField& f : d.fields()) {
            const auto v = d.field(f.name);
            if (!v) {
                continue;
            }
            std::string name(f.name);
            name.resize(std::max<std::size_t>(name.size() + 1, 22), ' ');
            DeviceTreeRow field{name + DescriptorFieldText(d_, d, f.name, *v, ids_), record, {}};
            field.field = placeOf(f.name);
            std::optional<std::string> meaning;
            if (f.name == "bmAttributes" && d.kind == DescriptorKind::Endpoint) {
                meaning =
                    "Transfer Type " + std::string(EndpointTypeName(static_cast<std::uint8_t>(*v)));
            } else if (f.name == "bmAttributes" && d.kind == DescriptorKind::DfuFunctional) {
                meaning = DfuAttributesText(static_cast<std::uint8_t>(*v));
            }
            if (meaning) {
                // The field's one child in the detail says the same.
                DeviceTreeRow child{std::move(*meaning), record, {}};
                child.field = field.field ? std::optional(*field.field + 1) : std::nullopt;
                field.children.push_back(std::move(child));
            }
            row.children.push_back(std::move(field));
        }
        std::size_t fixed = d.fixedSize();
        if (IsAudioKind(d.kind)) {
            // The lists and fields after them, laid out as the detail lays them.
            const AudioLayout layout = LayAudioDescriptor(d);
            for (const LaidField& f : layout.fields) {
                std::string name = f.name;
                name.resize(std::max<std::size_t>(name.size() + 1, 22), ' ');
                DeviceTreeRow field{name + LaidFieldText(d_, f, ids_), record, {}};
                field.field = placeOf(f.name);
                row.children.push_back(std::move(field));
            }
            fixed = std::max(fixed, layout.end);
        }
        if (d.bytes.size() > fixed) {
            std::string s = "data:";
            for (std::size_t i = fixed; i < d.bytes.size(); ++i) {
                s += Format(" %02x", d.bytes[i]);
            }
            DeviceTreeRow data{s, record, {}};
            data.field = placeOf("Data");
            row.children.push_back(std::move(data));
        }
        return row;
    }

    DeviceTreeRow configuration(const std::string& title, const ConfigurationDescription& c,
                                std::size_t record) const {
        DeviceTreeRow row = descriptor(title, c.descriptor, record);
        if (!c.complete) {
            row.children.push_back({"(not all of wTotalLength was delivered)", record, {}});
        }
        for (const Descriptor& d : c.extra) {
            row.children.push_back(descriptor(DescriptorTitle(d), d, record));
        }
        for (const Descriptor& d : c.associations) {
            row.children.push_back(descriptor(DescriptorHeading(d), d, record));
        }
        // Class-specific descriptors stay in delivery order, under what they follow.
        for (const InterfaceDescription& i : c.interfaces) {
            DeviceTreeRow interface =
                descriptor(DescriptorHeading(i.descriptor), i.descriptor, record);
            for (const Descriptor& d : i.extra) {
                interface.children.push_back(descriptor(DescriptorTitle(d), d, record));
            }
            for (std::size_t e = 0; e < i.endpoints.size(); ++e) {
                DeviceTreeRow endpoint =
                    descriptor(DescriptorHeading(i.endpoints[e]), i.endpoints[e], record);
                for (const Descriptor& d : i.after(e)) {
                    endpoint.children.push_back(descriptor(DescriptorTitle(d), d, record));
                }
                if (const auto number = i.endpoints[e].field("bEndpointAddress")) {
                    Mark(endpoint, &DeviceTreeRow::endpoint, static_cast<std::uint8_t>(*number));
                }
                interface.children.push_back(std::move(endpoint));
            }
            row.children.push_back(std::move(interface));
        }
        return row;
    }

    /// LaidRow, without its detail when the rows need none.
    DeviceTreeRow laid(std::string title, FieldTree detail, std::size_t record) const {
        DeviceTreeRow row = LaidRow(std::move(title), std::move(detail), record);
        if (!details_) {
            row.detail.reset();
            ForgetPlaces(row);
        }
        return row;
    }

    const DeviceInfo& d_;
    const UsbIds* ids_;
    bool details_;
};

} // namespace

std::vector<DeviceTreeRow> BuildDeviceTree(const std::vector<DeviceInfo>& devices,
                                           const UsbIds* ids) {
    std::vector<DeviceTreeRow> rows;
    rows.reserve(devices.size());
    for (const DeviceInfo& d : devices) {
        rows.push_back(BuildDeviceRow(d, ids));
    }
    return rows;
}

DeviceTreeRow BuildDeviceRow(const DeviceInfo& device, const UsbIds* ids, bool details) {
    DeviceTreeRow row = TreeBuilder(device, ids, details).build();
    Mark(row, &DeviceTreeRow::address, device.address);
    return row;
}

void AppendDeviceTreeText(const DeviceTreeRow& row, int depth, std::string& out) {
    out.append(static_cast<std::size_t>(depth) * 2, ' ');
    out += row.text;
    out += '\n';
    for (const DeviceTreeRow& child : row.children) {
        AppendDeviceTreeText(child, depth + 1, out);
    }
}

std::string DeviceTreeText(const std::vector<DeviceTreeRow>& rows) {
    std::string out;
    for (const DeviceTreeRow& row : rows) {
        AppendDeviceTreeText(row, 0, out);
        out += '\n';
    }
    return out;
}

} // namespace vintrace::protocol
