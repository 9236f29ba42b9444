#include "protocol/DeviceTree.h"

#include "protocol/DeviceText.h"
#include "protocol/SafeText.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>

namespace vintrace::protocol {

namespace {

constexpr std::uint16_t kHidClass = 3;

std::string Hex4(std::uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", v);
    return text;
}

std::string Hex2(std::uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", v & 0xFF);
    return text;
}

/// ", " between the parts that are there.
void Append(std::string& s, const std::string& part) {
    s += (s.empty() ? "" : ", ") + part;
}

class TreeBuilder {
public:
    TreeBuilder(const DeviceInfo& device, const UsbIds* ids) : d_(device), ids_(ids) {}

    DeviceTreeRow build() {
        DeviceTreeRow row{title(), d_.device ? d_.from.device : d_.first, {}};
        if (d_.device) {
            stringRow(row, "Manufacturer", "iManufacturer");
            stringRow(row, "Product", "iProduct");
            stringRow(row, "Serial number", "iSerialNumber");
            const std::string cls =
                classText(*d_.device, "bDeviceClass", "bDeviceSubClass", "bDeviceProtocol");
            if (!cls.empty()) {
                row.children.push_back({"Class " + cls, d_.from.device, {}});
            }
        }
        for (const auto& [index, c] : d_.configurations) {
            row.children.push_back(
                configuration("Configuration", index, c, d_.from.configurations));
        }
        for (const auto& [index, c] : d_.otherSpeed) {
            row.children.push_back(
                configuration("Other-speed configuration", index, c, d_.from.otherSpeed));
        }
        // Report descriptors of interfaces no configuration shows still have their place.
        for (const auto& [interface, bytes] : d_.reportDescriptors) {
            if (!reportsShown_.contains(interface)) {
                row.children.push_back(report(
                    "Report descriptor of interface " + std::to_string(interface), interface));
            }
        }
        for (const DeviceProblem& p : d_.problems) {
            row.children.push_back(
                {"Problem at packet " + std::to_string(p.record) + ": " + p.what, p.record, {}});
        }
        return row;
    }

private:
    std::string title() const {
        std::string s = "Address " + std::to_string(d_.address);
        if (d_.firstAddress != d_.address) {
            s += " (first at " + std::to_string(d_.firstAddress) + ")";
        }
        if (!d_.device) {
            return s;
        }
        const auto vendor = d_.device->field("idVendor");
        const auto product = d_.device->field("idProduct");
        if (vendor && product) {
            s += ": ID " + Hex4(*vendor) + ":" + Hex4(*product);
        } else if (vendor) {
            s += ": vendor " + Hex4(*vendor);
        }
        if (const auto name = VendorName(*d_.device, ids_)) {
            s += " " + EscapeText(*name);
        }
        if (const auto name = ProductName(*d_.device, ids_)) {
            s += " " + EscapeText(*name);
        }
        return s;
    }

    /// The string a descriptor's index field names, when the capture holds it.
    std::optional<std::pair<std::string, std::size_t>> string(const Descriptor& d,
                                                              std::string_view field) const {
        const auto index = d.field(field);
        if (!index || *index == 0) {
            return std::nullopt;
        }
        const auto key = static_cast<std::uint8_t>(*index);
        const auto text = d_.strings.find(key);
        const auto from = d_.from.strings.find(key);
        if (text == d_.strings.end() || from == d_.from.strings.end()) {
            return std::nullopt;
        }
        return std::make_pair(EscapeText(text->second), from->second);
    }

    void stringRow(DeviceTreeRow& row, const std::string& label, std::string_view field) const {
        if (const auto s = string(*d_.device, field)) {
            row.children.push_back({label + ": " + s->first, s->second, {}});
        }
    }

    /// "3 Human Interface Device, subclass 1 Boot Interface Subclass, protocol 2 Mouse", with
    /// what the descriptor holds.
    std::string classText(const Descriptor& d, std::string_view clsField, std::string_view subField,
                          std::string_view protocolField) const {
        const auto cls = d.field(clsField);
        if (!cls) {
            return {};
        }
        std::string s = DescriptorFieldText(d_, clsField, *cls, ids_);
        const auto sub = d.field(subField);
        if (!sub) {
            return s;
        }
        const auto c = static_cast<std::uint8_t>(*cls);
        const auto sc = static_cast<std::uint8_t>(*sub);
        s += ", subclass " + std::to_string(*sub);
        if (const auto name = ids_ ? ids_->subclass(c, sc) : std::nullopt) {
            s += " " + EscapeText(*name);
        }
        const auto protocol = d.field(protocolField);
        if (!protocol) {
            return s;
        }
        s += ", protocol " + std::to_string(*protocol);
        if (const auto name =
                ids_ ? ids_->protocol(c, sc, static_cast<std::uint8_t>(*protocol)) : std::nullopt) {
            s += " " + EscapeText(*name);
        }
        return s;
    }

    DeviceTreeRow configuration(const std::string& label, std::uint8_t index,
                                const ConfigurationDescription& c,
                                const std::map<std::uint8_t, std::size_t>& from) {
        const auto source = from.find(index);
        const std::size_t record = source == from.end() ? d_.first : source->second;
        const Descriptor& cd = c.descriptor;
        std::string s = label;
        const auto value = cd.field("bConfigurationValue");
        if (value) {
            s += ' ';
            s += std::to_string(*value);
            if (label == "Configuration" && d_.configuration == *value) {
                s += " (set)";
            }
        } else {
            s += " at index " + std::to_string(index);
        }
        std::string details;
        if (const auto a = cd.field("bmAttributes")) {
            Append(details, "attributes " + Hex2(*a) +
                                ((*a & 0x40) != 0 ? " (self-powered" : " (bus-powered") +
                                ((*a & 0x20) != 0 ? ", remote wakeup)" : ")"));
        }
        if (const auto p = cd.field("bMaxPower")) {
            Append(details, "max power " + DescriptorFieldText(d_, "bMaxPower", *p, ids_));
        }
        if (const auto name = string(cd, "iConfiguration")) {
            Append(details, "\"" + name->first + "\"");
        }
        if (!c.complete) {
            Append(details, "not all delivered");
        }
        DeviceTreeRow row{details.empty() ? s : s + ": " + details, record, {}};
        for (const InterfaceDescription& i : c.interfaces) {
            row.children.push_back(interface(i, record));
        }
        return row;
    }

    DeviceTreeRow interface(const InterfaceDescription& i, std::size_t record) {
        const Descriptor& id = i.descriptor;
        std::string s = "Interface";
        const auto number = id.field("bInterfaceNumber");
        if (number) {
            s += ' ';
            s += std::to_string(*number);
        }
        if (const auto alternate = id.field("bAlternateSetting")) {
            s += ", alternate " + std::to_string(*alternate);
        }
        std::string details;
        const std::string cls =
            classText(id, "bInterfaceClass", "bInterfaceSubClass", "bInterfaceProtocol");
        if (!cls.empty()) {
            Append(details, "class " + cls);
        }
        if (const auto name = string(id, "iInterface")) {
            Append(details, "\"" + name->first + "\"");
        }
        DeviceTreeRow row{details.empty() ? s : s + ": " + details, record, {}};
        if (number && id.field("bInterfaceClass") == kHidClass) {
            const auto n = static_cast<std::uint8_t>(*number);
            if (d_.reportDescriptors.contains(n) && !reportsShown_.contains(n)) {
                row.children.push_back(report("Report descriptor", n));
            }
        }
        // Class-specific descriptors in the order delivered, under what they follow.
        for (const Descriptor& d : i.extra) {
            row.children.push_back(classDescriptor(d, record));
        }
        for (std::size_t e = 0; e < i.endpoints.size(); ++e) {
            DeviceTreeRow endpointRow = endpoint(i.endpoints[e], record);
            for (const Descriptor& d : i.after(e)) {
                endpointRow.children.push_back(classDescriptor(d, record));
            }
            row.children.push_back(std::move(endpointRow));
        }
        return row;
    }

    /// "HID Device Descriptor: bcdHID 1.11, bCountryCode 0, ..."; a kind without known fields
    /// shows its bytes: "Descriptor of type 0x25: 05 25 01 01 01".
    DeviceTreeRow classDescriptor(const Descriptor& d, std::size_t record) const {
        std::string details;
        std::size_t fixed = 0;
        if (d.kind != DescriptorKind::Other) {
            for (const DescriptorField& f : d.fields()) {
                fixed = std::max<std::size_t>(fixed, std::size_t{f.offset} + f.size);
                const auto v = f.name == "bLength" || f.name == "bDescriptorType" ? std::nullopt
                                                                                  : d.field(f.name);
                if (!v) {
                    continue;
                }
                std::string value = DescriptorFieldText(d_, f.name, *v, ids_);
                value.erase(0, value.find_first_not_of(' ')); // bcd values are padded
                if (d.kind == DescriptorKind::DfuFunctional && f.name == "bmAttributes") {
                    value += " (" + DfuAttributesText(static_cast<std::uint8_t>(*v)) + ")";
                }
                Append(details, std::string(f.name) + " " + value);
            }
        }
        if (d.bytes.size() > fixed) {
            std::string bytes = d.kind == DescriptorKind::Other ? "" : "data";
            for (std::size_t i = fixed; i < d.bytes.size(); ++i) {
                if (!bytes.empty()) {
                    bytes += ' ';
                }
                bytes += Hex2(d.bytes[i]).substr(2);
            }
            Append(details, bytes);
        }
        const std::string title = DescriptorTitle(d);
        return {details.empty() ? title : title + ": " + details, record, {}};
    }

    DeviceTreeRow report(const std::string& label, std::uint8_t interface) {
        reportsShown_.insert(interface);
        const std::vector<std::uint8_t>& bytes = d_.reportDescriptors.at(interface);
        const auto from = d_.from.reportDescriptors.find(interface);
        const std::size_t record =
            from == d_.from.reportDescriptors.end() ? d_.first : from->second;
        DeviceTreeRow row{label + " (" + std::to_string(bytes.size()) + " bytes)", record, {}};
        for (std::string& line : ReportDescriptorLines(bytes)) {
            row.children.push_back({std::move(line), record, {}});
        }
        return row;
    }

    DeviceTreeRow endpoint(const Descriptor& e, std::size_t record) const {
        std::string s = "Endpoint";
        if (const auto address = e.field("bEndpointAddress")) {
            s += ' ';
            s += Hex2(*address);
            s += ' ';
            s += EndpointName(static_cast<std::uint8_t>(*address));
        }
        std::string details;
        if (const auto a = e.field("bmAttributes")) {
            Append(details, std::string(EndpointTypeName(static_cast<std::uint8_t>(*a))));
        }
        if (const auto size = e.field("wMaxPacketSize")) {
            Append(details, "max packet size " + std::to_string(*size));
        }
        if (const auto interval = e.field("bInterval")) {
            Append(details, "interval " + std::to_string(*interval));
        }
        return {details.empty() ? s : s + ": " + details, record, {}};
    }

    const DeviceInfo& d_;
    const UsbIds* ids_;
    std::set<std::uint8_t> reportsShown_;
};

} // namespace

std::vector<DeviceTreeRow> BuildDeviceTree(const std::vector<DeviceInfo>& devices,
                                           const UsbIds* ids) {
    std::vector<DeviceTreeRow> rows;
    rows.reserve(devices.size());
    for (const DeviceInfo& d : devices) {
        rows.push_back(TreeBuilder(d, ids).build());
    }
    return rows;
}

} // namespace vintrace::protocol
