#include "protocol/DeviceJson.h"

#include "protocol/AudioClass.h"
#include "protocol/DeviceCapabilities.h"
#include "protocol/DeviceText.h"
#include "protocol/HidReport.h"
#include "protocol/JsonText.h"
#include "protocol/LittleEndian.h"
#include "protocol/VendorSerial.h"

#include <map>
#include <span>
#include <string_view>

namespace vintrace::protocol {

namespace {

/// Fields a JSON object leaves out: they say what the object is, not what it holds.
bool Framing(std::string_view name) {
    return name == "bLength" || name == "bDescriptorType";
}

std::string JsonFields(const Descriptor& d) {
    std::string s;
    for (const DescriptorField& f : d.fields()) {
        if (Framing(f.name)) {
            continue;
        }
        if (const auto v = d.field(f.name)) {
            s += (s.empty() ? "" : ", ") + JsonQuote(f.name) + ": " + std::to_string(*v);
        }
    }
    return s;
}

std::string HexDigits(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    for (std::uint8_t b : bytes) {
        s += Format("%02x", b);
    }
    return s;
}

/// `fields` then more members, as one object.
std::string JsonObject(const std::string& fields, const std::string& more) {
    if (fields.empty() || more.empty()) {
        return "{" + fields + more + "}";
    }
    return "{" + fields + ", " + more + "}";
}

/// The report descriptor's items with tshark's bType and bTag numbering.
std::string JsonReportItems(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    for (const HidItem& item : ParseReportDescriptor(bytes).items) {
        s += (s.empty() ? "" : ", ") + std::string("{\"type\": ") +
             std::to_string(item.type == HidItemType::Long ? 3 : static_cast<int>(item.type)) +
             ", \"tag\": " + std::to_string(item.type == HidItemType::Long ? 15 : item.tag) +
             ", \"data\": " + std::to_string(item.data) + "}";
    }
    return "[" + s + "]";
}

/// Laid-out fields as members: numbers as numbers, UUIDs and IDs as text; a name that comes
/// again (a second descriptor set) gets its count ("dwWindowsVersion_2").
std::string JsonLaid(const std::vector<LaidField>& fields) {
    std::string s;
    std::map<std::string, int> seen;
    for (const LaidField& f : fields) {
        if (Framing(f.name)) {
            continue;
        }
        const int n = ++seen[f.name];
        const std::string key = n == 1 ? f.name : f.name + "_" + std::to_string(n);
        s += (s.empty() ? "" : ", ") + JsonQuote(key) + ": " +
             (f.number ? std::to_string(*f.number) : JsonQuote(f.text));
    }
    return s;
}

/// Class-specific and other descriptors in delivery order: their type, kind, known fields and
/// every byte (so one no kind is known for is still all there).
std::string JsonDescriptors(const std::vector<Descriptor>& list) {
    std::string s;
    for (const Descriptor& d : list) {
        std::string fields =
            "\"type\": " + std::to_string(d.type()) + ", \"kind\": " + JsonQuote(KindName(d.kind));
        if (d.kind != DescriptorKind::Other) {
            const std::string known = JsonFields(d);
            fields += known.empty() ? "" : ", " + known;
        }
        if (IsAudioKind(d.kind)) {
            const std::string laid = JsonLaid(LayAudioDescriptor(d).fields);
            fields += laid.empty() ? "" : ", " + laid;
        }
        s += (s.empty() ? "{" : ", {") + fields + ", \"bytes\": \"" + HexDigits(d.bytes) + "\"}";
    }
    return "[" + s + "]";
}

/// A BOS set or Microsoft OS descriptor: its header's fields, then its parts under `parts`,
/// each with its name (and, inside a subset, its depth) and every byte.
std::string JsonLaidDescriptor(const LaidDescriptor& d, std::span<const std::uint8_t> data,
                               const char* parts) {
    std::string list;
    for (const LaidBlock& b : d.blocks) {
        const std::vector<std::uint8_t> bytes(data.begin() + static_cast<std::ptrdiff_t>(b.offset),
                                              data.begin() +
                                                  static_cast<std::ptrdiff_t>(b.offset + b.length));
        const std::string fields = JsonLaid(b.fields);
        // Only a descriptor set's parts sit inside others (its subsets).
        const std::string depth =
            b.depth == 0 ? std::string() : ", \"depth\": " + std::to_string(b.depth);
        list +=
            (list.empty() ? "" : ", ") + JsonObject("\"name\": " + JsonQuote(b.title) + depth,
                                                    fields + (fields.empty() ? "" : ", ") +
                                                        "\"bytes\": \"" + HexDigits(bytes) + "\"");
    }
    return JsonObject(JsonLaid(d.header), "\"" + std::string(parts) + "\": [" + list + "]");
}

std::string JsonConfiguration(const DeviceInfo& device, const ConfigurationDescription& c) {
    std::string interfaces;
    for (const InterfaceDescription& i : c.interfaces) {
        std::string endpoints;
        for (std::size_t e = 0; e < i.endpoints.size(); ++e) {
            const std::vector<Descriptor>& after = i.after(e);
            endpoints +=
                (endpoints.empty() ? "" : ", ") +
                JsonObject(JsonFields(i.endpoints[e]),
                           after.empty() ? "" : "\"descriptors\": " + JsonDescriptors(after));
        }
        std::string more = "\"endpoints\": [" + endpoints + "]";
        if (!i.extra.empty()) {
            more += ", \"descriptors\": " + JsonDescriptors(i.extra);
        }
        for (const Descriptor& d : i.extra) {
            if (d.kind == DescriptorKind::Hid) {
                more += ", \"hid\": " + JsonObject(JsonFields(d), "");
                const auto number = i.descriptor.field("bInterfaceNumber");
                const auto report =
                    number ? device.reportDescriptors.find(static_cast<std::uint8_t>(*number))
                           : device.reportDescriptors.end();
                if (report != device.reportDescriptors.end()) {
                    more += ", \"report_items\": " + JsonReportItems(report->second);
                }
            }
        }
        interfaces += (interfaces.empty() ? "" : ", ") + JsonObject(JsonFields(i.descriptor), more);
    }
    std::string more;
    if (!c.associations.empty()) {
        std::string associations;
        for (const Descriptor& a : c.associations) {
            associations += (associations.empty() ? "" : ", ") + JsonObject(JsonFields(a), "");
        }
        more += "\"associations\": [" + associations + "], ";
    }
    if (!c.extra.empty()) {
        more += "\"descriptors\": " + JsonDescriptors(c.extra) + ", ";
    }
    return JsonObject(JsonFields(c.descriptor), more + "\"interfaces\": [" + interfaces + "]");
}

/// What the user assumed of the device's endpoints, and whether the lookups use it.
std::string JsonAssumed(const DeviceInfo& d) {
    std::string list;
    for (const AssumedEndpoint& a : d.assumedEndpoints) {
        std::string s = "\"endpoint\": " + std::to_string(a.endpoint) +
                        ", \"kind\": " + JsonQuote(AssumedKindName(a.assumed.kind)) +
                        ", \"insisted\": " + (a.assumed.insisted ? "true" : "false") +
                        ", \"described\": " + (a.described ? "true" : "false") +
                        ", \"used\": " + (a.used() ? "true" : "false") + ", \"type\": " +
                        JsonQuote(EndpointTypeName(static_cast<std::uint8_t>(
                            a.descriptor.field("bmAttributes").value_or(0))));
        if (a.interface) {
            s += ", \"interface\": " +
                 JsonObject(JsonFields(d.assumedInterfaces[*a.interface].descriptor), "");
        }
        list += (list.empty() ? "" : ", ") + JsonObject(s, "");
    }
    return "[" + list + "]";
}

std::string JsonDevice(const DeviceInfo& d, const UsbIds* ids) {
    std::string s = "{\"address\": " + std::to_string(d.address) +
                    ", \"first_address\": " + std::to_string(d.firstAddress) +
                    ", \"first\": " + std::to_string(d.first);
    if (d.device) {
        s += ", \"device\": " + JsonObject(JsonFields(*d.device), "");
        if (const auto name = VendorName(*d.device, ids)) {
            s += ", \"vendor_name\": " + JsonQuote(*name);
        }
        if (const auto name = ProductName(*d.device, ids)) {
            s += ", \"product_name\": " + JsonQuote(*name);
        }
        if (const auto chip = SerialChipOf(d)) {
            s += ", \"serial_chip\": " + JsonQuote(SerialChipName(*chip));
        }
    }
    if (d.qualifier) {
        s += ", \"device_qualifier\": " + JsonObject(JsonFields(*d.qualifier), "");
    }
    if (!d.bos.empty()) {
        s += ", \"bos\": " +
             JsonLaidDescriptor(ParseBos(d.bos, d.bos.size()), d.bos, "capabilities");
    }
    if (d.msOsVendorCode || !d.msCompatId.empty() || !d.msExtendedProperties.empty()) {
        std::string ms;
        if (d.msOsVendorCode) {
            ms = "\"vendor_code\": " + std::to_string(*d.msOsVendorCode);
        }
        if (!d.msCompatId.empty()) {
            ms += (ms.empty() ? "" : ", ") + std::string("\"compat_id\": ") +
                  JsonLaidDescriptor(ParseMsCompatId(d.msCompatId, d.msCompatId.size()),
                                     d.msCompatId, "functions");
        }
        if (!d.msExtendedProperties.empty()) {
            ms += (ms.empty() ? "" : ", ") + std::string("\"extended_properties\": ") +
                  JsonLaidDescriptor(ParseMsExtendedProperties(d.msExtendedProperties,
                                                               d.msExtendedProperties.size()),
                                     d.msExtendedProperties, "properties");
        }
        s += ", \"ms_os\": {" + ms + "}";
    }
    if (!d.msOs20Set.empty()) {
        s += ", \"ms_os_20_set\": " +
             JsonLaidDescriptor(ParseMsOs20Set(d.msOs20Set, d.msOs20Set.size()), d.msOs20Set,
                                "descriptors");
    }
    std::string strings;
    for (const auto& [index, text] : d.strings) {
        strings += (strings.empty() ? "" : ", ") + JsonQuote(std::to_string(index)) + ": " +
                   JsonQuote(text);
    }
    s += ", \"strings\": {" + strings + "}";
    if (!d.languages.empty()) {
        std::string languages;
        for (std::uint16_t l : d.languages) {
            languages += (languages.empty() ? "" : ", ") + std::to_string(l);
        }
        s += ", \"languages\": [" + languages + "]";
    }
    std::string configurations;
    for (const auto& [index, c] : d.configurations) {
        configurations += (configurations.empty() ? "" : ", ") + JsonConfiguration(d, c);
    }
    s += ", \"configurations\": [" + configurations + "]";
    if (!d.otherSpeed.empty()) {
        std::string other;
        for (const auto& [index, c] : d.otherSpeed) {
            other += (other.empty() ? "" : ", ") + JsonConfiguration(d, c);
        }
        s += ", \"other_speed_configurations\": [" + other + "]";
    }
    if (d.configuration) {
        s += ", \"configuration\": " + std::to_string(*d.configuration);
    }
    if (!d.assumedEndpoints.empty()) {
        s += ", \"assumed\": " + JsonAssumed(d);
    }
    if (!d.problems.empty()) {
        std::string problems;
        for (const DeviceProblem& p : d.problems) {
            problems += (problems.empty() ? "" : ", ") + std::string("{\"first\": ") +
                        std::to_string(p.record) + ", \"what\": " + JsonQuote(p.what) + "}";
        }
        s += ", \"problems\": [" + problems + "]";
    }
    return s + "}";
}

} // namespace

std::string DevicesJson(const std::vector<DeviceInfo>& devices, const UsbIds* ids) {
    std::string out = DevicesJsonOpening();
    for (std::size_t d = 0; d < devices.size(); ++d) {
        AppendDeviceJson(devices[d], d == 0, ids, out);
    }
    return out + DevicesJsonClosing();
}

std::string DevicesJsonOpening() {
    return "{\"devices\": [";
}

void AppendDeviceJson(const DeviceInfo& device, bool first, const UsbIds* ids, std::string& out) {
    out += first ? "\n" : ",\n";
    out += JsonDevice(device, ids);
}

std::string DevicesJsonClosing() {
    return "\n]}\n";
}

} // namespace vintrace::protocol
